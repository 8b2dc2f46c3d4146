#!/usr/bin/python3
"""New pictures on screen per second and CPU with 1080p30 cameras, in one run:
the bare GStreamer pipeline, mpv and ffplay beside Tavik.exe under Wine with
one camera, with one camera that never answers, and with four cameras.

    flock /tmp/tavik-wine.lock /usr/bin/python3 bench/bench_pictures_wine.py
        [--seconds 20] [--settle 3] [--quiet SECONDS] [--tavik PATH]
        [--only gst,mpv,ffplay,tavik,idle,four] [--shots DIR]

(It starts Xvfb and Wine: run it under the Wine lock, as above.)

The camera: a 4 s clip encoded once with x264 (1920x1080, 30 fps, a keyframe
every 60 pictures, no B-frames, High profile, ~6 Mbit/s) and kept in
build/bench-media. Its picture is GStreamer's colour bars scrolling 16 pixels to
the left with every picture (120 x 16 = 1920: the loop joins without a jump),
under a large running clock. tools/camserver.py replays the file in a loop
without re-encoding (one shared mount per viewer, 30 fps) on 127.0.0.1.

Viewers (no window manager: windows sit at 0,0, without a frame):
  gst     rtspsrc latency=0 protocols=tcp ! rtph264depay ! avdec_h264 !
          videoconvert ! videoscale ! 1866x1050 ! ximagesink sync=false
  mpv     --profile=low-latency --untimed --vo=x11, a 1866x1050 window
  ffplay  -fflags nobuffer -flags low_delay -framedrop, a 1866x1050 window
  tavik   Tavik.exe with that camera alone, its client area 1920x1050: the
          picture fills 1866x1050 of it (aspect fit, app/layout.cpp)
  idle    Tavik.exe with one camera at a closed port of 127.0.0.1 (nothing
          to show), same window
  four    Tavik.exe with four such cameras, client area 1920x1050: the stage
          (1680x945 picture) and the three thumbnails of the strip (232x131)
The reference viewers use TCP like Tavik. Each viewer runs alone on its own
Xvfb while it is measured.

Figures, over a window of --seconds after the first pictures have appeared
and --settle seconds more:
  pictures/s  a band of each picture (two rows across 90 % of its width at 30 %
              of its height, where the bars scroll) is read every 10 ms with
              XGetImage (libX11 through ctypes); each sample that differs from
              the one before counts as a new picture on screen. The sampler's
              own average and longest gap between samples are printed too:
              a gap above 33 ms may miss a picture.
  CPU         user + system time of the viewer's process (for Tavik the
              Tavik.exe process, all its threads, as bench/bench_tavik_wine.py
              takes it) over the window, in cores. wineserver's and Xvfb's
              CPU are printed beside it and not included, and so are the
              sampler's and the rest of the machine's (anything else running
              meanwhile: a figure beside a busy rest is noisy).
  presents/s  Tavik.exe only: IDXGISwapChain Present calls counted in Wine's
              dxgi trace (WINEDEBUG=trace+dxgi, on in every Tavik run alike).
Prints a table and "RESULT name value" lines for tools/bench.sh.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
CAMSERVER = os.path.join(ROOT, "tools", "camserver.py")
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winbed import Bed, wait_until  # noqa: E402
from bench_frame_wine import load_average  # noqa: E402
from bench_tavik_wine import TICKS, count_presents, proc_cpu, tavik_pid, wineserver_cpu  # noqa: E402
from glass_latency import BACKGROUND, Lines, grab_area, libx11, start, stop, xvfb  # noqa: E402

WIDTH, HEIGHT, FPS, KEYINT, CLIP_SECONDS, SCROLL = 1920, 1080, 30, 60, 4, 16
CLIENT = (1920, 1050)        # Tavik's client area
PEER_WINDOW = (1866, 1050)   # the picture's size in that client area with one camera
INTERVAL = 0.01              # sampling period, s
CLIP = os.path.join(ROOT, "build", "bench-media", "bars1080p30_k%d_s%d.h264" % (KEYINT, SCROLL))


def make_clip(path):
    """Encodes the looping clip once (kept for later runs)."""
    if os.path.exists(path) and os.path.getsize(path) > 0:
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    part = path + ".part"
    subprocess.run(
        ["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=%d" % (FPS * CLIP_SECONDS), "pattern=smpte",
         "horizontal-speed=%d" % SCROLL, "!",
         "video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1" % (WIDTH, HEIGHT, FPS), "!",
         "timeoverlay", "font-desc=Sans 72", "halignment=center", "valignment=bottom", "!",
         "videoconvert", "!", "video/x-raw,format=I420", "!",
         "x264enc", "speed-preset=faster", "bitrate=6000", "key-int-max=%d" % KEYINT, "bframes=0",
         "sliced-threads=false", "!", "video/x-h264,profile=high", "!", "h264parse", "!",
         "video/x-h264,stream-format=byte-stream", "!", "filesink", "location=" + part],
        check=True, timeout=600)
    os.rename(part, path)


# -- where the pictures are -----------------------------------------------------

def _nearest(v):
    return int(v + 0.5) if v >= 0 else -int(-v + 0.5)


def fit(tile):
    """The picture's rectangle (x, y, w, h) aspect-fit in tile (l, t, r, b),
    as the renderer places it."""
    l, t, r, b = tile
    s = min((r - l) / WIDTH, (b - t) / HEIGHT)
    return (_nearest(((r - l) - s * WIDTH) / 2 + l), _nearest(((b - t) - s * HEIGHT) / 2 + t),
            _nearest(s * WIDTH), _nearest(s * HEIGHT))


def tavik_tiles(client, count):
    """The tiles of the stage-and-strip layout at 96 dpi (app/layout.cpp):
    one camera fills the client area; with more, the selected one (the
    first) is the stage right of the strip (at most 240 wide) and the others
    are 16:9 thumbnails down the strip, 4 pixels apart."""
    cw, ch = client
    if count == 1:
        return [(0, 0, cw, ch)]
    strip, gap = min(cw // 3, 240), 4
    tw = strip - 2 * gap
    th = _nearest(tw * 9 / 16)
    tiles = [(strip, 0, cw, ch)]
    for k in range(count - 1):
        y = gap + k * (th + gap)
        tiles.append((gap, y, gap + tw, y + th))
    return tiles


def band(picture, dx=0, dy=0):
    """The sampled area (x, y, w, h) of a picture on screen: two rows across
    90 % of its width at 30 % of its height, in the scrolling bars."""
    x, y, w, h = picture
    return (dx + x + _nearest(0.05 * w), dy + y + _nearest(0.30 * h), max(1, _nearest(0.9 * w)), 2)


# -- sampling the screen -----------------------------------------------------------

class Screen:
    """Areas of one X display, read with XGetImage."""

    def __init__(self, display, areas):
        self.x11 = libx11()
        self.dpy = self.x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display %s" % display)
        self.root = self.x11.XDefaultRootWindow(self.dpy)
        self.areas = areas

    def close(self):
        self.x11.XCloseDisplay(self.dpy)

    def grab(self):
        return [grab_area(self.x11, self.dpy, self.root, *a)[0] for a in self.areas]

    def background_only(self, pixels):
        """Indexes of the areas that hold nothing but the window's background."""
        blank = []
        for i, p in enumerate(pixels):
            if p is None or all(max(abs(p[j + 2] - BACKGROUND[0]), abs(p[j + 1] - BACKGROUND[1]),
                                    abs(p[j] - BACKGROUND[2])) <= 6 for j in range(0, len(p), 4)):
                blank.append(i)
        return blank

    def wait_changes(self, timeout):
        """Waits until every area has changed at least once; False on time-out."""
        first = self.grab()
        changed = [False] * len(self.areas)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for i, p in enumerate(self.grab()):
                changed[i] = changed[i] or (p is not None and p != first[i])
            if all(changed):
                return True
            time.sleep(0.05)
        return False

    def count_changes(self, seconds):
        """Samples every INTERVAL s for `seconds`: (changes per second of each
        area, mean ms between samples, longest ms between samples)."""
        last = self.grab()
        changes = [0] * len(self.areas)
        samples, longest = 0, 0.0
        t0 = prev = due = time.monotonic()
        while True:
            due += INTERVAL
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                due = time.monotonic()  # behind: sample now, no burst to catch up
            now = time.monotonic()
            if now - t0 >= seconds:
                break
            for i, p in enumerate(self.grab()):
                if p is not None and p != last[i]:
                    changes[i] += 1
                    last[i] = p
            samples += 1
            longest = max(longest, now - prev)
            prev = now
        elapsed = time.monotonic() - t0
        return [c / elapsed for c in changes], 1000.0 * elapsed / max(samples, 1), 1000.0 * longest


