#!/usr/bin/python3
"""Hostile cameras against Tavik.exe under Wine (by hand, not part of CI).

One Tavik.exe in the GUI test bed (tests/bed/winbed.py) gets 16 cameras: one
well-behaved test camera (tools/camserver.py, selected, so it fills the stage)
and up to 15 cases of tests/bed/hostile_rtsp.py. For --seconds it samples the
process (`winprobe proc`: private bytes, handles, threads; and the Wine
process's resident memory) and takes screenshots of the stage, then closes
Tavik with WM_CLOSE. Prints one row per case: the connection attempts the
hostile server saw, the gaps between the end of a connection and the next
attempt (the client waits 3 s), whether Tavik was still alive; then the
process figures and the well-behaved camera's figures.

    hostile_tavik.py [--seconds 60] [CASE ...]
    hostile_tavik.py --baseline [--seconds 60] [CASE ...]

--baseline gives the same tiles, but every camera other than the well-behaved
one points at a closed port of 127.0.0.1 (refused at once, retried every 3 s):
the cost of the tiles themselves, for comparison.

Exit code 0 when Tavik survived, exited 0 on WM_CLOSE, the well-behaved camera
kept streaming and every gap was 3 s (2.8 to 4.5 s). Run with /usr/bin/python3.
Everything it starts is stopped by process id; all traffic stays on 127.0.0.1.
"""
import argparse
import os
import socket
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
import hostile_rtsp  # noqa: E402
from hostile_matrix import reconnect_gaps, server_connections, wait_line  # noqa: E402
from soak import (established, load_average, log, proc_status, screen_rects, screenshot, start, stop,  # noqa: E402
                  tavik_pid, winprobe_proc)

PYTHON = "/usr/bin/python3"
GAP_MIN, GAP_MAX = 2.8, 4.5


