#!/usr/bin/python3
"""Glass-to-glass latency: from the moment a camera's picture turns white to the
moment a viewer's screen pixel does, for Tavik.exe under Wine and for reference
viewers in the same run.

    /usr/bin/python3 bench/glass_latency.py [--seconds 20] [--busy 8] [--busy-window 1000x600]
                                            [--settle SECONDS] [--only NAMES]

A flashing camera (this script with --flashcam: GStreamer appsrc -> x264enc
zerolatency -> RTSP, 640x360 at 30 fps, white for 300 ms every 1.5 s) prints the
monotonic time at which each first white picture enters the encoder. A probe
(this script with --probe) reads one pixel of the X display every 2 ms (libX11
XGetImage through ctypes) and prints the time of each rise to white. Each rise is
paired with the last flash before it; a flash with no rise within a second is a
flash not shown. Both use CLOCK_MONOTONIC, so the two processes share a clock.

Viewers, each on a display of its own (Xvfb, no window manager: windows sit at
0,0):
  gst          rtspsrc latency=0 protocols=tcp ! rtph264depay ! avdec_h264 !
               videoconvert ! ximagesink sync=false (the bare pipeline)
  mpv          --profile=low-latency --untimed --rtsp-transport=tcp
  ffplay       -fflags nobuffer -flags low_delay -framedrop -rtsp_transport tcp
  tavik        Tavik.exe, the flashing camera alone
  tavik_busy   Tavik.exe, the flashing camera selected beside --busy looping
               720p30 cameras (window 1000x600, a keyframe every second); then
               the thumbnails on screen are watched for 10 s: the longest
               time any of them went without a new picture
For each it prints one line:
  latency VIEWER median_ms=M p90_ms=P shown=S flashes=F
A viewer whose program is missing is reported as skipped.
"""
import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
HERE = os.path.abspath(__file__)
CAMSERVER = os.path.join(ROOT, "tools", "camserver.py")
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
sys.path.insert(0, os.path.dirname(HERE))
from bench_tavik_wine import count_presents  # noqa: E402  (Present calls in Wine's dxgi trace)

WIDTH, HEIGHT, FPS = 640, 360, 30
FLASH_PERIOD, FLASH_LENGTH = 1.5, 0.3


# -- the flashing camera ------------------------------------------------------