def cpu_seconds(pid):
    try:
        return proc_cpu("/proc/%d/stat" % pid)
    except (OSError, ValueError):
        return 0.0


def machine_busy():
    """CPU seconds the whole machine has spent busy (all cores, /proc/stat)."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:8]]
    return (sum(fields) - fields[3] - fields[4]) / TICKS  # less idle and iowait


def others_busy(pid, xvfb_pid, seconds):
    """Cores the rest of the machine keeps busy over `seconds`, besides pid,
    Xvfb, wineserver and this process."""
    def ours():
        return cpu_seconds(pid) + cpu_seconds(xvfb_pid) + wineserver_cpu() + sum(os.times()[:2])

    m0, o0, t0 = machine_busy(), ours(), time.monotonic()
    time.sleep(seconds)
    return max(0.0, (machine_busy() - m0) - (ours() - o0)) / (time.monotonic() - t0)


def wait_quiet(pid, xvfb_pid, limit, name):
    """Waits up to `limit` s until the rest of the machine is below 0.3 cores
    (a build of someone else's, say, has ended)."""
    if limit <= 0:
        return
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if others_busy(pid, xvfb_pid, 1.0) < 0.3:
            break
    waited = time.monotonic() - start
    if waited > 1.5:
        print("%s: waited %.0f s for a quieter machine" % (name, waited), flush=True)


def measure(screen, pid, xvfb_pid, seconds, log_path=None, log=None):
    """Pictures/s of each area and the CPU of pid (and of wineserver, Xvfb, and
    everything else on the machine) over `seconds`."""
    if log:
        log.flush()
    p0 = count_presents(log_path) if log_path else None
    m0, s0 = machine_busy(), sum(os.times()[:2])
    c0, w0, x0 = cpu_seconds(pid), wineserver_cpu(), cpu_seconds(xvfb_pid)
    t0 = time.monotonic()
    rates, mean_ms, longest_ms = screen.count_changes(seconds)
    elapsed = time.monotonic() - t0
    if log:
        log.flush()
    c1, w1, x1 = cpu_seconds(pid), wineserver_cpu(), cpu_seconds(xvfb_pid)
    sampler = sum(os.times()[:2]) - s0
    # The rest: whatever else runs on the machine meanwhile.
    rest = (machine_busy() - m0) - (c1 - c0) - (w1 - w0) - (x1 - x0) - sampler
    return {"pictures": rates, "cpu": (c1 - c0) / elapsed, "wineserver": (w1 - w0) / elapsed,
            "xvfb": (x1 - x0) / elapsed, "rest": max(0.0, rest) / elapsed, "sampler": sampler / elapsed,
            "sample_ms": mean_ms, "longest_ms": longest_ms,
            "presents": None if p0 is None else (count_presents(log_path) - p0) / elapsed}


def screenshot(display, path):
    subprocess.run(["import", "-display", display, "-window", "root", path], timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# -- the viewers -------------------------------------------------------------------

def peer(name, url, seconds, settle, quiet, shots):
    w, h = PEER_WINDOW
    args = {
        "gst": ["gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "latency=0", "protocols=tcp", "!",
                "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!", "videoscale", "!",
                "video/x-raw,width=%d,height=%d" % (w, h), "!", "ximagesink", "sync=false"],
        "mpv": ["mpv", "--profile=low-latency", "--untimed", "--rtsp-transport=tcp", "--no-audio",
                "--vo=x11", "--geometry=%dx%d+0+0" % (w, h), "--no-border", url],
        "ffplay": ["ffplay", "-loglevel", "quiet", "-fflags", "nobuffer", "-flags", "low_delay",
                   "-framedrop", "-rtsp_transport", "tcp", "-an", "-x", str(w), "-y", str(h),
                   "-left", "0", "-top", "0", "-noborder", url],
    }[name]
    if not shutil.which(args[0]):
        print("%s skipped (%s is not installed)" % (name, args[0]), flush=True)
        return None
    server, display = xvfb(WIDTH, HEIGHT)
    env = dict(os.environ, DISPLAY=display)
    env.pop("WAYLAND_DISPLAY", None)
    viewer = start(args, env=env, stdout=subprocess.DEVNULL)
    screen = Screen(display, [band((0, 0, w, h))])
    try:
        if not screen.wait_changes(40):
            print("%s: no moving picture within 40 s" % name, flush=True)
        time.sleep(settle)
        wait_quiet(viewer.pid, server.pid, quiet, name)
        result = measure(screen, viewer.pid, server.pid, seconds)
        if shots:
            screenshot(display, os.path.join(shots, "%s.png" % name))
        return result
    finally:
        screen.close()
        stop(viewer)
        stop(server)


def open_tavik(bed, config, log):
    """Starts Tavik.exe with config (the window's keys added: client area
    CLIENT at 0,0) and its dxgi trace into log; returns its main window once
    the client area is CLIENT."""
    bed.write_config(dict(config, WindowLeft=0, WindowTop=0, WindowWidth=CLIENT[0] + open_tavik.frame[0],
                          WindowHeight=CLIENT[1] + open_tavik.frame[1]))
    bed.tavik = subprocess.Popen(["wine", os.path.join(bed.build, "Tavik.exe")],
                                 env=dict(bed.env, WINEDEBUG="trace+dxgi"),
                                 stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
    main = bed.wait_window(cls="Orbisfield.Tavik", timeout=90)
    if main.client != CLIENT:
        # Wine's frame and the menu bar come on top of the client area.
        open_tavik.frame = (main.rect[2] - main.rect[0] - main.client[0],
                            main.rect[3] - main.rect[1] - main.client[1])
        bed.move(main, 0, 0, CLIENT[0] + open_tavik.frame[0], CLIENT[1] + open_tavik.frame[1])

        def resized():
            w = bed.find_window(cls="Orbisfield.Tavik")
            return w if w is not None and w.client == CLIENT else None

        main = wait_until(resized, 20, interval=0.3, what="client area %dx%d" % CLIENT)
    return main


open_tavik.frame = (8, 46)  # the frame's width and height (first guess; corrected from the first window)


def client_origin(main):
    """The screen position of the client area: inside the frame's border,
    below the menu bar."""
    cw, ch = main.client
    border = (main.rect[2] - main.rect[0] - cw) // 2
    return main.rect[0] + border, main.rect[3] - border - ch


def tavik(bed, name, urls, seconds, settle, quiet, shots):
    """Tavik.exe with the cameras at urls (the first selected), client area CLIENT."""
    cams = [{"Name": "Cam %d" % i, "Url": u} for i, u in enumerate(urls)]
    log_path = os.path.join(bed.tmp, "dxgi-%s.log" % name)
    log = open(log_path, "wb")
    screen = None
    try:
        main = open_tavik(bed, {"Cameras": cams, "SelectedCamera": "Cam 0", "Muted": True}, log)
        pid = wait_until(lambda: tavik_pid(bed.prefix), 30, what="Tavik.exe process")
        left, top = client_origin(main)
        areas = [band(fit(t), left, top) for t in tavik_tiles(main.client, len(urls))]
        screen = Screen(bed.display, areas)
        if name != "idle" and not screen.wait_changes(60):
            print("%s: not every picture moved within 60 s" % name, flush=True)
        time.sleep(settle if name != "idle" else max(settle, 6))  # idle: past the first attempts
        blank = screen.background_only(screen.grab()) if name != "idle" else []
        if shots and blank:
            bed.screenshot(os.path.join(shots, "tavik_%s_start.png" % name))
        wait_quiet(pid, bed.xvfb.pid, quiet, name)
        result = measure(screen, pid, bed.xvfb.pid, seconds, log_path, log)
        blank_end = screen.background_only(screen.grab()) if name != "idle" else []
        result["client"], result["areas"], result["blank"] = main.client, areas, (blank, blank_end)
        if shots:
            bed.screenshot(os.path.join(shots, "tavik_%s.png" % name))
        return result
    finally:
        if screen:
            screen.close()
        bed.close_tavik(timeout=30)
        log.close()


def closed_port():
    """A port of 127.0.0.1 on which nothing listens (bound, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# -- the report --------------------------------------------------------------------

def report(results, seconds):
    print("\n1080p30 H.264 loop (key-int %d, no B-frames), %.0f s windows, pictures sampled every %.0f ms; "
          "load %s" % (KEYINT, seconds, INTERVAL * 1000, load_average()))
    print("| viewer | pictures/s | CPU (cores) | presents/s | wineserver | Xvfb | sampler | rest of machine "
          "| sampled every (longest) ms |")
    print("|---|---|---|---|---|---|---|---|---|")
    labels = {"gst": "GStreamer rtspsrc latency=0 ! ... ! ximagesink sync=false",
              "mpv": "mpv --profile=low-latency --untimed --vo=x11",
              "ffplay": "ffplay -fflags nobuffer -flags low_delay -framedrop",
              "tavik": "Tavik, that one camera", "idle": "Tavik, one camera that never answers",
              "four": "Tavik, 4 cameras: stage / thumbnails"}
    for name in ("gst", "mpv", "ffplay", "tavik", "idle", "four"):
        r = results.get(name)
        if r is None:
            continue
        pics = " / ".join("%.1f" % p for p in r["pictures"])
        tavik_only = name in ("tavik", "idle", "four")
        print("| %s | %s | %.2f | %s | %s | %.2f | %.2f | %.2f | %.1f (%.0f) |" % (
            labels[name], pics, r["cpu"], "%.1f" % r["presents"] if r["presents"] is not None else "-",
            "%.2f" % r["wineserver"] if tavik_only else "-", r["xvfb"], r["sampler"], r["rest"],
            r["sample_ms"], r["longest_ms"]))
        for when, blank in zip(("start", "end"), r.get("blank", ())):
            if blank:
                print("  (%s: sampled area %s held only the window's background at the %s; 0 is the stage)"
                      % (name, ", ".join(str(i) for i in blank), when))
    mpv = results.get("mpv")
    one = results.get("tavik")
    if mpv and one and mpv["cpu"] > 0:
        print("Tavik's CPU with one camera: %.1f x mpv's" % (one["cpu"] / mpv["cpu"]))
    for name, r in results.items():
        if r is None:
            continue
        key = "p1080_%s" % name
        if name == "four":
            print("RESULT %s_stage_pictures %.2f" % (key, r["pictures"][0]))
            for i, p in enumerate(r["pictures"][1:], 1):
                print("RESULT %s_thumb%d_pictures %.2f" % (key, i, p))
        else:
            print("RESULT %s_pictures %.2f" % (key, r["pictures"][0]))
        print("RESULT %s_cpu %.3f" % (key, r["cpu"]))
        if r["presents"] is not None:
            print("RESULT %s_presents %.2f" % (key, r["presents"]))
        print("RESULT %s_longest_sample_gap_ms %.1f" % (key, r["longest_ms"]))
        print("RESULT %s_rest_cpu %.3f" % (key, r["rest"]))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=20, help="measuring window of each viewer")
    ap.add_argument("--settle", type=float, default=3,
                    help="wait after the first moving pictures before measuring")
    ap.add_argument("--tavik", default=os.path.join(ROOT, "build", "windows", "Tavik.exe"),
                    help="the Tavik.exe to measure (copied at the start)")
    ap.add_argument("--only", default="gst,mpv,ffplay,tavik,idle,four")
    ap.add_argument("--quiet", type=float, default=0, metavar="SECONDS",
                    help="before each window, wait up to this long for the rest of the machine to "
                         "use less than 0.3 cores (a shared machine's builds, say)")
    ap.add_argument("--shots", help="folder for a screenshot of each viewer")
    args = ap.parse_args()
    only = args.only.split(",")
    if args.shots:
        os.makedirs(args.shots, exist_ok=True)
    print("load at start %s; Tavik.exe %s" % (load_average(), os.path.abspath(args.tavik)), flush=True)
    make_clip(CLIP)
    tmp = tempfile.mkdtemp(prefix="bench1080-")
    # The programs measured are copied first, so that a rebuild meanwhile does not change them.
    build = os.path.join(tmp, "build")
    os.makedirs(build)
    shutil.copy(args.tavik, os.path.join(build, "Tavik.exe"))
    shutil.copy(os.path.join(ROOT, "build", "windows", "winprobe_win.exe"), build)
    mounts = ["%s=file,path=%s,fps=%d" % (m, CLIP, FPS) for m in ("gst", "mpv", "ffplay", "t0", "t1", "t2", "t3")]
    cam = start([PYTHON, CAMSERVER, "--port", "0"] + mounts)
    results = {}
    try:
        port = int(Lines(cam).wait_for("camserver ready", 60).split("port=")[1])
        url = "rtsp://127.0.0.1:%d/" % port
        for name in ("gst", "mpv", "ffplay"):
            if name in only:
                results[name] = peer(name, url + name, args.seconds, args.settle, args.quiet, args.shots)
        runs = [(n, u) for n, u in (("tavik", [url + "t0"]),
                                    ("idle", ["rtsp://127.0.0.1:%d/x" % closed_port()]),
                                    ("four", [url + "t%d" % i for i in range(4)])) if n in only]
        if runs:
            with Bed(width=CLIENT[0] + 80, height=CLIENT[1] + 150, build=build) as bed:
                for name, urls in runs:
                    results[name] = tavik(bed, name, urls, args.seconds, args.settle, args.quiet, args.shots)
    finally:
        stop(cam)
        shutil.rmtree(tmp, ignore_errors=True)
    report(results, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
