#!/usr/bin/python3
"""Runs bench/frame_bench_win.cpp (frame_bench_win.exe of the Windows build)
under Wine in the test bed's own Xvfb display and prefix copy, and prints its
output: the time of each step of a frame (upload, conversion, tiles, overlays,
present) with 0, 1, 4 and 9 synthetic 720p pictures, the back-to-back frame
rate, and the allocations per render tick.

    /usr/bin/python3 bench/bench_frame_wine.py [--counts 0,1,4,9] [--frames 20] [--seconds 4] [--small 504x271]

The load average before and after the run is printed beside the figures.
"""
import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed  # noqa: E402


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--counts", default="0,1,4,9")
    ap.add_argument("--frames", type=int, default=20)
    ap.add_argument("--seconds", type=float, default=4)
    # The client area of Tavik.exe's default 520x330 window, for the empty
    # window measured again at that size.
    ap.add_argument("--small", default="504x271")
    args = ap.parse_args()
    # Room for the bench's window and its reference window side by side, so
    # that neither covers the other.
    with Bed(width=2600, height=800) as bed:
        exe = os.path.join(bed.build, "frame_bench_win.exe")
        before = load_average()
        code, out = bed.wine([exe, "--counts", args.counts, "--frames", str(args.frames),
                              "--seconds", str(args.seconds), "--small", args.small], timeout=900)
        # What each way of uploading a 1080p picture costs the uploading thread.
        upload = os.path.join(bed.build, "upload_bench_win.exe")
        if code == 0 and os.path.exists(upload):
            code, more = bed.wine([upload, "--frames", str(max(60, args.frames * 6))], timeout=900)
            out += more
        after = load_average()
    sys.stdout.write(out)
    print("load average before %s, after %s" % (before, after))
    if code != 0:
        print("frame_bench_win.exe exited with %d" % code)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
