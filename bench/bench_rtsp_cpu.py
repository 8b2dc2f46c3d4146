#!/usr/bin/python3
"""CPU and memory of receiving many RTSP streams: rtspdump against ffmpeg and GStreamer.

    /usr/bin/python3 bench/bench_rtsp_cpu.py [--counts 1,4,16] [--seconds 20] [--rtspdump PATH]
                                             [--memory-seconds 60] [--multiclient PATH]

Encodes a 1080p H.264 file once, serves it from camserver as looping file
mounts (no encoding while the benchmark runs), then, one client kind after the
other in the same run and against the same mounts, starts N concurrent clients:

  rtspdump   URL --seconds S                                  (this project)
  ffmpeg     -rtsp_transport tcp -i URL -c copy -f null -
  gst        rtspsrc location=URL protocols=tcp ! rtph264depay ! fakesink

for every N of --counts, and reports, side by side, CPU seconds per
stream-minute (user + system of the client processes) and the peak resident
memory of one client process. Goal: rtspdump at most a quarter of ffmpeg's CPU.

Then, with --memory-seconds S > 0, the memory per stream as the viewer holds
its streams, all in one process: bench/multiclient_bench with 1 and with the
largest N streams for S seconds each; (RSS(N) - RSS(1)) / (N - 1). Goal < 4 MiB.

Every figure is also printed as a "RESULT name value" line (tools/bench.sh).
Use a release build (cmake --preset linux-release -DTAVIK_BENCH=ON && cmake
--build --preset linux-release); sanitizer builds are several times slower.
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


def run_multiclient(path, urls, seconds):
    """One process holding len(urls) sessions; returns its RESULT figures."""
    out = subprocess.run([path, "--seconds", str(seconds)] + urls, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=seconds + 60).stdout.decode()
    figures = {}
    for line in out.splitlines():
        if line.startswith("RESULT "):
            _, name, value = line.split()
            figures[name] = float(value)
    return figures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--counts", default="1,4,16")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--memory-seconds", type=float, default=60)
    ap.add_argument("--rtspdump", default=os.path.join(ROOT, "build", "linux-release", "rtspdump"))
    ap.add_argument("--multiclient", default=os.path.join(ROOT, "build", "linux-release", "multiclient_bench"))
    args = ap.parse_args()
    if not os.path.exists(args.rtspdump):
        raise SystemExit("no rtspdump at %s (build the linux-release preset)" % args.rtspdump)
    counts = [int(c) for c in args.counts.split(",")]
    streams = max(counts)

    tmp = tempfile.mkdtemp(prefix="bench_rtsp_")
    source = os.path.join(tmp, "loop1080.h264")
    subprocess.run([sys.executable, CAMSERVER, "--make-file", source, "--size", "1920x1080", "--fps", "25",
                    "--seconds", "4"], check=True)
    mounts = ["loop%d=file,path=%s,fps=25" % (i, source) for i in range(streams)]
    server, port = start_camserver(mounts)
    urls = ["rtsp://127.0.0.1:%d/loop%d" % (port, i) for i in range(streams)]
    kinds = ("rtspdump", "ffmpeg", "gst")
    results = {}
    memory = {}
    try:
        for n in counts:
            for kind in kinds:
                cpu, rss = run_clients(kind, urls[:n], args.seconds, args.rtspdump)
                time.sleep(2)  # let the shared mounts wind down between client kinds
                results[(n, kind)] = (cpu / (n * args.seconds / 60.0), rss)
        if args.memory_seconds > 0 and streams > 1 and os.path.exists(args.multiclient):
            memory[1] = run_multiclient(args.multiclient, urls[:1], args.memory_seconds)
            time.sleep(2)
            memory[streams] = run_multiclient(args.multiclient, urls, args.memory_seconds)
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait()

    print("1920x1080 H.264 at 25 fps (about 4.6 Mbit/s), %.0f s per run, one client process per stream" % args.seconds)
    print("%-8s %-10s %22s %18s %12s" % ("streams", "client", "CPU s / stream-minute", "peak RSS/process", "vs ffmpeg"))
    for n in counts:
        ffmpeg = results[(n, "ffmpeg")][0]
        for kind in kinds:
            cpu, rss = results[(n, kind)]
            ratio = cpu / ffmpeg if ffmpeg > 0 else float("inf")
            print("%-8d %-10s %22.3f %15d kB %12.2f" % (n, kind, cpu, rss, ratio))
            print("RESULT cpu_%s_%d %.4f" % (kind, n, cpu))
            print("RESULT rss_%s_%d %d" % (kind, n, rss))
    print("goal: rtspdump / ffmpeg CPU <= 0.25")
    if memory:
        one, many = memory[1], memory[streams]
        per_stream = (many.get("rss_kb", 0) - one.get("rss_kb", 0)) / (streams - 1)
        print("one process, %.0f s: RSS with 1 stream %d kB, with %d streams %d kB (peak %d kB); "
              "%.0f kB = %.2f MiB per added stream (goal < 4 MiB)"
              % (args.memory_seconds, one.get("rss_kb", 0), streams, many.get("rss_kb", 0),
                 many.get("hwm_kb", 0), per_stream, per_stream / 1024.0))
        print("  same process CPU: %.3f s per stream-minute with 1 stream, %.3f with %d"
              % (one.get("cpu_s", 0) / (args.memory_seconds / 60.0),
                 many.get("cpu_s", 0) / (streams * args.memory_seconds / 60.0), streams))
        print("RESULT rss_per_stream_kb %.0f" % per_stream)
        print("RESULT multiclient_cpu_%d %.4f" % (streams, many.get("cpu_s", 0) / (streams * args.memory_seconds / 60.0)))
        print("RESULT multiclient_silent %d" % (one.get("silent", 1) + many.get("silent", 1)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
