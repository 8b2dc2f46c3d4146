#!/usr/bin/python3
"""Tavik.exe under Wine with 1, 4 and 9 cameras: presents per second, CPU, the
share of it spent decoding, and the UI latency of selecting a thumbnail.

    /usr/bin/python3 bench/bench_tavik_wine.py [--counts 1,4,9] [--seconds 30]

Needs the Windows build (build/windows: Tavik.exe, winprobe_win.exe) and the
Wine test bed of tests/bed/winbed.py (its own Xvfb and prefix copy). The cameras are
looping 1280x720 30 fps H.264 file mounts of tools/camserver.py (encoded once,
so the server costs no encoding while measuring).

How each figure is taken, from outside the program:
  presents/s   Tavik runs with WINEDEBUG=trace+dxgi; every IDXGISwapChain
               Present call leaves one trace line naming it in Wine's debug
               output. Lines are counted over the window. (The tracing itself
               costs a little CPU; it is on in every run alike.)
  CPU          user + system time of the Tavik.exe process (all its threads)
               from /proc/PID/stat at the start and the end of the window,
               divided by the window: 1.0 = one core. wineserver's own CPU is
               printed beside it.
  cameras'     Wine's H.264 decoder (GStreamer's avdec_h264 inside the process)
  share        runs on the render thread, whose threads all carry the name
               "Tavik.exe", so thread names cannot separate it. The run with 0
               cameras gives the CPU cost of one present (drawing, wined3d,
               llvmpipe); the share of a run with N cameras not explained by
               its presents at that cost is printed as the cameras' share
               (decoding, NV12 upload, conversion, RTSP; decoding dominates:
               the RTSP client costs ~0.1 s per stream-minute). The busiest
               threads by name are printed beside it.
  UI latency   xdotool clicks the first thumbnail of the strip; the time until
               config.json names that camera in "SelectedCamera" is measured by
               polling the file every 5 ms (write, click handling and the
               file's save together). Repeated several times; median and max.
Prints "RESULT name value" lines for tools/bench.sh.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed, wait_until  # noqa: E402

CAMSERVER = os.path.join(ROOT, "tools", "camserver.py")
TICKS = os.sysconf("SC_CLK_TCK")


def tavik_pid(prefix):
    """The Linux pid of the Tavik.exe running in this bed's prefix (others may
    run their own Tavik.exe on the same machine)."""
    marker = ("WINEPREFIX=%s" % prefix).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmd = f.read().split(b"\0")
            if not cmd or not cmd[0].lower().endswith(b"tavik.exe"):
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def proc_cpu(path):
    with open(path) as f:
        text = f.read()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def thread_cpu(pid):
    """{tid: (name, cpu seconds)} of every thread of pid."""
    result = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return result
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            result[tid] = (name, proc_cpu("/proc/%d/task/%s/stat" % (pid, tid)))
        except OSError:
            continue
    return result


def wineserver_cpu():
    total = 0.0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if f.read().strip() not in ("wineserver", "wineserver64"):  # Debian's wine64
                    continue
            total += proc_cpu("/proc/%s/stat" % entry)
        except OSError:
            continue
    return total


def count_presents(path):
    n = 0
    with open(path, "rb") as f:
        for line in f:
            if b"trace:dxgi" in line and b"Present" in line and b"sync_interval" in line:
                n += 1
    return n


def measure(bed, count, port, seconds, log_dir):
    cams = [{"Name": "Cam %d" % i, "Url": "rtsp://127.0.0.1:%d/c%d" % (port, i)} for i in range(count)]
    bed.write_config({"Cameras": cams, "SelectedCamera": "Cam 0", "Muted": True})
    log_path = os.path.join(log_dir, "tavik_%d.log" % count)
    env = dict(bed.env)
    env["WINEDEBUG"] = "trace+dxgi"
    log = open(log_path, "wb")
    bed.tavik = subprocess.Popen(["wine", os.path.join(bed.build, "Tavik.exe")], env=env,
                                 stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
    try:
        main = bed.wait_window(cls="Orbisfield.Tavik", timeout=90)
        pid = wait_until(lambda: tavik_pid(bed.prefix), 30, what="Tavik.exe process")
        time.sleep(8)  # connections, decoder start-up, first pictures
        log.flush()
        p0, c0, t0, w0 = count_presents(log_path), proc_cpu("/proc/%d/stat" % pid), thread_cpu(pid), wineserver_cpu()
        start = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - start
        log.flush()
        p1, c1, t1, w1 = count_presents(log_path), proc_cpu("/proc/%d/stat" % pid), thread_cpu(pid), wineserver_cpu()
        per_thread = {}
        for tid, (name, cpu) in t1.items():
            before = t0.get(tid, (name, 0.0))[1]
            per_thread.setdefault(name, 0.0)
            per_thread[name] += cpu - before
        result = {
            "presents_per_s": (p1 - p0) / elapsed,
            "cpu_cores": (c1 - c0) / elapsed,
            "wineserver_cores": (w1 - w0) / elapsed,
            "threads": sorted(per_thread.items(), key=lambda kv: -kv[1])[:8],
            "client": main.client,
        }
        latency = []
        if count >= 2:
            latency = ui_latency(bed, main)
        result["ui_latency_ms"] = latency
        return result
    finally:
        bed.close_tavik(timeout=30)
        log.close()


def ui_latency(bed, main):
    """Clicks the first thumbnail a few times; ms until config.json names it."""
    left, top, right, bottom = main.rect
    cw, ch = main.client
    border = max(0, ((right - left) - cw) // 2)
    client_left = left + border
    client_top = bottom - border - ch
    # The strip's thumbnails at 96 dpi: 232 x 130 pixels from (4, 4), 4 pixels apart.
    spots = [(client_left + 100, client_top + 50), (client_left + 100, client_top + 185)]
    times = []
    for i in range(6):
        x, y = spots[i % 2]
        before = (bed.read_config() or {}).get("SelectedCamera")
        bed.xdotool("mousemove", "--sync", client_left + 600, client_top + 300)
        time.sleep(0.3)
        bed.xdotool("mousemove", "--sync", x, y)
        time.sleep(0.3)
        t0 = time.monotonic()
        bed.xdotool("click", 1)
        deadline = t0 + 10
        while time.monotonic() < deadline:
            try:
                now = (bed.read_config() or {}).get("SelectedCamera")
            except (ValueError, OSError):
                now = before  # caught mid-write
            if now != before:
                times.append((time.monotonic() - t0) * 1000.0)
                break
            time.sleep(0.005)
        time.sleep(1.0)  # let the slide finish
    return times


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--counts", default="0,1,4,9")
    ap.add_argument("--seconds", type=float, default=30)
    args = ap.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    tmp = tempfile.mkdtemp(prefix="bench_wine_")
    source = os.path.join(tmp, "loop720.h264")
    subprocess.run(["/usr/bin/python3", CAMSERVER, "--make-file", source, "--size", "1280x720", "--fps", "30",
                    "--seconds", "4"], check=True, timeout=300)
    results = {}
    with Bed() as bed:
        _, port = bed.start_camserver(["c%d=file,path=%s,fps=30" % (i, source) for i in range(max(counts))])
        for n in counts:
            results[n] = measure(bed, n, port, args.seconds, tmp)
    base = results.get(0)
    per_present = base["cpu_cores"] / base["presents_per_s"] if base and base["presents_per_s"] > 0 else None
    for n in counts:
        r = results[n]
        if per_present is None or n == 0 or r["cpu_cores"] <= 0:
            r["decode_share"] = None
        else:
            r["decode_share"] = max(0.0, 1.0 - per_present * r["presents_per_s"] / r["cpu_cores"])
    print("Tavik.exe under Wine 8 (wined3d on llvmpipe, Media Foundation H.264 via GStreamer), "
          "1280x720 30 fps cameras, %.0f s" % args.seconds)
    if per_present is not None:
        print("CPU per present with no camera: %.1f ms (all threads)" % (per_present * 1000))
        print("RESULT wine_cpu_ms_per_present %.2f" % (per_present * 1000))
    print("%-8s %12s %14s %12s %10s  %s" % ("cameras", "presents/s", "CPU (cores)", "wineserver", "cameras'", "UI click -> saved (ms)"))
    for n in counts:
        r = results[n]
        lat = r["ui_latency_ms"]
        lat_text = ("median %.0f, max %.0f of %d" % (sorted(lat)[len(lat) // 2], max(lat), len(lat))) if lat else "-"
        share = "-" if r["decode_share"] is None else "%.0f%%" % (100 * r["decode_share"])
        print("%-8d %12.1f %14.2f %12.2f %10s  %s" % (n, r["presents_per_s"], r["cpu_cores"], r["wineserver_cores"],
                                                   share, lat_text))
        print("         client area %sx%s; top threads: " % tuple(r["client"]) +
              ", ".join("%s %.1fs" % kv for kv in r["threads"]))
        print("RESULT wine_presents_%d %.2f" % (n, r["presents_per_s"]))
        print("RESULT wine_cpu_%d %.3f" % (n, r["cpu_cores"]))
        if r["decode_share"] is not None:
            print("RESULT wine_decode_share_%d %.3f" % (n, r["decode_share"]))
        if lat:
            print("RESULT wine_ui_latency_ms_%d %.1f" % (n, sorted(lat)[len(lat) // 2]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