def config(cases, hostile_port, cam_port):
    cameras = [{"Name": "01 good", "Url": "rtsp://127.0.0.1:%d/cam" % cam_port}]
    cameras += [{"Name": "%02d %s" % (i + 2, case), "Url": "rtsp://127.0.0.1:%d/%s" % (hostile_port, case)}
                for i, case in enumerate(cases)]
    for c in cameras:
        c.update({"Zoom": 1, "PanX": 0.5, "PanY": 0.5})
    return {"Cameras": cameras, "SelectedCamera": "01 good", "ConsoleHost": "", "ConsoleUser": "",
            "ConsolePassEnc": "", "Muted": True, "AlwaysOnTop": False, "WindowMaximized": False,
            "WindowLeft": 0, "WindowTop": 0, "WindowWidth": 1280, "WindowHeight": 760}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--rtspdump", default=os.path.join(ROOT, "build", "linux-asan", "rtspdump"))
    parser.add_argument("--baseline", action="store_true", help="refused cameras instead of hostile ones")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    cases = (args.cases or [c for c in hostile_rtsp.CASES if c != "good"])[:15]

    from winbed import Bed
    work = tempfile.mkdtemp(prefix="hostile-tavik-")
    hostile_log = os.path.join(work, "hostile.log")
    witness_path = os.path.join(work, "witness.out")
    hostile = start([PYTHON, os.path.join(ROOT, "tests", "bed", "hostile_rtsp.py"), "--log", hostile_log],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    camserver = start([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--port", "0",
                       "cam=h264,width=320,height=240"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    bed = Bed()
    samples = []
    stage_pairs = []  # (seconds, changed) per pair of consecutive screenshots
    died = None
    exit_code = None
    try:
        port = int(wait_line(hostile, "hostile ready", 30).split("port=")[1])
        cam_port = int(wait_line(camserver, "camserver ready", 60).split("port=")[1])
        bed.start()
        if args.baseline:
            closed = socket.socket()
            closed.bind(("127.0.0.1", 0))
            port = closed.getsockname()[1]
            closed.close()  # nothing listens there now: refused
        bed.write_config(config(cases, port, cam_port))
        stderr = open(os.path.join(work, "tavik.stderr"), "wb")
        bed.tavik = subprocess.Popen(["wine", os.path.join(bed.build, "Tavik.exe")], env=bed.env,
                                     stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True)
        win = bed.wait_window(cls="Orbisfield.Tavik", timeout=240)
        linux_pid = None
        deadline = time.time() + 60
        while linux_pid is None and time.time() < deadline:
            linux_pid = tavik_pid(bed.tavik.pid)
            time.sleep(0.5)
        t0 = time.time()
        log("Tavik.exe up (windows pid %s, linux pid %s) with %d hostile cameras, load %s" % (
            win.pid, linux_pid, len(cases), load_average()))
        stage = screen_rects(win, len(cases) + 1, 0, inset=40)[0]
        # A second client of the well-behaved camera, outside Wine: tells a
        # stalled camera (or machine) apart from a stalled Tavik.
        witness = None
        if os.access(args.rtspdump, os.X_OK):
            witness = start([args.rtspdump, "rtsp://127.0.0.1:%d/cam" % cam_port, "--seconds",
                             str(int(args.seconds) + 5)], stdout=open(witness_path, "wb"),
                            stderr=subprocess.DEVNULL)
        previous = None
        next_sample = t0
        while time.time() < t0 + args.seconds:
            if not bed.tavik_running():
                died = time.time() - t0
                log("Tavik ended after %.1f s with exit code %s" % (died, bed.tavik.returncode))
                break
            if time.time() >= next_sample:
                next_sample += 3
                s = {"t": time.time() - t0, "good_connected": established(cam_port)}
                s.update(proc_status(linux_pid))
                s.update(winprobe_proc(bed, win.pid))
                samples.append(s)
                log("t=%3.0f s private=%s KiB handles=%s threads=%s | rss=%s KiB hwm=%s KiB | good camera "
                    "connected=%d, stage changes %d of %d | load %s" % (
                        s["t"], s.get("private", -1024) // 1024, s.get("handles"), s.get("threads"),
                        s.get("VmRSS"), s.get("VmHWM"), s["good_connected"], sum(c for _, c in stage_pairs),
                        len(stage_pairs), load_average()))
            shot = screenshot(bed)
            if shot is not None and previous is not None:
                stage_pairs.append((shot.taken - t0, shot.region(stage) != previous.region(stage)))
            previous = shot if shot is not None else previous
        stop(witness)
        if died is None:
            exit_code = bed.close_tavik(timeout=60)
            log("WM_CLOSE: Tavik exit code %s" % exit_code)
    finally:
        bed.stop()
        stop(hostile)
        stop(camserver)

    ok = died is None and exit_code == 0
    head = "%-16s %-8s %8s %-14s %s" % ("case", "crashed", "attempts", "gaps s min-max", "3 s rhythm")
    print("\n" + head + "\n" + "-" * len(head))
    for case in cases:
        accepts, ends = server_connections(hostile_log, case)
        gaps = reconnect_gaps(accepts, ends)
        rhythm = all(GAP_MIN <= g <= GAP_MAX for g in gaps)
        if not rhythm:
            ok = False
        print("%-16s %-8s %8d %-14s %s" % (
            case, "no" if died is None else "YES", len(accepts),
            "%.2f-%.2f" % (min(gaps), max(gaps)) if gaps else "-",
            ("yes" if rhythm else "NO: " + " ".join("%.2f" % g for g in gaps)) if gaps else "(one connection)"))
    priv = [s["private"] for s in samples if s.get("private", -1) > 0]
    rss = [s["VmRSS"] for s in samples if "VmRSS" in s]
    if priv:
        half = [s for s in samples if s["t"] >= samples[-1]["t"] / 2 and s.get("private", -1) > 0]
        slope = ((half[-1]["private"] - half[0]["private"]) / 1048576.0 / max(1.0, half[-1]["t"] - half[0]["t"])
                 * 60 if len(half) > 1 else 0.0)
        print("Tavik private bytes: first %.1f MiB, peak %.1f MiB, last %.1f MiB; second half of the run "
              "%+.1f MiB/min" % (priv[0] / 1048576.0, max(priv) / 1048576.0, priv[-1] / 1048576.0, slope))
    if rss:
        print("Wine process resident: first %.1f MiB, peak %.1f MiB (VmHWM %.1f MiB), last %.1f MiB" % (
            rss[0] / 1024.0, max(rss) / 1024.0, max(s.get("VmHWM", 0) for s in samples) / 1024.0,
            rss[-1] / 1024.0))
    handles = [s["handles"] for s in samples if s.get("handles", -1) >= 0]
    threads = [s["threads"] for s in samples if s.get("threads", -1) >= 0]
    if handles and threads:
        print("handles %d..%d, threads %d..%d" % (min(handles), max(handles), min(threads), max(threads)))
    moved = [(t, c) for t, c in stage_pairs if t > 10]
    changes = [t for t, c in moved if c]
    freeze = max((b - a for a, b in zip(changes, changes[1:])), default=None)
    good_up = [s["good_connected"] for s in samples if s["t"] > 10]
    print("well-behaved camera: stage changed in %d of %d screenshot pairs after 10 s (one shot every %.2f s); "
          "longest time between two changes %s s; connected in %d of %d samples" % (
              len(changes), len(moved), (moved[-1][0] - moved[0][0]) / max(1, len(moved) - 1) if moved else 0,
              "%.1f" % freeze if freeze is not None else "-", sum(1 for g in good_up if g), len(good_up)))
    if os.path.exists(witness_path):
        with open(witness_path, encoding="utf-8", errors="replace") as f:
            fps = [int(m) for m in re.findall(r"video units=\d+ fps=(\d+)", f.read())][10:-1]
        if fps:
            print("the camera as a second (native) client saw it: fps min %d, max %d over %d s after 10 s" % (
                min(fps), max(fps), len(fps)))
    if not changes or freeze is None or freeze > 2.0 or not all(good_up):
        ok = False
    print("Tavik: %s; exit code after WM_CLOSE: %s; load %s" % (
        "alive throughout" if died is None else "ENDED after %.1f s" % died, exit_code, load_average()))
    print("outputs in", work)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
