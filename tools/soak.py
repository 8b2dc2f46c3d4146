#!/usr/bin/python3
"""Soak run (not part of CI): Tavik.exe under Wine with 16 cameras that replay a
looping file (tools/camserver.py), the camera server restarted twice, for a
fixed time. Samples Tavik's process every few seconds and prints:

  - the anonymous (private) resident memory, thread count and open descriptors
    of the Wine process that runs Tavik.exe, after warm-up and at the end;
  - after each camera-server restart, the seconds until all 16 RTSP connections
    are established again (taken from /proc/net/tcp).

    soak.py [--minutes 10] [--restarts 2] [--warmup 120] [--exe build/windows/Tavik.exe]

Uses its own Wine prefix (build/soak-prefix, a copy of build/wineprefix) and its
own Xvfb. Everything it starts is stopped by process id.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
CAMERAS = 16


def start(args, **kw):
    return subprocess.Popen(args, start_new_session=True, **kw)


def stop(proc, grace=10):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    except ProcessLookupError:
        pass


def start_camserver(port, clip):
    mounts = ["c%02d=file,path=%s" % (i, clip) for i in range(CAMERAS)]
    proc = start([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--port", str(port)] + mounts,
                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if "camserver ready" not in line:
        stop(proc)
        raise RuntimeError("camserver did not start: %r" % line)
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    return proc, int(line.split("port=")[1])


def established(port):
    """Established TCP connections to 127.0.0.1:port (client side) from /proc/net/tcp."""
    count = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            remote, state = fields[2], fields[3]
            if state == "01" and int(remote.split(":")[1], 16) == port:
                count += 1
    return count


def tavik_pid(session):
    """The process of our session whose command line names Tavik.exe."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmd = f.read()
            # Wine names the process after the program: argv[0] is the exe.
            if not cmd.split(b"\0")[0].endswith(b"Tavik.exe") or os.getsid(int(name)) != session:
                continue
            return int(name)
        except (OSError, ProcessLookupError):
            continue
    return None


def sample(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "VmRSS", "Threads"):
                values[key] = int(value.split()[0])
    values["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    return values


def write_config(prefix, port):
    user = os.environ.get("USER") or "root"
    folder = os.path.join(prefix, "drive_c", "users", user, "AppData", "Roaming", "Tavik")
    os.makedirs(folder, exist_ok=True)
    cameras = [{"Name": "Cam %d" % (i + 1), "Url": "rtsp://127.0.0.1:%d/c%02d" % (port, i), "Zoom": 1,
                "PanX": 0.5, "PanY": 0.5} for i in range(CAMERAS)]
    config = {"Cameras": cameras, "SelectedCamera": "Cam 1", "ConsoleHost": "", "ConsoleUser": "",
              "ConsolePassEnc": "", "Muted": True, "AlwaysOnTop": False, "WindowMaximized": False,
              "WindowLeft": 0, "WindowTop": 0, "WindowWidth": 1280, "WindowHeight": 760}
    with open(os.path.join(folder, "config.json"), "w") as f:
        json.dump(config, f, indent=2)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--restarts", type=int, default=2)
    parser.add_argument("--warmup", type=float, default=120)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "windows", "Tavik.exe"))
    args = parser.parse_args()

    prefix = os.path.join(ROOT, "build", "soak-prefix")
    if not os.path.isdir(prefix):
        subprocess.run(["bash", os.path.join(ROOT, "tools", "wineprefix.sh"), os.path.join(ROOT, "build", "wineprefix")],
                       check=True)
        shutil.copytree(os.path.join(ROOT, "build", "wineprefix"), prefix, symlinks=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    work = tempfile.mkdtemp(prefix="soak-")
    clip = os.path.join(work, "loop.h264")
    subprocess.run([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--make-file", clip, "--size", "640x360",
                    "--fps", "15", "--seconds", "4"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    cam, port = start_camserver(0, clip)
    write_config(prefix, port)
    subprocess.run(["timeout", "60", "wineserver", "-k"], env=env)
    tavik = start(["timeout", str(int(args.minutes * 60 + 120)), "xvfb-run", "-a", "-s", "-screen 0 1280x800x24",
                   "wine", args.exe], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples = []
    reconnects = []
    try:
        deadline = time.time() + 60
        pid = None
        while pid is None and time.time() < deadline:
            pid = tavik_pid(tavik.pid)
            time.sleep(0.5)
        if pid is None:
            raise RuntimeError("Tavik.exe did not start")
        t0 = time.time()
        end = t0 + args.minutes * 60
        restart_at = [t0 + args.warmup + (end - t0 - args.warmup) * (i + 1) / (args.restarts + 1)
                      for i in range(args.restarts)]
        while time.time() < end:
            if tavik.poll() is not None:
                raise RuntimeError("Tavik ended early (exit %s)" % tavik.returncode)
            if restart_at and time.time() >= restart_at[0]:
                restart_at.pop(0)
                stop(cam)
                time.sleep(2)
                cam, _ = start_camserver(port, clip)
                back = time.time()
                while established(port) < CAMERAS and time.time() < back + 60:
                    time.sleep(0.1)
                reconnects.append((time.time() - back, established(port)))
                print("restart: %d connections back after %.1f s" % (reconnects[-1][1], reconnects[-1][0]),
                      flush=True)
            s = sample(pid)
            s["t"] = time.time() - t0
            s["connections"] = established(port)
            samples.append(s)
            print("t=%5.0f s rss_anon=%6d KiB rss=%6d KiB threads=%3d fds=%3d connections=%2d" % (
                s["t"], s["RssAnon"], s["VmRSS"], s["Threads"], s["fds"], s["connections"]), flush=True)
            time.sleep(5)
    finally:
        stop(tavik)
        subprocess.run(["timeout", "60", "wineserver", "-k"], env=env)
        stop(cam)
        shutil.rmtree(work, ignore_errors=True)

    warm = [s for s in samples if s["t"] >= args.warmup]
    if not warm:
        print("no samples after warm-up")
        return 1
    first, last = warm[0], warm[-1]
    print("after warm-up (t=%.0f s): rss_anon %d KiB, threads %d, fds %d" % (
        first["t"], first["RssAnon"], first["Threads"], first["fds"]))
    print("at the end    (t=%.0f s): rss_anon %d KiB, threads %d, fds %d" % (
        last["t"], last["RssAnon"], last["Threads"], last["fds"]))
    print("rss_anon growth %+d KiB; threads %d..%d; fds %d..%d" % (
        last["RssAnon"] - first["RssAnon"], min(s["Threads"] for s in warm), max(s["Threads"] for s in warm),
        min(s["fds"] for s in warm), max(s["fds"] for s in warm)))
    for i, (seconds, count) in enumerate(reconnects):
        print("restart %d: %d/%d connections back in %.1f s" % (i + 1, count, CAMERAS, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
