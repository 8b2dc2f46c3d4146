#!/usr/bin/python3
"""Soak runs (by hand, not part of CI): 16 cameras that replay a looping file
(tools/camserver.py, kind file) for a fixed time, the camera server restarted
a few times in the middle.

    soak.py [--minutes 10] [--restarts 2] [--warmup 120]             Tavik.exe under Wine
    soak.py --native [--minutes 10] [--restarts 2] [--warmup 120]    16 rtspdump under ASan

Windows mode: Tavik.exe in the GUI test bed (tests/bed/winbed.py: own Xvfb, own
prefix copy). Every few seconds it samples Tavik's process as Windows sees it
(`winprobe proc`: private bytes, handles, threads, GDI and USER objects) and as
Linux sees the Wine process (anonymous resident memory, threads, descriptors),
and the established RTSP connections. After each restart it takes screenshots
until every visible tile's region has changed (each tile shows its
"connecting" overlay until its first new picture), and waits for all 16
connections; the tiles below the window's bottom edge are judged by their
connections only. At the end: figures at warm-up and at the end, the growth
of private bytes, and per restart the seconds until the connections and the
tiles were back. Tavik is then closed with WM_CLOSE and its exit code printed.

Native mode: one build/linux-asan/rtspdump per camera with
ASAN_OPTIONS=detect_leaks=1, each running for the whole soak and ending by
itself (so the leak checker runs at its exit). Prints per restart the seconds
until every stream was connected and delivering access units again, and per
process the peak resident memory, its exit status and any sanitizer report.

Both modes measure restart times from the moment the restarted server prints
that it is ready (it is down for --down seconds before that). Exit code 0 when
every figure met its goal, 1 otherwise. Run with /usr/bin/python3. Everything
it starts is stopped by process id.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
PYTHON = "/usr/bin/python3"
CAMERAS = 16
SANITIZER = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|AddressSanitizer:DEADLYSIGNAL|"
                       r"SUMMARY: (Address|Leak|Undefined)")


def log(text):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


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


def make_clip(work, size, fps):
    clip = os.path.join(work, "loop.h264")
    subprocess.run([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--make-file", clip, "--size", size,
                    "--fps", str(fps), "--seconds", "4"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)
    return clip


def start_camserver(port, clip, fps, attempts=10):
    """The 16 file mounts c00..c15 on 127.0.0.1:port (0: a free port), replayed
    at fps pictures a second; returns (process, port)."""
    mounts = ["c%02d=file,path=%s,fps=%d" % (i, clip, fps) for i in range(CAMERAS)]
    for _ in range(attempts):
        proc = start([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--port", str(port)] + mounts,
                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = proc.stdout.readline().decode()
        if "camserver ready" in line:
            threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
            return proc, int(line.split("port=")[1])
        stop(proc)
        time.sleep(0.5)  # the old server's port may still be held for a moment
    raise RuntimeError("camserver did not start on port %d" % port)


def restart_times(t0, minutes, warmup, restarts):
    end = t0 + minutes * 60
    return [t0 + warmup + (end - t0 - warmup) * (i + 1) / (restarts + 1) for i in range(restarts)]


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


def proc_status(pid, keys=("RssAnon", "VmRSS", "VmHWM", "Threads")):
    values = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in keys:
                    values[key] = int(value.split()[0])
        values["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        pass
    return values


# -- native mode ---------------------------------------------------------------

class Dump:
    """One rtspdump under ASan; its output is read as it comes."""

    LINE = re.compile(r"^\[\s*([\d.]+)\] (connected|disconnected|video units=(\d+))")

    def __init__(self, rtspdump, url, seconds, work, name):
        self.name = name
        self.err_path = os.path.join(work, name + ".err")
        self.out_path = os.path.join(work, name + ".out")
        # A small quarantine keeps the resident figure close to what the client
        # really holds (the default 256 MiB quarantine fills with freed units).
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=16",
                   UBSAN_OPTIONS="print_stacktrace=1")
        with open(self.err_path, "wb") as err:
            self.proc = start([rtspdump, url, "--seconds", str(seconds)], stdout=subprocess.PIPE, stderr=err,
                              env=env)
        self.anchor = None  # wall time of rtspdump's second 0
        self.events = []  # (wall time, "connected" | "disconnected" | "units", units)
        self.peak_kib = 0
        self.rss_kib = []  # (wall time, VmRSS)
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        with open(self.out_path, "wb") as out:
            for raw in self.proc.stdout:
                now = time.time()
                out.write(raw)
                line = raw.decode("utf-8", "replace")
                m = re.match(r"^\[\s*([\d.]+)\]", line)
                if m and self.anchor is None:
                    self.anchor = now - float(m.group(1))
                m = self.LINE.match(line)
                if not m:
                    continue
                t = self.anchor + float(m.group(1))
                with self.lock:
                    if m.group(3) is not None:
                        self.events.append((t, "units", int(m.group(3))))
                    else:
                        self.events.append((t, m.group(2), 0))

    def sample(self):
        s = proc_status(self.proc.pid)
        if "VmHWM" in s:
            self.peak_kib = max(self.peak_kib, s["VmHWM"])
            self.rss_kib.append((time.time(), s["VmRSS"]))

    def back_after(self, since):
        """(seconds from since to the first connect, to the first stats line showing
        new access units after that connect), None where not seen."""
        with self.lock:
            events = list(self.events)
        connected = None
        units_at_connect = None
        last_units = 0
        for t, kind, units in events:
            if kind == "units":
                if connected is not None and units_at_connect is None:
                    units_at_connect = last_units
                if connected is not None and units > units_at_connect:
                    return connected - since, t - since
                last_units = units
            elif kind == "connected" and t >= since and connected is None:
                connected = t
        return (connected - since if connected is not None else None), None


def run_native(args):
    rtspdump = args.rtspdump
    if not os.access(rtspdump, os.X_OK):
        log("no %s: build the linux-asan preset first" % rtspdump)
        return 1
    work = tempfile.mkdtemp(prefix="soak-native-")
    clip = make_clip(work, args.size, args.fps)
    cam, port = start_camserver(0, clip, args.fps)
    seconds = int(args.minutes * 60)
    log("native soak: %d rtspdump for %d s, port %d, load %s" % (CAMERAS, seconds, port, load_average()))
    dumps = [Dump(rtspdump, "rtsp://127.0.0.1:%d/c%02d" % (port, i), seconds, work, "c%02d" % i)
             for i in range(CAMERAS)]
    t0 = time.time()
    pending = restart_times(t0, args.minutes, args.warmup, args.restarts)
    restarts = []  # (down at, ready at, load)
    loads = []
    try:
        next_print = t0
        while any(d.proc.poll() is None for d in dumps) and time.time() < t0 + seconds + 120:
            for d in dumps:
                d.sample()
            if pending and time.time() >= pending[0]:
                pending.pop(0)
                down = time.time()
                stop(cam)
                time.sleep(args.down)
                cam, _ = start_camserver(port, clip, args.fps)
                ready = time.time()
                restarts.append((down, ready, load_average()))
                log("camera server restarted (down %.1f s), load %s" % (ready - down, load_average()))
            if time.time() >= next_print:
                next_print += 30
                loads.append((time.time() - t0, load_average()))
                log("t=%4.0f s connections=%2d rss MiB %s load %s" % (
                    time.time() - t0, established(port),
                    " ".join("%.0f" % (d.rss_kib[-1][1] / 1024.0) if d.rss_kib else "-" for d in dumps),
                    load_average()))
            time.sleep(1)
    finally:
        for d in dumps:
            stop(d.proc, grace=60)
        stop(cam)
    for d in dumps:
        d.reader.join(10)

    ok = True
    print("\nper restart: seconds from the server's ready line until every stream is back")
    for i, (down, ready, load) in enumerate(restarts):
        backs = [d.back_after(ready) for d in dumps]
        connect = [b[0] for b in backs]
        units = [b[1] for b in backs]
        missing = [d.name for d, b in zip(dumps, backs) if b[1] is None]
        if missing:
            ok = False
        print("restart %d (server down %.1f s, load %s): all connected after %s s (min %s), "
              "all delivering access units after %s s (stats lines, 1 s resolution)%s" % (
                  i + 1, ready - down, load,
                  "%.2f" % max(connect) if None not in connect else "never",
                  "%.2f" % min(c for c in connect if c is not None) if any(c is not None for c in connect) else "-",
                  "%.2f" % max(units) if None not in units else "never",
                  "; not back: " + " ".join(missing) if missing else ""))
    print("\n%-5s %6s %9s %9s %9s %8s %8s %s" % ("cam", "exit", "peakMiB", "rss@2min", "rss@end", "connects",
                                              "units", "sanitizer"))
    for d in dumps:
        with open(d.err_path, encoding="utf-8", errors="replace") as f:
            err = f.read()
        with open(d.out_path, encoding="utf-8", errors="replace") as f:
            out = f.read()
        summary = {}
        for line in out.splitlines():
            if line.startswith("summary "):
                summary = dict(field.split("=", 1) for field in line.split()[1:])
        report = SANITIZER.search(err)
        at2 = [r for t, r in d.rss_kib if t >= t0 + args.warmup]
        if report or d.proc.returncode != 0 or not summary:
            ok = False
        print("%-5s %6s %9.1f %9s %9s %8s %8s %s" % (
            d.name, d.proc.returncode, d.peak_kib / 1024.0, "%.1f" % (at2[0] / 1024.0) if at2 else "-",
            "%.1f" % (d.rss_kib[-1][1] / 1024.0) if d.rss_kib else "-", summary.get("connects", "?"),
            summary.get("units", "?"), "REPORT" if report else "none"))
        if report:
            print(err[-4000:])
    print("load averages (1/5/15 min) during the run: %s" % "; ".join("t=%.0f %s" % l for l in loads[::4]))
    print("outputs in", work)
    return 0 if ok else 1


# -- Windows mode ---------------------------------------------------------------

class Shot:
    """A screenshot (PPM from ImageMagick's import) as rows of bytes."""

    def __init__(self, data, taken):
        self.taken = taken
        self.data = data
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        self.width, self.height = int(fields[1]), int(fields[2])
        self.bpp = 6 if int(fields[3]) > 255 else 3
        self.pixels = data[pos + 1:]

    def region(self, rect):
        left, top, right, bottom = rect
        row = self.width * self.bpp
        return b"".join(self.pixels[y * row + left * self.bpp:y * row + right * self.bpp]
                        for y in range(top, bottom))


def screenshot(bed):
    """A Shot of the whole display; taken = the time the capture finished."""
    r = subprocess.run(["import", "-display", bed.display, "-window", "root", "ppm:-"], env=bed.env,
                       timeout=60, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if r.returncode != 0 or not r.stdout:
        return None
    return Shot(r.stdout, time.time())


def scaled(value, dpi=96):
    return (value * dpi + 48) // 96


def tile_rects(client_w, client_h, count, selected, dpi=96):
    """Client rectangles (l, t, r, b) of the tiles by slot position, as the
    program lays out stage and strip; None for a tile outside the client area."""
    if count == 1:
        return [(0, 0, client_w, client_h)]
    strip = min(client_w // 3, scaled(240, dpi))
    gap = scaled(4, dpi)
    thumb_w = strip - 2 * gap
    thumb_h = (thumb_w * 9 + 8) // 16
    rects = []
    y = gap
    for p in range(count):
        if p == selected:
            rects.append((strip, 0, client_w, client_h))
            continue
        rects.append((gap, y, gap + thumb_w, min(y + thumb_h, client_h)) if y + 40 <= client_h else None)
        y += thumb_h + gap
    return rects


def client_origin(win):
    """Screen position of the client area (no window manager: the frame, if
    any, is as wide on the left, right and bottom)."""
    l, t, r, b = win.rect
    border = ((r - l) - win.client[0]) // 2
    return l + border, b - border - win.client[1]


def screen_rects(win, count, selected, inset=6):
    """Screen rectangles of the visible tiles, shrunk by inset (the label and
    the borders stay out), by slot position (None: not visible)."""
    ox, oy = client_origin(win)
    out = []
    for r in tile_rects(win.client[0], win.client[1], count, selected):
        out.append(None if r is None else (ox + r[0] + inset, oy + r[1] + inset, ox + r[2] - inset,
                                           oy + r[3] - inset))
    return out


def winprobe_proc(bed, windows_pid):
    """Tavik's figures as Windows reports them, or {} when the call failed.
    "private" is PrivateUsage, or the commit charge (PagefileUsage, the same
    figure on Windows) where the system leaves PrivateUsage at 0 (Wine 8)."""
    code, out = bed.winprobe(["proc", str(windows_pid)], timeout=60)
    for line in out.splitlines():
        f = line.split("\t")
        if f[0] == "proc" and len(f) >= 10:
            keys = ("private_usage", "commit", "working_set", "peak_working_set", "handles", "threads", "gdi",
                    "user")
            values = dict(zip(keys, (int(v) for v in f[2:10])))
            values["private"] = values["private_usage"] if values["private_usage"] > 0 else values["commit"]
            return values
    return {}


def tavik_pid(session):
    """The Linux process of the session whose argv[0] is Tavik.exe (the Wine process)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmd = f.read()
            if cmd.split(b"\0")[0].endswith(b"Tavik.exe") and os.getsid(int(name)) == session:
                return int(name)
        except (OSError, ProcessLookupError):
            continue
    return None


def soak_config(port, count=CAMERAS, height=760):
    cameras = [{"Name": "Cam %02d" % (i + 1), "Url": "rtsp://127.0.0.1:%d/c%02d" % (port, i), "Zoom": 1,
                "PanX": 0.5, "PanY": 0.5} for i in range(count)]
    return {"Cameras": cameras, "SelectedCamera": "Cam 01", "ConsoleHost": "", "ConsoleUser": "",
            "ConsolePassEnc": "", "Muted": True, "AlwaysOnTop": False, "WindowMaximized": False,
            "WindowLeft": 0, "WindowTop": 0, "WindowWidth": 1280, "WindowHeight": height}


# The camera server stays down longer than the 4 s after which a tile whose
# last picture is older shows its "connecting" overlay: every tile then shows
# that overlay until its first new picture, so the first change of its region
# after the server is back is that picture (with a shorter outage the overlay
# could vanish at the reconnect and come back, a change without pictures).
DOWN_SECONDS = 5.0


def watch_tiles(bed, rects, since, limit, port):
    """Screenshots until every rect (non-None) has changed after `since` and
    all 16 connections are up, or `limit` seconds. Returns ({position:
    (seconds of the last shot before the change, of the shot showing it)},
    seconds until all connections, shots)."""
    back = {}
    connections_back = None
    previous = None
    shots = 0
    while time.time() < since + limit:
        if connections_back is None and established(port) >= CAMERAS:
            connections_back = time.time() - since
        shot = screenshot(bed)
        if shot is None:
            continue
        shots += 1
        if previous is not None:
            for p, r in enumerate(rects):
                if r is not None and p not in back and shot.region(r) != previous.region(r):
                    back[p] = (max(0.0, previous.taken - since), shot.taken - since)
        previous = shot
        if len(back) == sum(r is not None for r in rects) and connections_back is not None:
            break
    return back, connections_back, shots


def live_tiles(bed, rects, pairs=6):
    """{position: in how many of `pairs` consecutive screenshot pairs its region changed}."""
    changes = {p: 0 for p, r in enumerate(rects) if r is not None}
    previous = screenshot(bed)
    for _ in range(pairs):
        shot = screenshot(bed)
        if shot is not None and previous is not None:
            for p in changes:
                changes[p] += shot.region(rects[p]) != previous.region(rects[p])
        previous = shot or previous
    return changes


def run_windows(args):
    from winbed import Bed
    work = tempfile.mkdtemp(prefix="soak-win-")
    clip = make_clip(work, args.size, args.fps)
    cam, port = start_camserver(0, clip, args.fps)
    bed = Bed(width=args.screen[0], height=args.screen[1])
    samples = []
    restarts = []
    exit_code = None
    ok = True
    try:
        bed.start()
        bed.write_config(soak_config(port, height=args.screen[1] - 40))
        bed.start_tavik()
        win = bed.wait_window(cls="Orbisfield.Tavik", timeout=240)
        pid = None
        deadline = time.time() + 60
        while pid is None and time.time() < deadline:
            pid = tavik_pid(bed.tavik.pid)
            time.sleep(0.5)
        t0 = time.time()
        log("Tavik.exe up: windows pid %s, linux pid %s, client %dx%d, port %d, load %s" % (
            win.pid, pid, win.client[0], win.client[1], port, load_average()))
        rects = screen_rects(win, CAMERAS, 0)
        end = t0 + args.minutes * 60
        pending = restart_times(t0, args.minutes, args.warmup, args.restarts)
        next_motion = t0 + args.warmup / 2
        shot_saved = False
        motion = []  # (t, {position: changed pairs of 6})
        while time.time() < end:
            if not bed.tavik_running():
                raise RuntimeError("Tavik ended early (exit %s)" % bed.tavik.returncode)
            if time.time() >= next_motion:
                # How lively the visible tiles are: a starved machine shows
                # here as tiles whose pictures stand still.
                next_motion += 60
                changes = live_tiles(bed, rects)
                motion.append((time.time() - t0, changes))
                log("screenshot pairs (of 6) in which each visible tile changed: %s; below the window: %s" % (
                    " ".join("%d:%d" % kv for kv in sorted(changes.items())),
                    [p for p, r in enumerate(rects) if r is None]))
                if args.shot and not shot_saved:
                    shot_saved = True
                    subprocess.run(["import", "-display", bed.display, "-window", "root", args.shot], env=bed.env,
                                   timeout=60)
            if pending and time.time() >= pending[0]:
                pending.pop(0)
                down = time.time()
                stop(cam)
                time.sleep(args.down)
                cam, _ = start_camserver(port, clip, args.fps)
                ready = time.time()
                watch = rects
                back, conns, shots = watch_tiles(bed, watch, ready, 60, port)
                restarts.append({"down": ready - down, "tiles": back, "connections": conns, "shots": shots,
                                 "watched": [p for p, r in enumerate(watch) if r is not None],
                                 "load": load_average()})
                log("restart: connections back after %s s, tiles %s (%d screenshots), load %s" % (
                    "%.1f" % conns if conns is not None else "never",
                    " ".join("%d:%.1f-%.1f" % (p, s[0], s[1]) for p, s in sorted(back.items())), shots, load_average()))
            s = {"t": time.time() - t0, "load": load_average(), "connections": established(port)}
            s.update(proc_status(pid))
            s.update(winprobe_proc(bed, win.pid))
            samples.append(s)
            log("t=%4.0f s private=%s KiB handles=%s threads=%s gdi=%s user=%s | linux rss_anon=%s KiB "
                "rss=%s KiB threads=%s fds=%s | connections=%d load %s" % (
                    s["t"], s.get("private", -1024) // 1024, s.get("handles"), s.get("threads"), s.get("gdi"),
                    s.get("user"), s.get("RssAnon"), s.get("VmRSS"), s.get("Threads"), s.get("fds"),
                    s["connections"], s["load"]))
            time.sleep(max(0.0, min(args.interval, end - time.time())))
        exit_code = bed.close_tavik(timeout=60)
        log("WM_CLOSE: Tavik exit code %s" % exit_code)
    finally:
        bed.stop()
        stop(cam)
        shutil.rmtree(work, ignore_errors=True)

    warm = [s for s in samples if s["t"] >= args.warmup]
    if not warm:
        print("no samples after warm-up")
        return 1
    first, last = warm[0], warm[-1]
    print("\n%-22s %12s %12s %8s" % ("", "t=%.0f s" % first["t"], "t=%.0f s" % last["t"], "growth"))
    for key, unit in (("private", "KiB"), ("private_usage", "KiB"), ("commit", "KiB"), ("working_set", "KiB"), ("RssAnon", "KiB"), ("VmRSS", "KiB"),
                      ("handles", ""), ("threads", ""), ("Threads", ""), ("fds", ""), ("gdi", ""),
                      ("user", "")):
        # private*, commit, working_set, handles, threads, gdi, user: as Windows
        # reports them; RssAnon, VmRSS, Threads, fds: the Wine process on Linux.
        a, b = first.get(key), last.get(key)
        if a is None or b is None:
            print("%-22s not available" % key)
            continue
        div = 1024 if key in ("private", "private_usage", "commit", "working_set") else 1
        growth = "%+.1f %%" % ((b - a) * 100.0 / a) if a > 0 else "-"
        print("%-22s %12d %12d %8s" % (key + (" " + unit if unit else ""), a // div, b // div, growth))
    for key, what in (("private_usage", "PrivateUsage"), ("handles", "the handle count"),
                      ("gdi", "GDI objects"), ("user", "USER objects")):
        if all(s.get(key, 0) <= 0 for s in samples):
            print("note: the system reported %s as 0 or failed throughout (not implemented here)%s" % (
                what, "; the commit charge stands in" if key == "private_usage" else
                "; the Wine process's descriptors (fds) stand in" if key == "handles" else ""))
    print("over time (t s: private MiB / handles / threads / linux threads / fds / connections):")
    step = max(1, len(samples) // 20)
    print("  " + "; ".join("%.0f: %.1f/%s/%s/%s/%s/%d" % (
        s["t"], s.get("private", 0) / 1048576.0, s.get("handles"), s.get("threads"), s.get("Threads"),
        s.get("fds"), s["connections"]) for s in samples[::step] + [samples[-1]]))
    print("visible tiles' motion over time (t s: tiles that changed in any of 6 screenshot pairs / visible; "
          "changed pairs in all): %s" % "; ".join("%.0f: %d/%d, %d" % (
              t, sum(1 for n in c.values() if n), len(c), sum(c.values())) for t, c in motion))
    growth = (last.get("private", 0) - first.get("private", 0)) * 100.0 / max(1, first.get("private", 1))
    if growth >= 10:
        ok = False
    for i, r in enumerate(restarts):
        tiles = [r["tiles"].get(p) for p in r["watched"]]
        worst = None if None in tiles or not tiles else max(t[1] for t in tiles)
        lower = None if worst is None else max(t[0] for t in tiles)
        print("restart %d (down %.1f s, load %s): all 16 connections back after %s s; %d tiles watched by "
              "screenshot %s, the last changed between %s s (shot before) and %s s (shot showing it)%s" % (
                  i + 1, r["down"], r["load"], "%.1f" % r["connections"] if r["connections"] is not None else "never",
                  len(r["watched"]), r["watched"], "%.1f" % lower if lower is not None else "-",
                  "%.1f" % worst if worst is not None else "never",
                  "" if worst is not None else " (not back: %s)" % [p for p in r["watched"] if p not in r["tiles"]]))
        if worst is None or worst > 4 or r["connections"] is None or r["connections"] > 4:
            ok = False
    print("Tavik exit code after WM_CLOSE: %s" % exit_code)
    return 0 if ok and exit_code == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", action="store_true", help="16 rtspdump under ASan instead of Tavik.exe")
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--restarts", type=int, default=2)
    parser.add_argument("--warmup", type=float, default=120)
    parser.add_argument("--down", type=float, default=DOWN_SECONDS, help="seconds the camera server stays down")
    parser.add_argument("--interval", type=float, default=10.0, help="seconds between samples (Windows)")
    parser.add_argument("--size", default="640x360", help="picture size of the looping clip")
    parser.add_argument("--fps", type=int, default=15, help="pictures a second of the clip (one keyframe a second)")
    parser.add_argument("--screen", default="1280x800", help="Xvfb screen size (Windows)")
    parser.add_argument("--shot", help="save a screenshot taken after the warm-up check here (Windows)")
    parser.add_argument("--rtspdump", default=os.path.join(ROOT, "build", "linux-asan", "rtspdump"))
    args = parser.parse_args()
    args.screen = tuple(int(v) for v in args.screen.split("x"))
    return run_native(args) if args.native else run_windows(args)


if __name__ == "__main__":
    sys.exit(main())
