#!/usr/bin/python3
"""Sixteen cameras with a 1080p30 main stream and a 360p30 sub stream each,
in a 1920x1050 client area: new pictures per second of the stage and of
every thumbnail on screen, Tavik's CPU and presents, and the time from a
click on a thumbnail to that camera's main picture on the stage. Run once
with the sub addresses in the settings and once without (every tile on its
main stream, as before sub streams), side by side; then the grid (View >
Grid) with the sixteen (sub addresses in the settings) and with four on
their main streams only: pictures/s of every tile.

    flock /tmp/tavik-wine.lock /usr/bin/python3 bench/bench_substreams_wine.py
        [--seconds 15] [--settle 3] [--tavik PATH] [--only sub,main,grid16,grid4] [--clicks 3]

(It starts Xvfb and Wine: run it under the Wine lock, as above.)

The cameras: tools/camserver.py replays two clips in a loop without
re-encoding, one shared mount per camera and stream: the 1080p30 clip of
bench/bench_pictures_wine.py (colour bars scrolling under a clock, a keyframe
every 2 s) and a 640x360 clip of the same bars in grey (a keyframe every
2 s), so that a sampled row tells the main picture from the sub one scaled
up. The settings are written as discovery writes them (Url and SubUrl of
each camera).

Figures over a window of --seconds after every sampled picture has moved
and --settle seconds more (the sampling of bench/bench_pictures_wine.py: two
rows across each picture read every 10 ms; a sample that differs from the
one before is a new picture):
  stage, thumbnails  pictures/s of the stage and of the 7 thumbnails wholly
                     in the window (the strip shows 7 of the 15 and part of
                     an eighth)
  CPU, presents/s    as bench/bench_pictures_wine.py takes them
  click              --clicks times, a click on the next thumbnail: the time
                     until the stage's row shows colour (the main picture),
                     and how many samples after the tiles' slide (220 ms)
                     showed only the window's background there. The camera
                     clicked has a client of its own on its main mount
                     (rtspsrc ! fakesink) from the start, as a real camera
                     encodes whether anyone watches or not: Tavik joins its
                     stream between keyframes.
Prints a table and "RESULT name value" lines for tools/bench.sh.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_pictures_wine import (CAMSERVER, CLIENT, CLIP, FPS, PYTHON, ROOT, Screen, band,  # noqa: E402
                                 client_origin, fit, load_average, make_clip, measure, open_tavik,
                                 tavik_tiles)
from glass_latency import Lines, start, stop  # noqa: E402
from winbed import Bed, grid_tiles, wait_until  # noqa: E402
from bench_tavik_wine import tavik_pid  # noqa: E402

CAMERAS = 16
SUB = (640, 360)
SUB_FRAMES, SUB_SCROLL = 160, 4  # 160 x 4 = 640: the loop joins without a jump
SUB_CLIP = os.path.join(ROOT, "build", "bench-media", "grey360p30_k60_s%d.h264" % SUB_SCROLL)
VISIBLE_THUMBS = 7
SLIDE_S = 0.22
NAMES = ["Cam %02d" % i for i in range(CAMERAS)]


def make_sub_clip(path):
    if os.path.exists(path):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    part = path + ".part"
    subprocess.run(
        ["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=%d" % SUB_FRAMES, "pattern=smpte",
         "horizontal-speed=%d" % SUB_SCROLL, "!",
         "video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1" % (SUB[0], SUB[1], FPS), "!",
         "timeoverlay", "font-desc=Sans 24", "halignment=center", "valignment=bottom", "!",
         "videobalance", "saturation=0", "!", "videoconvert", "!", "video/x-raw,format=I420", "!",
         "x264enc", "speed-preset=faster", "bitrate=800", "key-int-max=60", "bframes=0",
         "sliced-threads=false", "!", "video/x-h264,profile=high", "!", "h264parse", "!",
         "video/x-h264,stream-format=byte-stream", "!", "filesink", "location=" + part],
        check=True, timeout=600)
    os.rename(part, path)


def coloured(pixels):
    """Whether a sampled row (BGRA) holds the main clip's coloured bars."""
    if pixels is None:
        return False
    return any(max(pixels[j:j + 3]) - min(pixels[j:j + 3]) > 80 for j in range(0, len(pixels), 4))


