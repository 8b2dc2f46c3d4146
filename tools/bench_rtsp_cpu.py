#!/usr/bin/python3
"""CPU and memory of receiving many RTSP streams: rtspdump against ffmpeg and GStreamer.

    /usr/bin/python3 tools/bench_rtsp_cpu.py [--streams 16] [--seconds 20] [--rtspdump PATH]

Encodes a 1080p H.264 file once, serves it from camserver as looping file
mounts (no encoding while the benchmark runs), then, one client kind after the
other in the same run and against the same mounts, starts N concurrent clients:

  rtspdump   URL --seconds S                                  (this project)
  ffmpeg     -rtsp_transport tcp -i URL -c copy -f null -
  gst        rtspsrc location=URL protocols=tcp ! rtph264depay ! fakesink

and reports, side by side, CPU seconds per stream-minute (user + system of the
client processes) and the peak resident memory of one client process with 1 and
with N streams running. Goal: rtspdump at most a quarter of ffmpeg's CPU.
Use a release build (cmake --preset linux-release && cmake --build --preset
linux-release --target rtspdump); sanitizer builds are several times slower.
Not part of the test run.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAMSERVER = os.path.join(ROOT, "tools", "camserver.py")


def start_camserver(mounts):
    proc = subprocess.Popen([sys.executable, CAMSERVER, "--port", "0"] + mounts,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    line = proc.stdout.readline().decode()
    if "camserver ready" not in line:
        raise SystemExit("camserver did not start")
    return proc, int(line.split("port=")[1])


def client_command(kind, url, rtspdump):
    if kind == "rtspdump":
        return [rtspdump, url]
    if kind == "ffmpeg":
        return ["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-c", "copy", "-f", "null", "-"]
    return ["gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "protocols=tcp", "!", "rtph264depay", "!", "fakesink"]


def run_clients(kind, urls, seconds, rtspdump):
    """Runs one client per URL for `seconds`; returns (cpu seconds total, max RSS kB of one client)."""
    procs = [subprocess.Popen(client_command(kind, u, rtspdump), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True) for u in urls]
    time.sleep(seconds)
    # Peak resident memory of the program itself (rusage's figure would include
    # the forking Python process's pages from before exec).
    rss = 0
    for p in procs:
        try:
            with open("/proc/%d/status" % p.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        rss = max(rss, int(line.split()[1]))
        except OSError:
            pass
    for p in procs:
        try:
            os.kill(p.pid, signal.SIGINT)
        except ProcessLookupError:
            pass
    cpu = 0.0
    deadline = time.monotonic() + 15
    for p in procs:
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.monotonic() > deadline:
                os.killpg(p.pid, signal.SIGKILL)
                pid, status, usage = os.wait4(p.pid, 0)
                break
            time.sleep(0.05)
        p.returncode = status
        cpu += usage.ru_utime + usage.ru_stime
    return cpu, rss


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--streams", type=int, default=16)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--rtspdump", default=os.path.join(ROOT, "build", "linux-release", "rtspdump"))
    args = ap.parse_args()
    if not os.path.exists(args.rtspdump):
        raise SystemExit("no rtspdump at %s (build the linux-release preset)" % args.rtspdump)

    tmp = tempfile.mkdtemp(prefix="bench_rtsp_")
    source = os.path.join(tmp, "loop1080.h264")
    subprocess.run([sys.executable, CAMSERVER, "--make-file", source, "--size", "1920x1080", "--fps", "25",
                    "--seconds", "4"], check=True)
    mounts = ["loop%d=file,path=%s,fps=25" % (i, source) for i in range(args.streams)]
    server, port = start_camserver(mounts)
    urls = ["rtsp://127.0.0.1:%d/loop%d" % (port, i) for i in range(args.streams)]
    kinds = ("rtspdump", "ffmpeg", "gst")
    results = {}
    try:
        for kind in kinds:
            cpu, rss_n = run_clients(kind, urls, args.seconds, args.rtspdump)
            time.sleep(2)  # let the shared mounts wind down between client kinds
            _, rss_1 = run_clients(kind, urls[:1], min(args.seconds, 8), args.rtspdump)
            time.sleep(2)
            results[kind] = (cpu / (args.streams * args.seconds / 60.0), rss_1, rss_n)
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait()

    print("%d concurrent 1920x1080 H.264 streams, %.0f s each" % (args.streams, args.seconds))
    print("%-10s %22s %16s %16s" % ("client", "CPU s / stream-minute", "RSS 1 stream", "RSS %d streams" % args.streams))
    for kind in kinds:
        cpu, rss_1, rss_n = results[kind]
        print("%-10s %22.3f %13d kB %13d kB" % (kind, cpu, rss_1, rss_n))
    ratio = results["rtspdump"][0] / results["ffmpeg"][0] if results["ffmpeg"][0] > 0 else float("inf")
    print("rtspdump / ffmpeg CPU = %.2f (goal <= 0.25)" % ratio)
    return 0


if __name__ == "__main__":
    sys.exit(main())
