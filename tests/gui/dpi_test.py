"""The stage and strip at 144 dpi: with the prefix's LogPixels at 144 the
main window's DPI is 144, so the strip of a window at least 1080 pixels wide
is min(client width / 3, MulDiv(240, 144, 96)) = 360 pixels wide, with
6-pixel gaps and 348 x 196 thumbnails. Proven on screen (where the
thumbnail's picture, the strip's background and the stage's picture begin
and end) and by behaviour: a click at x = 350 lands on a thumbnail and
selects its camera, while a press just right of x = 360 lands on the stage
(its wheel zooms the selected camera; a drag from there pans it) and leaves
the selection alone.
Run with /usr/bin/python3.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run, wait_until, act_until, poll  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed  # noqa: E402

DPI = 144
NAMES = ["Alpha", "Bravo", "Charlie"]  # the program's (sorted) order
VIDEO = (320, 180)
# Screen colours: the window's background and the test pattern's first and
# last bars (white, blue) as the renderer shows them.
BACKGROUND = (17, 21, 26)
WHITE = (255, 255, 255)
BLUE = (0, 15, 255)
ctx = {}


def scaled(value):
    # MulDiv(value, dpi, 96) for positive values.
    return (value * DPI + 48) // 96


def close(colour, expected, tolerance=28):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def strip_geometry(client_width):
    strip = min(client_width // 3, scaled(240))
    gap = scaled(4)
    thumb_w = strip - 2 * gap
    thumb_h = (thumb_w * 9 + 8) // 16
    return strip, gap, thumb_w, thumb_h


def main_window():
    return ctx["bed"].wait_window(cls="Orbisfield.Tavik", timeout=240)


def to_screen(point, win=None):
    """Client point of the main window -> screen point (an even frame on
    the left, right and bottom, the menu bar above the client area)."""
    win = win or main_window()
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def grab(win):
    """A screenshot read in client coordinates: pixel(x, y) -> (r, g, b)."""
    ox, oy = to_screen((0, 0), win)
    shot = ctx["bed"].grab()
    return lambda x, y: shot.at(ox + x, oy + y)


def config_value(fn):
    cfg = ctx["bed"].read_config()
    try:
        return fn(cfg) if cfg else None
    except (KeyError, IndexError, TypeError):
        return None


def camera(name):
    def pick(cfg):
        for cam in cfg["Cameras"]:
            if cam["Name"] == name:
                return float(cam["Zoom"]), float(cam["PanX"])
        return None
    return config_value(pick)


def selected_camera():
    return config_value(lambda cfg: cfg["SelectedCamera"])


def move_to(x, y):
    ctx["bed"].move_pointer(x, y)


def captured(win):
    handle = ctx["bed"].capture_window(win)
    return handle is not None and int(handle, 16) == int(win.hwnd, 16)


def setup():
    # Room for a window whose client area is well over 1080 pixels wide.
    bed = Bed(width=1600, height=1000, dpi=DPI)
    ctx["bed"] = bed
    bed.start()
    mounts = ["%s=h264,width=%d,height=%d,fps=10,bitrate=150" % (n.lower(), VIDEO[0], VIDEO[1])
              for n in NAMES]
    _, port = bed.start_camserver(mounts)
    bed.write_config({
        "Cameras": [{"Name": n, "Url": "rtsp://127.0.0.1:%d/%s" % (port, n.lower()),
                     "Zoom": 1, "PanX": 0.5, "PanY": 0.5} for n in NAMES],
        "SelectedCamera": "Bravo",
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1400, "WindowHeight": 900,
    })
    bed.start_tavik()
    win = main_window()
    ctx["win"] = win
    print("  client %dx%d" % win.client, flush=True)


def teardown():
    bed = ctx.get("bed")
    if bed is not None:
        bed.stop()


@case
def client_is_wide_enough_for_the_full_strip():
    win = ctx["win"]
    cw, ch = win.client
    assert cw >= 1080, win.client
    strip, gap, thumb_w, thumb_h = strip_geometry(cw)
    assert (strip, gap, thumb_w, thumb_h) == (360, 6, 348, 196)
    # The stage's picture fills the stage's width (letterboxed above and below).
    assert (cw - strip) * VIDEO[1] < ch * VIDEO[0], win.client


@case
def strip_is_360_pixels_wide_on_screen():
    win = ctx["win"]
    cw, ch = win.client
    strip, gap, thumb_w, thumb_h = strip_geometry(cw)
    thumb_row = gap + thumb_h * 45 // 100  # through the bars of the first thumbnail
    stage_row = ch // 2                    # through the stage's bars, below the thumbnails
    assert stage_row > gap + 2 * (thumb_h + gap) + 4, (ch, thumb_h)
    seen = {}

    def layout_on_screen():
        pixel = grab(win)
        stage = [pixel(x, stage_row) for x in range(0, strip + 8)]
        thumb = [pixel(x, thumb_row) for x in range(0, strip + 1)]
        # Stage row: the strip's background right up to x = 359, the stage's
        # picture (its white bar) from x = 360.
        first_white = next((x for x, c in enumerate(stage) if close(c, WHITE)), None)
        strip_clear = all(close(c, BACKGROUND, 8) for c in stage[:strip])
        # Thumbnail row: background in the gaps, the picture from x = 6 (white
        # bar) to x = 353 (blue bar).
        thumb_first = next((x for x, c in enumerate(thumb) if close(c, WHITE)), None)
        thumb_last = max((x for x, c in enumerate(thumb) if close(c, BLUE)), default=None)
        gaps_clear = (all(close(c, BACKGROUND, 8) for c in thumb[:gap])
                      and all(close(c, BACKGROUND, 8) for c in thumb[gap + thumb_w:strip]))
        seen.update(stage_first=first_white, strip_clear=strip_clear, thumb_first=thumb_first,
                    thumb_last=thumb_last, gaps_clear=gaps_clear)
        return (first_white == strip and strip_clear and thumb_first == gap
                and thumb_last == gap + thumb_w - 1 and gaps_clear)

    try:
        wait_until(layout_on_screen, 120, interval=1.0, what="the 144-dpi strip and stage on screen")
    except AssertionError as e:
        raise AssertionError("%s; seen %r" % (e, seen))
    print("  stage picture from x=%d, strip background x=0..%d on row %d; thumbnail picture"
          " x=%d..%d on row %d (width %d), gaps background"
          % (seen["stage_first"], strip - 1, stage_row, seen["thumb_first"], seen["thumb_last"],
             thumb_row, seen["thumb_last"] - seen["thumb_first"] + 1), flush=True)


@case
def press_right_of_360_is_on_the_stage():
    win = ctx["win"]
    bed = ctx["bed"]
    cw, ch = win.client
    strip, _, _, _ = strip_geometry(cw)
    point = (strip + 2, ch // 2)
    x, y = to_screen(point, win)

    # The wheel there zooms the selected camera (only the stage zooms).
    def notch():
        move_to(x, y)
        bed.xdotool("click", 4)

    act_until(notch, lambda: (camera("Bravo") or (1.0, 0))[0] > 1.0,
              "Bravo's saved Zoom above 1 from a notch at x=%d" % point[0], attempts=8,
              per_attempt=10)
    zoom, pan0 = camera("Bravo")
    assert selected_camera() == "Bravo"

    # A press there grabs the zoomed picture: dragged 40 pixels to the left
    # it pans (PanX grows), and the selection stays.
    tile_w = cw - strip
    step = 40.0 / (min(tile_w / VIDEO[0], ch / VIDEO[1]) * zoom * VIDEO[0])

    def drag():
        move_to(x, y)
        bed.xdotool("mousedown", 1)
        if poll(lambda: captured(win), 20):
            for i in range(1, 5):
                bed.xdotool("mousemove", "--sync", x - 10 * i, y)
            bed.pointer = (x - 40, y)
        bed.xdotool("mouseup", 1)

    drags = act_until(drag, lambda: (camera("Bravo") or (0, pan0))[1] != pan0,
                      "PanX changed by a drag from x=%d" % point[0], attempts=4, per_attempt=30)
    pan1 = camera("Bravo")[1]
    k = round((pan1 - pan0) / step)
    assert 1 <= k <= drags and abs(pan1 - pan0 - k * step) < 1e-6, (pan0, pan1, step)
    assert selected_camera() == "Bravo"
    print("  from x=%d: wheel -> Zoom %.4f, drag -40 px -> PanX %.6f -> %.6f, still Bravo"
          % (point[0], zoom, pan0, pan1), flush=True)


@case
def click_at_350_selects_the_thumbnail():
    win = ctx["win"]
    cw, _ = win.client
    strip, gap, thumb_w, thumb_h = strip_geometry(cw)
    point = (350, gap + thumb_h // 2)  # the first thumbnail (Alpha), 4 px from its right edge
    assert gap <= point[0] < gap + thumb_w
    x, y = to_screen(point, win)

    def click():
        move_to(x, y)
        ctx["bed"].xdotool("click", 1)

    act_until(click, lambda: selected_camera() == "Alpha",
              "SelectedCamera becomes Alpha from a click at x=350", attempts=4, per_attempt=10)


if __name__ == "__main__":
    run(setup, teardown)