def selected(bed):
    cfg = bed.read_config()
    return cfg.get("SelectedCamera") if cfg else None


def click_to_main(bed, main, stage_area, target, thumb_tile):
    """Clicks the thumbnail (client rectangle) of camera `target`; returns
    (seconds to a coloured stage row, blank stage samples after the slide),
    or None when the click never selected it."""
    left, top = client_origin(main)
    x = left + (thumb_tile[0] + thumb_tile[2]) // 2
    y = top + (thumb_tile[1] + thumb_tile[3]) // 2
    screen = Screen(bed.display, [stage_area])
    try:
        for _ in range(3):
            t0 = time.monotonic()
            bed.mouse_click(x, y)
            blank = 0
            while time.monotonic() - t0 < 15:
                pixels = screen.grab()[0]
                elapsed = time.monotonic() - t0
                if elapsed > SLIDE_S + 0.1 and screen.background_only([pixels]):
                    blank += 1
                if elapsed > SLIDE_S and coloured(pixels) and selected(bed) == target:
                    return elapsed, blank
                time.sleep(0.01)
            if selected(bed) == target:
                return None  # selected, but no main picture within 15 s
        return None
    finally:
        screen.close()


def run_case(bed, name, port, args, log_path):
    url = "rtsp://127.0.0.1:%d/" % port
    grid = name.startswith("grid")
    count = 4 if name == "grid4" else CAMERAS
    cams = []
    for i, n in enumerate(NAMES[:count]):
        cam = {"Name": n, "Url": url + "main%d" % i}
        if name in ("sub", "grid16"):
            cam["SubUrl"] = url + "sub%d" % i
        cams.append(cam)
    log = open(log_path, "wb")
    screen = None
    try:
        config = {"Cameras": cams, "SelectedCamera": NAMES[0], "Muted": True}
        if grid:
            config["ViewLayout"] = "Grid"
        main = open_tavik(bed, config, log)
        pid = wait_until(lambda: tavik_pid(bed.prefix), 30, what="Tavik.exe process")
        left, top = client_origin(main)
        if grid:
            tiles = grid_tiles(main.client, count)[1]
        else:
            tiles = tavik_tiles(main.client, CAMERAS)[:1 + VISIBLE_THUMBS]
        areas = [band(fit(t), left, top) for t in tiles]
        screen = Screen(bed.display, areas)
        if not screen.wait_changes(90):
            print("%s: not every picture moved within 90 s" % name, flush=True)
        time.sleep(args.settle)
        result = measure(screen, pid, bed.xvfb.pid, args.seconds, log_path, log)
        screen.close()
        screen = None
        clicks = []
        if grid:
            result["clicks"] = clicks
            return result
        # Thumbnail k of the strip is camera k + 1 while camera 0 is on the
        # stage; after a click the stage's camera goes back to its place.
        current = 0
        for k in range(args.clicks):
            target = 1 + (k % VISIBLE_THUMBS)
            place = target if target < current else target - 1 if current < target else None
            thumb = tavik_tiles(main.client, CAMERAS)[1 + (place if place is not None else 0)]
            outcome = click_to_main(bed, main, areas[0], NAMES[target], thumb)
            clicks.append(outcome)
            if outcome is not None:
                current = target
            time.sleep(args.settle)  # the camera left behind settles on its sub stream
        result["clicks"] = clicks
        return result
    finally:
        if screen:
            screen.close()
        bed.close_tavik(timeout=30)
        log.close()


