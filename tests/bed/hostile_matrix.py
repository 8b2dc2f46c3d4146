#!/usr/bin/python3
"""Runs the native rtspdump against every case of tests/bed/hostile_rtsp.py while a
second rtspdump watches a well-behaved test camera (tools/camserver.py), and
prints one row per case: crashed (exit code, sanitizer report), peak resident
memory, connections (accepted by the server, reported up by the client), the
gaps between the end of one connection and the next attempt, access units and
audio frames received. The last row is the well-behaved camera over the whole run.

    hostile_matrix.py [--rtspdump PATH] [--seconds 40] [--parallel 4] [CASE ...]

Run with /usr/bin/python3 (camserver imports gi). Exit code 1 when any client
crashed or the well-behaved camera stopped streaming.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
import hostile_rtsp  # noqa: E402

PYTHON = "/usr/bin/python3"
SANITIZER = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|AddressSanitizer:DEADLYSIGNAL")


def start(args, **kw):
    return subprocess.Popen(args, start_new_session=True, **kw)


def stop(proc, grace=10.0):
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def wait_line(proc, prefix, timeout):
    """The first stdout line of proc that starts with prefix (read on a thread)."""
    found = []

    def read():
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace")
            if line.startswith(prefix):
                found.append(line)
                return

    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    thread.join(timeout)
    if not found:
        raise RuntimeError("%s did not print %r" % (proc.args[:3], prefix))
    return found[0]


class Dump:
    """One rtspdump run: its output, exit code and peak resident memory."""

    def __init__(self, rtspdump, url, seconds, work, name):
        self.name = name
        self.out_path = os.path.join(work, name + ".out")
        self.err_path = os.path.join(work, name + ".err")
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = start([rtspdump, url, "--seconds", str(seconds)], stdout=out, stderr=err, env=env)
        self.peak_kib = 0
        self.started = time.time()

    def sample(self):
        try:
            with open("/proc/%d/status" % self.proc.pid, encoding="ascii") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        self.peak_kib = max(self.peak_kib, int(line.split()[1]))
        except OSError:
            pass

    def result(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            out = f.read()
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            err = f.read()
        summary = {}
        for line in out.splitlines():
            if line.startswith("summary "):
                summary = dict(field.split("=", 1) for field in line.split()[1:])
        fps = [int(m.group(1)) for m in re.finditer(r"video units=\d+ fps=(\d+)", out)]
        code = self.proc.returncode
        crashed = code not in (0, 1) or bool(SANITIZER.search(err)) or not summary
        return {"case": self.name, "exit": code, "crashed": crashed, "peak_mib": self.peak_kib / 1024.0,
                "summary": summary, "fps": fps, "stderr": err[-3000:], "stdout": out}


def server_connections(log_path, case):
    """(accept times, end times) of the case's connections, from the server's log."""
    accepts, ends = {}, {}
    if os.path.exists(log_path):
        with open(log_path, encoding="utf-8") as f:
            for line in f:
                entry = json.loads(line)
                if entry["case"] != case:
                    continue
                (accepts if entry["event"] == "accept" else ends)[entry["conn"]] = entry["t"]
    order = sorted(accepts, key=accepts.get)
    return [accepts[c] for c in order], [ends.get(c) for c in order]


def reconnect_gaps(accepts, ends):
    """Seconds from the end of each connection to the next accept."""
    return [accepts[i + 1] - ends[i] for i in range(len(accepts) - 1) if ends[i] is not None]


def run_matrix(cases, seconds, parallel, rtspdump, work, report=print):
    """Runs the cases in batches; returns (rows, good camera row)."""
    hostile_log = os.path.join(work, "hostile.log")
    hostile = start([PYTHON, os.path.join(ROOT, "tests", "bed", "hostile_rtsp.py"), "--log", hostile_log],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    camserver = start([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--port", "0",
                       "cam=h264,width=320,height=240"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    good = None
    rows = []
    try:
        port = int(wait_line(hostile, "hostile ready", 30).split("port=")[1])
        cam_port = int(wait_line(camserver, "camserver ready", 60).split("port=")[1])
        batches = [cases[i:i + parallel] for i in range(0, len(cases), parallel)]
        total = len(batches) * (seconds + 5) + 10
        good = Dump(rtspdump, "rtsp://127.0.0.1:%d/cam" % cam_port, total, work, "well_behaved_camera")
        for batch in batches:
            report("running %s for %d s" % (" ".join(batch), seconds))
            dumps = [Dump(rtspdump, "rtsp://127.0.0.1:%d/%s" % (port, case), seconds, work, case)
                     for case in batch]
            deadline = time.time() + seconds + 60
            while any(d.proc.poll() is None for d in dumps) and time.time() < deadline:
                for d in dumps + [good]:
                    d.sample()
                time.sleep(0.25)
            for d in dumps:
                stop(d.proc)
                row = d.result()
                accepts, ends = server_connections(hostile_log, d.name)
                row["accepts"] = len(accepts)
                row["gaps"] = reconnect_gaps(accepts, ends)
                rows.append(row)
        while good.proc.poll() is None and time.time() < good.started + total + 60:
            good.sample()
            time.sleep(0.25)
        stop(good.proc)
        good_row = good.result()
    finally:
        if good is not None:
            stop(good.proc)
        stop(hostile)
        stop(camserver)
    return rows, good_row


def format_rows(rows, good):
    head = "%-16s %-7s %5s %8s %8s %8s %-13s %7s %7s" % (
        "case", "crashed", "exit", "peakMiB", "attempts", "up/down", "gap s min-max", "units", "audio")
    lines = [head, "-" * len(head)]
    for r in rows + [dict(good, accepts="-", gaps=[])]:
        s = r["summary"]
        gaps = "%.2f-%.2f" % (min(r["gaps"]), max(r["gaps"])) if r["gaps"] else "-"
        lines.append("%-16s %-7s %5s %8.1f %8s %8s %-13s %7s %7s" % (
            r["case"], "YES" if r["crashed"] else "no", r["exit"], r["peak_mib"], r["accepts"],
            "%s/%s" % (s.get("connects", "?"), s.get("disconnects", "?")), gaps, s.get("units", "?"),
            s.get("audio_frames", "?")))
    fps = good["fps"][2:-1] or [0]
    lines.append("well-behaved camera: min fps %d, max fps %d over %d s, connections %s" % (
        min(fps), max(fps), len(good["fps"]), good["summary"].get("connects", "?")))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rtspdump", default=os.path.join(ROOT, "build", "linux-asan", "rtspdump"))
    parser.add_argument("--seconds", type=int, default=40)
    parser.add_argument("--parallel", type=int, default=4)
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    cases = args.cases or [c for c in hostile_rtsp.CASES if c != "good"]
    work = tempfile.mkdtemp(prefix="hostile-matrix-")
    rows, good = run_matrix(cases, args.seconds, args.parallel, args.rtspdump, work)
    print(format_rows(rows, good))
    print("outputs in", work)
    bad = [r["case"] for r in rows + [good] if r["crashed"]]
    for r in rows + [good]:
        if r["crashed"]:
            print("== %s stderr\n%s" % (r["case"], r["stderr"]))
    good_fps = good["fps"][2:-1]
    streaming = good["summary"].get("connects") == "1" and good_fps and min(good_fps) > 0
    if not streaming:
        print("the well-behaved camera did not stream throughout")
    sys.exit(1 if bad or not streaming else 0)


if __name__ == "__main__":
    main()