def flashcam(port):
    import gi
    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer

    Gst.init(None)
    size = WIDTH * HEIGHT
    black = bytes([16]) * size + bytes([128]) * (size // 2)
    white = bytes([235]) * size + bytes([128]) * (size // 2)
    launch = ("( appsrc name=src is-live=true format=time do-timestamp=true "
              "caps=video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1 "
              "! x264enc tune=zerolatency speed-preset=ultrafast bframes=0 key-int-max=%d "
              "sliced-threads=false bitrate=1500 ! rtph264pay name=pay0 pt=96 config-interval=-1 )"
              % (WIDTH, HEIGHT, FPS, FPS * 2))

    state = {"src": None}

    def configure(_factory, media):
        state["src"] = media.get_element().get_by_name("src")

    def pump():
        start = time.monotonic()
        n = 0
        was_white = False
        while True:
            due = start + n / FPS
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            src = state["src"]
            n += 1
            if src is None:
                continue
            phase = (time.monotonic() - start) % FLASH_PERIOD
            is_white = phase < FLASH_LENGTH
            buf = Gst.Buffer.new_wrapped(white if is_white else black)
            if is_white and not was_white:
                print("flash %.6f" % time.monotonic(), flush=True)
            src.emit("push-buffer", buf)
            was_white = is_white

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(True)
    factory.connect("media-configure", configure)
    server.get_mount_points().add_factory("/flash", factory)
    server.attach(None)
    threading.Thread(target=pump, daemon=True).start()
    print("flashcam ready port=%d" % server.get_bound_port(), flush=True)
    GLib.MainLoop().run()


# -- the screen probe ---------------------------------------------------------

def libx11():
    """libX11 through ctypes, with the prototypes the probes use."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XGetImage.restype = ctypes.c_void_p
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                              ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x11.XGetPixel.restype = ctypes.c_ulong
    x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


def _libc_free():
    if not hasattr(_libc_free, "fn"):
        _libc_free.fn = ctypes.CDLL(None).free
    return _libc_free.fn


def grab_area(x11, dpy, root, left, top, width, height):
    """The pixels of a screen area as bytes (32 bits a pixel, rows `stride`
    bytes apart) and the stride; (None, 0) when XGetImage fails."""
    free = _libc_free()
    img = x11.XGetImage(dpy, root, left, top, width, height, 0xFFFFFFFF, 2)  # ZPixmap
    if not img:
        return None, 0
    # XImage: data at offset 16, bytes_per_line at 44; free the data and the struct.
    data = ctypes.c_void_p.from_address(img + 16).value
    stride = ctypes.c_int.from_address(img + 44).value
    pixels = ctypes.string_at(data, stride * height) if data else None
    if data:
        free(ctypes.c_void_p(data))
    free(ctypes.c_void_p(img))
    return pixels, stride


def probe(display, x, y, seconds):
    x11 = libx11()
    x11.XDestroyImage = None  # a macro; the image's own destroy function is in its struct
    libc_free = ctypes.CDLL(None).free
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise SystemExit("probe: cannot open display %s" % display)
    root = x11.XDefaultRootWindow(dpy)
    end = time.monotonic() + seconds
    bright = False
    print("probe ready", flush=True)
    while time.monotonic() < end:
        img = x11.XGetImage(dpy, root, x, y, 1, 1, 0xFFFFFFFF, 2)  # ZPixmap
        if img:
            pixel = x11.XGetPixel(img, 0, 0)
            # XImage: data pointer at offset 16; free the data and the struct.
            data = ctypes.c_void_p.from_address(img + 16).value
            if data:
                libc_free(ctypes.c_void_p(data))
            libc_free(ctypes.c_void_p(img))
            level = ((pixel >> 16) & 255) + ((pixel >> 8) & 255) + (pixel & 255)
            now = time.monotonic()
            if not bright and level > 3 * 180:
                bright = True
                print("rise %.6f" % now, flush=True)
            elif bright and level < 3 * 90:
                bright = False
        time.sleep(0.002)


# -- thumbnail refresh ---------------------------------------------------------

BACKGROUND = (17, 21, 26)  # the window's clear colour (0.066, 0.082, 0.102)
STRIP_WIDTH = 240          # the strip is at most this wide at 96 dpi


def thumbnail_refresh(display, left, top, height, seconds, interval=0.1):
    """Watches the thumbnails on screen in the strip (left, top, STRIP_WIDTH x
    height) for `seconds`, grabbing it every `interval` s with XGetImage.
    Thumbnails are the runs of rows, at 40 px into the strip, that are not
    the window's background. Returns (thumbnails, the longest time in ms any
    of them went without a changed picture, counting from the start and to
    the end of the watch)."""
    x11 = libx11()
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise SystemExit("thumbnails: cannot open display %s" % display)
    root = x11.XDefaultRootWindow(dpy)

    def grab():
        return grab_area(x11, dpy, root, left, top, STRIP_WIDTH, height)

    try:
        first, stride = grab()
        if not first:
            return 0, None
        tiles, start = [], None
        for y in range(height + 1):
            inside = False
            if y < height:
                b, g, r = first[y * stride + 40 * 4:y * stride + 40 * 4 + 3]
                inside = max(abs(r - BACKGROUND[0]), abs(g - BACKGROUND[1]), abs(b - BACKGROUND[2])) > 6
            if inside and start is None:
                start = y
            elif not inside and start is not None:
                if y - start >= 40:
                    tiles.append((start, y))
                start = None
        t0 = time.monotonic()
        last = [t0] * len(tiles)
        seen = [first[a * stride:b * stride] for a, b in tiles]
        worst = 0.0
        while time.monotonic() - t0 < seconds:
            time.sleep(interval)
            pixels, _ = grab()
            now = time.monotonic()
            if not pixels:
                continue
            for i, (a, b) in enumerate(tiles):
                rows = pixels[a * stride:b * stride]
                if rows != seen[i]:
                    worst = max(worst, now - last[i])
                    last[i], seen[i] = now, rows
        end = time.monotonic()
        worst = max([worst] + [end - t for t in last])
        return len(tiles), worst * 1000.0
    finally:
        x11.XCloseDisplay(dpy)


# -- running one viewer -------------------------------------------------------

class Lines:
    """Collects a child's stdout lines in a thread."""

    def __init__(self, proc):
        self.lines = []
        self.proc = proc
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").strip()))

    def wait_for(self, prefix, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for _, line in self.lines:
                if line.startswith(prefix):
                    return line
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("no %r line" % prefix)

    def times(self, prefix):
        return [float(line.split()[1]) for _, line in self.lines if line.startswith(prefix + " ")]


def start(args, env=None, stdout=subprocess.PIPE):
    return subprocess.Popen(args, env=env, stdout=stdout, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, 15)
        proc.wait(5)
    except (OSError, subprocess.TimeoutExpired):
        try:
            os.killpg(proc.pid, 9)
        except OSError:
            pass


def pair(flashes, rises, since, until):
    """Latencies of the flashes pushed in [since, until] that a rise followed."""
    latencies = []
    considered = [f for f in flashes if since <= f <= until]
    for f in considered:
        later = [r for r in rises if f < r < f + 1.0]
        nxt = [g for g in flashes if g > f]
        if later and (not nxt or later[0] < nxt[0]):
            latencies.append((later[0] - f) * 1000.0)
    return latencies, len(considered)


def measure(name, display, x, y, flash, seconds, warmup):
    """Probes (x, y) for `seconds` after `warmup` and pairs the rises with the
    flashes pushed meanwhile."""
    time.sleep(warmup)
    p = start([PYTHON, HERE, "--probe", display, str(x), str(y), str(seconds + 1.2)])
    lines = Lines(p)
    lines.wait_for("probe ready", 10)
    t0 = time.monotonic()
    p.wait(seconds + 30)
    time.sleep(0.2)
    latencies, flashes = pair(flash.times("flash"), lines.times("rise"), t0, t0 + seconds)
    if latencies:
        lat = sorted(latencies)
        p90 = lat[min(len(lat) - 1, int(round(0.9 * (len(lat) - 1))))]
        print("latency %s median_ms=%.0f p90_ms=%.0f shown=%d flashes=%d"
              % (name, statistics.median(lat), p90, len(lat), flashes), flush=True)
        print("RESULT glass_%s_median_ms %.1f" % (name, statistics.median(lat)))
        print("RESULT glass_%s_p90_ms %.1f" % (name, p90))
    else:
        print("latency %s median_ms=- p90_ms=- shown=0 flashes=%d" % (name, flashes), flush=True)
    print("RESULT glass_%s_shown %d" % (name, len(latencies)))
    print("RESULT glass_%s_flashes %d" % (name, flashes), flush=True)
    return latencies, flashes


def xvfb(width=1280, height=800):
    from winbed import _free_display
    for _ in range(5):
        n = _free_display()
        proc = start(["Xvfb", ":%d" % n, "-screen", "0", "%dx%dx24" % (width, height),
                      "-nolisten", "tcp"], stdout=subprocess.DEVNULL)
        end = time.monotonic() + 15
        while time.monotonic() < end and not os.path.exists("/tmp/.X11-unix/X%d" % n):
            time.sleep(0.05)
        if os.path.exists("/tmp/.X11-unix/X%d" % n):
            return proc, ":%d" % n
        stop(proc)
    raise RuntimeError("Xvfb did not start")


def reference_viewer(name, url, flash, seconds):
    args = {
        "gst": ["gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "latency=0", "protocols=tcp",
                "!", "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!", "ximagesink",
                "sync=false"],
        "mpv": ["mpv", "--profile=low-latency", "--untimed", "--rtsp-transport=tcp", "--no-audio",
                "--vo=x11", "--geometry=%dx%d+0+0" % (WIDTH, HEIGHT), "--no-border", url],
        "ffplay": ["ffplay", "-loglevel", "quiet", "-fflags", "nobuffer", "-flags", "low_delay",
                   "-framedrop", "-rtsp_transport", "tcp", "-an", "-left", "0", "-top", "0",
                   "-noborder", url],
    }[name]
    if not shutil.which(args[0]):
        print("latency %s skipped (%s is not installed)" % (name, args[0]), flush=True)
        return
    server, display = xvfb(WIDTH * 2, HEIGHT * 2)
    env = dict(os.environ, DISPLAY=display)
    env.pop("WAYLAND_DISPLAY", None)
    viewer = start(args, env=env, stdout=subprocess.DEVNULL)
    try:
        measure(name, display, WIDTH // 2, HEIGHT // 2, flash, seconds, warmup=4)
    finally:
        stop(viewer)
        stop(server)


def tavik_viewer(name, url, busy_urls, flash, seconds, build, shots=None, busy_window=(1000, 600),
                 settle=None):
    from winbed import Bed
    cams = [{"Name": "Flash", "Url": url}]
    cams += [{"Name": "Busy %d" % (i + 1), "Url": u} for i, u in enumerate(busy_urls)]
    width, height = busy_window if busy_urls else (WIDTH + 40, HEIGHT + 60)
    with Bed(width=max(1280, width), height=max(800, height), build=build) as bed:
        bed.write_config({"Cameras": cams, "SelectedCamera": "Flash", "Muted": True,
                          "WindowLeft": 0, "WindowTop": 0, "WindowWidth": width,
                          "WindowHeight": height})
        # Direct3D's presents are counted from Wine's dxgi trace.
        log_path = os.path.join(bed.tmp, "dxgi.log")
        log = open(log_path, "wb")
        bed.tavik = subprocess.Popen(["wine", os.path.join(bed.build, "Tavik.exe")],
                                     env=dict(bed.env, WINEDEBUG="trace+dxgi"),
                                     stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
        main = bed.wait_window(cls="Orbisfield.Tavik", timeout=90)
        # The client area ends at the window's bottom right (no frame under Xvfb,
        # the menu bar above it). The stage is its right part (all of it with
        # one camera).
        cw, ch = main.client
        right, bottom = main.rect[2], main.rect[3]
        left, top = right - cw, bottom - ch
        x = left + cw * 3 // 5 if busy_urls else left + cw // 2
        y = top + ch // 2
        try:
            # Connections, decoders, first pictures.
            time.sleep(settle if settle is not None else 10 if busy_urls else 6)
            log.flush()
            p0, t0 = count_presents(log_path), time.monotonic()
            measure(name, bed.display, x, y, flash, seconds, warmup=0)
            log.flush()
            rate = (count_presents(log_path) - p0) / (time.monotonic() - t0)
            print("presents %s per_second=%.1f" % (name, rate))
            print("RESULT glass_%s_presents_per_s %.1f" % (name, rate), flush=True)
            if busy_urls:
                count, gap = thumbnail_refresh(bed.display, left, top, ch, seconds=10)
                print("thumbnails %s on_screen=%d longest_without_new_picture_ms=%s"
                      % (name, count, "-" if gap is None else "%.0f" % gap))
                if gap is not None:
                    print("RESULT glass_%s_thumbnails %d" % (name, count))
                    print("RESULT glass_%s_thumbnail_gap_ms %.0f" % (name, gap), flush=True)
            if shots:
                os.makedirs(shots, exist_ok=True)
                bed.screenshot(os.path.join(shots, "%s.png" % name))
                print("screenshot %s probe at %d,%d" % (os.path.join(shots, "%s.png" % name), x, y))
        finally:
            bed.close_tavik()
            log.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--flashcam", type=int, metavar="PORT")
    ap.add_argument("--probe", nargs=4, metavar=("DISPLAY", "X", "Y", "SECONDS"))
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--busy", type=int, default=8)
    ap.add_argument("--settle", type=float, metavar="SECONDS",
                    help="wait after Tavik's window appears before measuring (default 6, "
                         "10 beside busy cameras)")
    ap.add_argument("--busy-window", default="1000x600", metavar="WxH",
                    help="Tavik's window beside the busy cameras (the screen grows to fit)")
    ap.add_argument("--shots", help="folder for a screenshot of each Tavik run")
    ap.add_argument("--only", default="gst,mpv,ffplay,tavik,tavik_busy")
    ap.add_argument("--build", default=os.environ.get("TAVIK_BUILD_WINDOWS",
                                                      os.path.join(ROOT, "build", "windows")))
    args = ap.parse_args()
    if args.flashcam is not None:
        flashcam(args.flashcam)
        return
    if args.probe:
        probe(args.probe[0], int(args.probe[1]), int(args.probe[2]), float(args.probe[3]))
        return

    only = args.only.split(",")
    tmp = tempfile.mkdtemp(prefix="glass-")
    cam = start([PYTHON, HERE, "--flashcam", "0"])
    flash = Lines(cam)
    busy = None
    try:
        port = int(flash.wait_for("flashcam ready", 30).split("port=")[1])
        url = "rtsp://127.0.0.1:%d/flash" % port
        busy_urls = []
        if "tavik_busy" in only and args.busy > 0:
            clip = os.path.join(tmp, "busy720.h264")
            subprocess.run([PYTHON, CAMSERVER, "--make-file", clip, "--size", "1280x720", "--fps",
                            "30", "--seconds", "4"], check=True, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            mounts = ["b%d=file,path=%s,fps=30,shared=0" % (i, clip) for i in range(args.busy)]
            busy = start([PYTHON, CAMSERVER, "--port", "0"] + mounts)
            busy_lines = Lines(busy)
            busy_port = int(busy_lines.wait_for("camserver ready", 60).split("port=")[1])
            busy_urls = ["rtsp://127.0.0.1:%d/b%d" % (busy_port, i) for i in range(args.busy)]
        for name in only:
            if name in ("gst", "mpv", "ffplay"):
                reference_viewer(name, url, flash, args.seconds)
            elif name == "tavik":
                tavik_viewer(name, url, [], flash, args.seconds, args.build, args.shots)
            elif name == "tavik_busy":
                tavik_viewer(name, url, busy_urls, flash, args.seconds, args.build, args.shots,
                             tuple(int(v) for v in args.busy_window.split("x")), args.settle)
    finally:
        stop(busy)
        stop(cam)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
