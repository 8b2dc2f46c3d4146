"""The Wine GUI test bed: runs Tavik.exe (or any Windows program of the build)
in a private Xvfb display and a private copy of the Wine prefix, and lets a
test look at and drive its windows.

    from winbed import Bed            # tools/ on sys.path (tests/testlib.py's ROOT)
    with Bed() as bed:                # Xvfb + a fresh prefix copy
        bed.write_config({"Cameras": [...]})
        bed.start_tavik()
        main = bed.wait_window(cls="Orbisfield.Tavik")
        bed.command(main, 1)          # WM_COMMAND as from a menu
        dlg = bed.wait_window(title="Tavik - Settings")
        ...
        bed.close_tavik()             # WM_CLOSE, then kill by pid
        cfg = bed.read_config()

Everything the bed starts (Xvfb, wineserver, programs, camservers) it stops
by process id. All waits have time-outs. Run with /usr/bin/python3.

Windows are described by Win records built from `winprobe list` (a small
Windows program of the build, tests/bed/winprobe_win.cpp, run in the same prefix):
hwnd (hex text), pid (Windows pid), cls, title, style, exstyle, visible,
rect (screen, l,t,r,b), client (w, h), owner (hex text) and children, a list of
Child records: hwnd, id, cls, style, visible, enabled, rect, text.
"""
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from testlib import stop as _kill  # noqa: E402  (stops a process group by pid)
from testlib import wait_until  # noqa: E402
BUILD_WINDOWS = os.environ.get("TAVIK_BUILD_WINDOWS", os.path.join(ROOT, "build", "windows"))
BASE_PREFIX = os.environ.get("TAVIK_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
PYTHON = "/usr/bin/python3"


def _unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def _rect(text):
    return tuple(int(v) for v in text.split(","))


class Child:
    def __init__(self, fields):
        self.hwnd = fields[1]
        self.id = int(fields[2])
        self.cls = _unescape(fields[3])
        self.style = int(fields[4], 16)
        self.visible = fields[5] == "1"
        self.enabled = fields[6] == "1"
        self.rect = _rect(fields[7])
        self.text = _unescape(fields[8]) if len(fields) > 8 else ""

    def __repr__(self):
        return "Child(%d %s %r)" % (self.id, self.cls, self.text)


class Win:
    def __init__(self, fields):
        self.hwnd = fields[1]
        self.pid = int(fields[2])
        self.cls = _unescape(fields[3])
        self.style = int(fields[4], 16)
        self.exstyle = int(fields[5], 16)
        self.visible = fields[6] == "1"
        self.rect = _rect(fields[7])
        w, h = fields[8].split("x")
        self.client = (int(w), int(h))
        self.owner = fields[9]
        self.title = _unescape(fields[10]) if len(fields) > 10 else ""
        self.children = []

    def child(self, control_id):
        for c in self.children:
            if c.id == control_id:
                return c
        return None

    def to_screen(self, point):
        """A client point -> screen point: the window rectangle less an even
        frame, and the menu bar above the client area."""
        left, top, right, bottom = self.rect
        cw, ch = self.client
        border = max(0, ((right - left) - cw) // 2)
        return left + border + point[0], bottom - border - ch + point[1]

    def __repr__(self):
        return "Win(%s %s %r %s)" % (self.hwnd, self.cls, self.title, self.rect)


def _free_display():
    for n in range(140, 400):
        if not os.path.exists("/tmp/.X%d-lock" % n) and not os.path.exists("/tmp/.X11-unix/X%d" % n):
            return n
    raise RuntimeError("no free X display number")


class Bed:
    """One test run's display and Wine prefix. Use as a context manager."""

    def __init__(self, width=1280, height=800, base_prefix=None, build=None, keep=False,
                 dpi=None):
        self.width = width
        self.height = height
        self.base_prefix = base_prefix or BASE_PREFIX
        self.build = build or BUILD_WINDOWS
        self.keep = keep
        self.dpi = dpi  # LogPixels of the prefix copy (None: the prefix's own, 96)
        self.tmp = None
        self.prefix = None
        self.display = None
        self.xvfb = None
        self.tavik = None
        self._procs = []
        self.env = None

    # -- set-up and tear-down ------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        if not os.path.exists(os.path.join(self.base_prefix, ".tavik-ready")):
            subprocess.run(["bash", os.path.join(ROOT, "tools", "wineprefix.sh"), self.base_prefix],
                           check=True, timeout=600)
        self.tmp = tempfile.mkdtemp(prefix="winbed-")
        self.prefix = os.path.join(self.tmp, "prefix")
        subprocess.run(["cp", "-a", self.base_prefix, self.prefix], check=True, timeout=300)
        # A display of our own; -nolisten tcp keeps it local.
        for _ in range(5):
            n = _free_display()
            self.xvfb = subprocess.Popen(
                ["Xvfb", ":%d" % n, "-screen", "0", "%dx%dx24" % (self.width, self.height),
                 "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                wait_until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n) or self.xvfb.poll() is not None,
                      15, what="Xvfb")
            except AssertionError:
                pass
            if self.xvfb.poll() is None and os.path.exists("/tmp/.X11-unix/X%d" % n):
                self.display = ":%d" % n
                break
            _kill(self.xvfb)
            self.xvfb = None
        if not self.display:
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ)
        self.env.update({"WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "DISPLAY": self.display,
                         "WINEDLLOVERRIDES": "mscoree,mshtml="})
        self.env.pop("WAYLAND_DISPLAY", None)
        # The wineserver of this prefix starts now, with the display set.
        self.wine(["cmd", "/c", "exit"], timeout=120)
        if self.dpi:
            # The system DPI that programs started from now on see (GetDpiForWindow).
            self.wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                       "REG_DWORD", "/d", str(int(self.dpi)), "/f"], timeout=120, check=True)

    def stop(self):
        if self.tavik is not None:
            self.kill_tavik()
        for p in reversed(self._procs):
            _kill(p)
        self._procs = []
        if self.env is not None:
            try:
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                subprocess.run(["wineserver", "-w"], env=self.env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
        if self.xvfb is not None:
            _kill(self.xvfb)
            self.xvfb = None
        if self.tmp and not self.keep:
            shutil.rmtree(self.tmp, ignore_errors=True)

    # -- running programs ----------------------------------------------------

    def wine(self, args, timeout=60, check=False):
        """Runs a Windows program to its end; returns (exit code, stdout text)."""
        r = subprocess.run(["timeout", str(int(timeout)), "wine"] + list(args), env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout + 10)
        if check and r.returncode != 0:
            raise AssertionError("%s exited with %d" % (args, r.returncode))
        return r.returncode, r.stdout.decode("utf-8", "replace")

    def spawn(self, args, **kw):
        """Starts a Linux process in its own group; stopped by stop() at the latest."""
        p = subprocess.Popen(args, start_new_session=True, **kw)
        self._procs.append(p)
        return p

    def start_tavik(self, exe=None):
        exe = exe or os.path.join(self.build, "Tavik.exe")
        # Its error output (Wine's report of a crash, for one) is kept for tavik_report.
        with open(os.path.join(self.tmp, "tavik.err"), "ab") as err:
            self.tavik = subprocess.Popen(["wine", exe], env=self.env, stdout=subprocess.DEVNULL,
                                          stderr=err, start_new_session=True)
        return self.tavik

    def tavik_report(self):
        """What a failed wait should say about Tavik.exe: whether it still runs,
        its top-level windows, and the end of its error output."""
        lines = ["Tavik.exe %s" % ("running" if self.tavik_running() else
                                   "ended with %r" % (self.tavik.poll() if self.tavik else None))]
        lines += ["  window %r %s" % (w, "visible" if w.visible else "hidden") for w in self.windows()]
        try:
            with open(os.path.join(self.tmp, "tavik.err"), "rb") as f:
                lines.append("error output (end): " + f.read()[-3000:].decode("utf-8", "replace"))
        except OSError:
            pass
        return "\n".join(lines)

    def tavik_running(self):
        return self.tavik is not None and self.tavik.poll() is None

    def close_tavik(self, timeout=60):
        """Posts WM_CLOSE to the main window and waits for the process to end.
        Returns its exit code; kills it (and returns None) when it does not end."""
        if self.tavik is None:
            return None
        main = self.find_window(cls="Orbisfield.Tavik")
        if main is not None:
            self.winprobe(["close", main.hwnd])
        try:
            code = self.tavik.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill_tavik()
            return None
        self.tavik = None
        return code

    def kill_tavik(self):
        """Ends Tavik.exe at once, as a crash or a power cut would."""
        if self.tavik is None:
            return
        if self.tavik.poll() is None:
            try:
                os.killpg(self.tavik.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                self.tavik.wait(30)
            except subprocess.TimeoutExpired:
                pass
        # The Windows process itself runs under wineserver; end what is left.
        for w in self.windows():
            if w.cls == "Orbisfield.Tavik":
                self.wine(["taskkill", "/f", "/pid", str(w.pid)], timeout=30)
        self.tavik = None

    # -- looking at windows --------------------------------------------------

    def winprobe(self, args, timeout=30):
        exe = os.path.join(self.build, "winprobe_win.exe")
        return self.wine([exe] + list(args), timeout=timeout)

    def windows(self):
        code, out = self.winprobe(["list"])
        result = []
        for line in out.splitlines():
            fields = line.split("\t")
            if fields[0] == "window" and len(fields) >= 10:
                result.append(Win(fields))
            elif fields[0] == "child" and len(fields) >= 8 and result:
                result[-1].children.append(Child(fields))
        return result

    def find_window(self, cls=None, title=None, visible=True):
        for w in self.windows():
            if cls is not None and w.cls != cls:
                continue
            if title is not None and w.title != title:
                continue
            if visible and not w.visible:
                continue
            return w
        return None

    def wait_window(self, cls=None, title=None, timeout=120, visible=True):
        return wait_until(lambda: self.find_window(cls, title, visible), timeout, interval=0.3,
                     what="window cls=%r title=%r" % (cls, title))

    def wait_gone(self, cls=None, title=None, timeout=90):
        return wait_until(lambda: self.find_window(cls, title) is None, timeout, interval=0.3,
                     what="window cls=%r title=%r to close" % (cls, title))

    def capture_window(self, win):
        """Handle (hex text, "0" for none) of the window holding the mouse
        capture in win's thread, or None when that cannot be read."""
        code, out = self.winprobe(["capture", win.hwnd])
        return out.strip() if code == 0 and out.strip() else None

    def list_items(self, win, control_id):
        code, out = self.winprobe(["lbitems", win.hwnd, str(control_id)])
        return [_unescape(l) for l in out.splitlines()]

    # -- driving windows -----------------------------------------------------

    def command(self, win, command_id, count=1):
        """WM_COMMAND with the id, as a menu choice sends it (posted count times)."""
        return self.winprobe(["command", win.hwnd, str(command_id), str(count)])[0] == 0

    def click(self, win, control_id):
        """BN_CLICKED of a dialog control, posted to the dialog."""
        return self.winprobe(["click", win.hwnd, str(control_id)])[0] == 0

    def set_text(self, win, control_id, text):
        return self.winprobe(["settext", win.hwnd, str(control_id), text])[0] == 0

    def move(self, win, x, y, w, h):
        """SetWindowPos: screen position and size."""
        return self.winprobe(["move", win.hwnd, str(x), str(y), str(w), str(h)])[0] == 0

    def show(self, win, command):
        """ShowWindow(win, command): 6 minimizes, 9 restores."""
        return self.winprobe(["show", win.hwnd, str(command)])[0] == 0

    def select_line(self, win, control_id, index):
        return self.winprobe(["lbselect", win.hwnd, str(control_id), str(index)])[0] == 0

    def xdotool(self, *args):
        env = dict(self.env)
        r = subprocess.run(["xdotool"] + [str(a) for a in args], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=30)
        return r.returncode, r.stdout.decode("utf-8", "replace")

    def move_pointer(self, x, y):
        """Moves the pointer to screen position (x, y) and waits for the motion.
        "mousemove --sync" waits for a motion event, which never comes when the
        pointer is already there: it steps aside first. Callers that move the
        pointer with xdotool themselves set self.pointer to where it ended."""
        if getattr(self, "pointer", None) == (x, y):
            self.xdotool("mousemove", "--sync", x + 3, y + 3)
        self.xdotool("mousemove", "--sync", x, y)
        self.pointer = (x, y)

    def mouse_click(self, x, y, button=1, double=False):
        """Clicks at screen position (x, y)."""
        self.xdotool("mousemove", "--sync", x, y)
        if double:
            self.xdotool("click", "--repeat", 2, "--delay", 80, button)
        else:
            self.xdotool("click", button)

    def key(self, *keys):
        self.xdotool("key", *keys)

    def screenshot(self, path):
        r = subprocess.run(["import", "-display", self.display, "-window", "root", path],
                           env=self.env, timeout=60, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        return r.returncode == 0 and os.path.exists(path)

    def grab(self):
        """The whole screen now, as a Screenshot (kept in the bed's folder)."""
        self._grabs = getattr(self, "_grabs", 0) + 1
        path = os.path.join(self.tmp, "grab%d.ppm" % self._grabs)
        if not self.screenshot(path):
            raise AssertionError("screenshot failed")
        return Screenshot(path)

    # -- the configuration file ----------------------------------------------

    @property
    def appdata(self):
        return os.path.join(self.prefix, "drive_c", "users", os.environ.get("USER", "root") or "root",
                            "AppData", "Roaming")

    @property
    def config_path(self):
        return os.path.join(self.appdata, "Tavik", "config.json")

    def write_config(self, config):
        """Writes config.json: a dict (as JSON; missing window position keys are
        left out, so the program's defaults apply) or a text as it is."""
        os.makedirs(os.path.dirname(self.config_path), exist_ok=True)
        text = config if isinstance(config, str) else json.dumps(config, indent=2)
        with open(self.config_path, "wb") as f:
            f.write(text.encode("utf-8"))

    def config_text(self):
        try:
            with open(self.config_path, "rb") as f:
                return f.read().decode("utf-8")
        except FileNotFoundError:
            return None

    def read_config(self):
        """The parsed config.json (bare nan becomes float nan), or None."""
        text = self.config_text()
        if text is None:
            return None
        return parse_config(text)

    def first_run_opens_settings(self, exe, inspect=None):
        """Starts exe from an emptied settings folder: the main window and
        "Tavik - Settings" with no cameras open (inspect(dialog) may look
        further), Cancel, then a clean exit that writes a config.json without
        cameras. Returns that config.json's text."""
        settings = os.path.dirname(self.config_path)
        shutil.rmtree(settings, ignore_errors=True)
        os.makedirs(settings)
        self.start_tavik(exe)
        try:
            self.wait_window(cls="Orbisfield.Tavik", title="Tavik", timeout=120)
            dlg = self.wait_window(title="Tavik - Settings", timeout=120)
            if inspect:
                inspect(dlg)
            assert self.list_items(dlg, 1002) == []
            self.click(dlg, 2)  # Cancel
            self.wait_gone(title="Tavik - Settings")
            code = self.close_tavik(timeout=90)
            assert code == 0, "exit code %r" % (code,)
            cfg = wait_until(self.read_config, 20, what="config.json written on close")
            assert cfg["Cameras"] == [], cfg
            return self.config_text()
        finally:
            self.kill_tavik()

    def remove_config(self):
        try:
            os.remove(self.config_path)
        except FileNotFoundError:
            pass

    # -- test cameras --------------------------------------------------------

    def start_camserver(self, mounts, port=0, timeout=60):
        """Starts tools/camserver.py on 127.0.0.1 with the mounts
        ("NAME=KIND[,key=value...]"); returns (process, port)."""
        p = self.spawn([PYTHON, os.path.join(ROOT, "tools", "camserver.py"), "--port", str(port)]
                       + list(mounts), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = _read_line(p.stdout, timeout)
        m = re.search(r"camserver ready port=(\d+)", line or "")
        if not m:
            _kill(p)
            raise AssertionError("camserver did not start: %r" % line)
        return p, int(m.group(1))


def _read_line(stream, timeout):
    import select
    deadline = time.monotonic() + timeout
    buf = b""
    fd = stream.fileno()
    while time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.5)
        if r:
            chunk = os.read(fd, 1)
            if not chunk:
                break
            buf += chunk
            if chunk == b"\n":
                return buf.decode("utf-8", "replace")
    return buf.decode("utf-8", "replace")


class Screenshot:
    """A screenshot in binary PPM (what `import` writes for a .ppm name):
    at(x, y) gives the (r, g, b) of one screen pixel, 8 bits each."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos)
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        if fields[0] != b"P6":
            raise AssertionError("not a binary PPM: %r" % fields[0])
        self.path = path
        self.width, self.height = int(fields[1]), int(fields[2])
        self.wide = int(fields[3]) > 255  # 16-bit samples, big-endian
        self.pixels = data[pos + 1:]

    def at(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError("pixel (%d, %d) outside the %dx%d screen" % (x, y, self.width, self.height))
        if self.wide:
            i = (y * self.width + x) * 6
            return tuple(self.pixels[i + k] for k in (0, 2, 4))  # the high bytes
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def row(self, y, left, right):
        return [self.at(x, y) for x in range(left, right)]


def grid_tiles(client, count, dpi=96):
    """The grid's tile rectangles in a client area (the program's arithmetic,
    app/grid_layout.cpp): equal 16:9 tiles as large as fit, 4 pixels (at 96
    dpi) apart, centred. Returns ((columns, rows), [(l, t, r, b), ...])."""
    cw, ch = client
    gap = (4 * dpi + 48) // 96
    best = None
    for columns in range(1, count + 1):
        rows = (count + columns - 1) // columns
        free_w, free_h = cw - gap * (columns + 1), ch - gap * (rows + 1)
        if free_w <= 0 or free_h <= 0:
            continue
        width = min(free_w // columns, free_h // rows * 16 // 9)
        if width * 9 // 16 > 0 and (best is None or width > best[2]):
            best = (columns, rows, width, width * 9 // 16)
    columns, rows, w, h = best
    left = (cw - (columns * w + (columns - 1) * gap)) // 2
    top = (ch - (rows * h + (rows - 1) * gap)) // 2
    return (columns, rows), [(left + (i % columns) * (w + gap), top + (i // columns) * (h + gap),
                              left + (i % columns) * (w + gap) + w, top + (i // columns) * (h + gap) + h)
                             for i in range(count)]


def parse_config(text):
    # The program writes a never-placed window position as a bare nan.
    return json.loads(re.sub(r"(:\s*)-?nan\b", r"\1NaN", text))


def rtsp_connections(port):
    """Established TCP connections to 127.0.0.1:port (client sides counted once)."""
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                lines = f.readlines()[1:]
        except OSError:
            continue
        for line in lines:
            parts = line.split()
            if len(parts) < 4:
                continue
            local, remote, state = parts[1], parts[2], parts[3]
            if state != "01":  # ESTABLISHED
                continue
            if int(remote.rsplit(":", 1)[1], 16) == port:
                count += 1
    return count