def report(results, seconds):
    print("\n16 cameras, 1080p30 main (+ 360p30 sub), client 1920x1050, %.0f s windows; load %s"
          % (seconds, load_average()))
    print("| settings | stage pictures/s | thumbnails on screen or grid tiles, pictures/s (min) | CPU (cores) "
          "| wineserver + Xvfb + rest of machine | presents/s | click to main picture, s "
          "| blank stage samples |")
    print("|---|---|---|---|---|---|---|---|")
    labels = {"sub": "Url + SubUrl", "main": "Url only", "grid16": "grid, 16 x (Url + SubUrl)",
              "grid4": "grid, 4 x Url only"}
    print("(stage and strip: the stage, then the 7 thumbnails wholly in view; grid: every tile, "
          "row by row)")
    for name in ("sub", "main", "grid16", "grid4"):
        r = results.get(name)
        if r is None:
            continue
        thumbs = r["pictures"][1:] if not name.startswith("grid") else r["pictures"]
        clicks = [c for c in r["clicks"] if c is not None]
        print("| %s | %s | %s (%.1f) | %.2f | %.2f + %.2f + %.2f | %.1f | %s | %s |" % (
            labels[name], "-" if name.startswith("grid") else "%.1f" % r["pictures"][0], " / ".join("%.1f" % p for p in thumbs), min(thumbs),
            r["cpu"], r["wineserver"], r["xvfb"], r["rest"], r["presents"] or 0.0,
            ", ".join("%.2f" % c[0] for c in clicks) + ("" if len(clicks) == len(r["clicks"])
                                                         else " (%d lost)" % (len(r["clicks"]) - len(clicks))),
            ", ".join(str(c[1]) for c in clicks)))
    for name, r in results.items():
        key = "sub16_%s" % name
        if name.startswith("grid"):
            print("RESULT %s_min_tile_pictures %.2f" % (key, min(r["pictures"])))
        else:
            print("RESULT %s_stage_pictures %.2f" % (key, r["pictures"][0]))
            print("RESULT %s_min_thumb_pictures %.2f" % (key, min(r["pictures"][1:])))
        print("RESULT %s_cpu %.3f" % (key, r["cpu"]))
        clicks = [c[0] for c in r["clicks"] if c is not None]
        if clicks:
            print("RESULT %s_click_to_main_max_s %.2f" % (key, max(clicks)))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--settle", type=float, default=3)
    ap.add_argument("--tavik", default=os.path.join(ROOT, "build", "windows", "Tavik.exe"))
    ap.add_argument("--only", default="sub,main,grid16,grid4")
    ap.add_argument("--clicks", type=int, default=3)
    args = ap.parse_args()
    print("load at start %s; Tavik.exe %s" % (load_average(), os.path.abspath(args.tavik)), flush=True)
    make_clip(CLIP)
    make_sub_clip(SUB_CLIP)
    tmp = tempfile.mkdtemp(prefix="bench-sub-")
    build = os.path.join(tmp, "build")
    os.makedirs(build)
    shutil.copy(args.tavik, os.path.join(build, "Tavik.exe"))
    shutil.copy(os.path.join(ROOT, "build", "windows", "winprobe_win.exe"), build)
    mounts = []
    for i in range(CAMERAS):
        mounts.append("main%d=file,path=%s,fps=%d" % (i, CLIP, FPS))
        mounts.append("sub%d=file,path=%s,fps=%d" % (i, SUB_CLIP, FPS))
    cam = start([PYTHON, CAMSERVER, "--port", "0"] + mounts)
    watchers = []
    results = {}
    try:
        port = int(Lines(cam).wait_for("camserver ready", 60).split("port=")[1])
        # The cameras clicked run their main streams all along (see above).
        for i in range(1, 1 + min(args.clicks, VISIBLE_THUMBS)):
            watchers.append(start(["gst-launch-1.0", "-q", "rtspsrc", "location=rtsp://127.0.0.1:%d/main%d"
                                   % (port, i), "protocols=tcp", "!", "fakesink"],
                                  stdout=subprocess.DEVNULL))
        with Bed(width=CLIENT[0] + 80, height=CLIENT[1] + 150, build=build) as bed:
            for name in args.only.split(","):
                results[name] = run_case(bed, name, port, args, os.path.join(tmp, "dxgi-%s.log" % name))
    finally:
        for w in watchers:
            stop(w)
        stop(cam)
        shutil.rmtree(tmp, ignore_errors=True)
    report(results, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
