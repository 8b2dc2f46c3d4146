"""Stage and strip in the running program: with three cameras, a click on a
thumbnail selects that camera, the wheel zooms the selected one (the zoom is
saved when the animation settles; on screen the picture is magnified by that
factor and the navigator appears in the stage's top-right corner), dragging
the zoomed picture pans it (saved when the button is released; the picture
follows the pointer and never leaves the tile's edges, however far the drag
goes), and a double-click on the selected tile switches full-screen on (the
stage then covers the strip) and off again (the thumbnails can be clicked
again).

The saved state is read back from config.json, which the program rewrites on
every selection, at the end of every zoom animation and at the end of every
drag; what is drawn is read from screenshots of the test display.
Run with /usr/bin/python3.
"""
import math
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run, wait_until, act_until, poll  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed  # noqa: E402

NAMES = ["Alpha", "Bravo", "Charlie"]  # already in the program's (sorted) order
VIDEO = (320, 180)  # the test cameras' picture size
ctx = {}

# Colours on screen: the test pattern's bars (BT.601 limited-range YCbCr as
# encoded, shown through the renderer's BT.709 conversion) and the
# navigator's frame and view rectangle.
CYAN = (0, 231, 255)
GREEN = (0, 216, 0)
MAGENTA = (255, 38, 255)
WHITE = (255, 255, 255)
BLUE = (0, 15, 255)
NAV_FRAME = (79, 92, 107)
NAV_VIEW = (77, 194, 255)
TOLERANCE = 28


def close(colour, expected, tolerance=TOLERANCE):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def dark(colour):
    # The navigator's panel: 82 % opaque (15, 20, 28) over whatever is below.
    return max(colour) <= 80


def scaled(value, dpi=96):
    # MulDiv(value, dpi, 96) for the positive sizes used here.
    return (value * dpi + 48) // 96


def thumbnail_centres(client_width, selected):
    """Client-pixel centres of the strip's thumbnails, by slot position."""
    strip = min(client_width // 3, scaled(240))
    gap = scaled(4)
    thumb_w = strip - 2 * gap
    thumb_h = (thumb_w * 9 + 8) // 16
    centres = {}
    y = gap
    for p in range(len(NAMES)):
        if p == selected:
            continue
        centres[p] = (gap + thumb_w // 2, y + thumb_h // 2)
        y += thumb_h + gap
    return centres, strip


def main_window():
    bed = ctx["bed"]
    return bed.wait_window(cls="Orbisfield.Tavik", timeout=240)


def to_screen(point, win=None):
    """Client point of the main window -> screen point. The client area is the
    window rectangle minus an even frame and the menu bar above it."""
    win = win or main_window()
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def client_size():
    return main_window().client


def grab():
    """A screenshot read in client coordinates: shot(x, y) -> (r, g, b).
    The window does not move or change size in this test: its place as
    seen at the start serves."""
    ox, oy = to_screen((0, 0), ctx["win"])
    shot = ctx["bed"].grab()
    return lambda x, y: shot.at(ox + x, oy + y)


def crossing(pixel, y, x, step, channel, limit=400):
    """From pixel x (on the far side of an edge), walks by step along row y
    to where the channel falls below half scale; returns that edge's
    position, interpolated between the two pixel centres around it."""
    before = pixel(x, y)[channel]
    for _ in range(limit):
        after = pixel(x + step, y)[channel]
        if before >= 127.5 > after:
            return x + 0.5 + step * (before - 127.5) / (before - after)
        x += step
        before = after
    return None


def green_bar(pixel, x, y):
    """Edges (left, right) of the pattern's green bar on row y around x,
    which must lie in it: cyan (blue channel full) on the left, magenta (red
    channel full) on the right. None when the bar is not there."""
    try:
        return green_bar_edges(pixel, x, y)
    except IndexError:  # ran off the screen: no such bar
        return None


def green_bar_edges(pixel, x, y):
    if not close(pixel(x, y), GREEN):
        return None
    left = right = x
    while left > 0 and not close(pixel(left - 1, y), CYAN, 60) and left > x - 800:
        left -= 1
    while not close(pixel(right + 1, y), MAGENTA, 60) and right < x + 800:
        right += 1
    if not (close(pixel(left - 1, y), CYAN, 60) and close(pixel(right + 1, y), MAGENTA, 60)):
        return None
    edge_l = crossing(pixel, y, left - 1, +1, 2)  # blue channel falls into green
    edge_r = crossing(pixel, y, right + 1, -1, 0)  # red channel falls into green
    if edge_l is None or edge_r is None:
        return None
    return edge_l, edge_r


def stage_geometry():
    cw, ch = ctx["win"].client
    _, strip = thumbnail_centres(cw, ctx["selected"])
    return strip, cw, ch


def camera_view(name):
    def pick(cfg):
        for cam in cfg["Cameras"]:
            if cam["Name"] == name:
                return float(cam["Zoom"]), float(cam["PanX"]), float(cam["PanY"])
        return None
    return config_value(pick)


def config_value(fn):
    cfg = ctx["bed"].read_config()
    if not cfg:
        return None
    try:
        return fn(cfg)
    except (KeyError, IndexError, TypeError):
        return None


def camera_zoom(name):
    def pick(cfg):
        for cam in cfg["Cameras"]:
            if cam["Name"] == name:
                return float(cam["Zoom"])
        return None
    return config_value(pick)


def selected_camera():
    return config_value(lambda cfg: cfg["SelectedCamera"])


def move_to(x, y):
    ctx["bed"].move_pointer(x, y)


def wheel(point, button=4):
    x, y = to_screen(point)
    move_to(x, y)
    ctx["bed"].xdotool("click", button)


# The system turns a left press into a double-click when the previous press
# was less than the double-click time (500 ms here) before it and within the
# double-click rectangle (4 x 4 pixels) around it, wherever the pointer went in
# between. A press that must not be a double-click waits until the previous
# press is further back (plus a margin for the time stamps).
DOUBLE_CLICK_TIME = 0.5
DOUBLE_CLICK_HALF = 2


def pressed(x, y):
    """Notes a left press at screen (x, y), just after it was sent."""
    ctx["last_press"] = (time.monotonic(), x, y)


def single_press_at(x, y):
    """Waits, if need be, so that a left press at (x, y) cannot pair with
    the previous one into a double-click."""
    last = ctx.get("last_press")
    if not last or abs(x - last[1]) >= DOUBLE_CLICK_HALF or abs(y - last[2]) >= DOUBLE_CLICK_HALF:
        return
    gap = time.monotonic() - last[0]
    if gap < DOUBLE_CLICK_TIME + 0.1:
        print("  a press at (%d, %d) %.3f s after the previous one there: waiting out the"
              " double-click time" % (x, y, gap), flush=True)
        wait_until(lambda: time.monotonic() - last[0] > DOUBLE_CLICK_TIME + 0.1, 2,
                   what="the double-click time since the previous press")


def click(point, double=False):
    x, y = to_screen(point)
    move_to(x, y)
    single_press_at(x, y)
    if double:
        ctx["bed"].xdotool("click", "--repeat", 2, "--delay", 80, 1)
    else:
        ctx["bed"].xdotool("click", 1)
    pressed(x, y)


def setup():
    bed = Bed()
    ctx["bed"] = bed
    bed.start()
    mounts = ["%s=h264,width=320,height=180,fps=10,bitrate=150" % n.lower() for n in NAMES]
    _, port = bed.start_camserver(mounts)
    bed.write_config({
        "Cameras": [{"Name": n, "Url": "rtsp://127.0.0.1:%d/%s" % (port, n.lower()),
                     "Zoom": 1, "PanX": 0.5, "PanY": 0.5} for n in NAMES],
        "SelectedCamera": "Alpha",
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 660,
    })
    bed.start_tavik()
    ctx["win"] = main_window()


def teardown():
    bed = ctx.get("bed")
    if bed is not None:
        bed.stop()


@case
def click_on_thumbnail_selects_it():
    cw, _ = client_size()
    centres, _ = thumbnail_centres(cw, selected=0)
    act_until(lambda: click(centres[1]), lambda: selected_camera() == "Bravo",
              "SelectedCamera becomes Bravo", attempts=4, per_attempt=10)
    ctx["selected"] = 1


def round_away(value):
    # Nearest integer, halves away from zero (as the renderer places bars).
    return int(math.floor(abs(value) + 0.5)) * (1 if value >= 0 else -1)


def visible_fraction(zoom, tile_w, tile_h):
    """Share of the picture's width on screen at this zoom."""
    fit = min(tile_w / VIDEO[0], tile_h / VIDEO[1])
    return min(1.0, tile_w / (fit * zoom * VIDEO[0]))


def navigator_box(cw):
    """The navigator's rectangle in the stage's top-right corner."""
    nav_w, margin = scaled(180), scaled(10)
    nav_h = (nav_w * VIDEO[1] + VIDEO[0] // 2) // VIDEO[0]
    right = cw - margin
    return right - nav_w, margin, right, margin + nav_h


def navigator_problems(pixel, zoom, pan_x):
    """What differs on screen from the navigator of this zoom and pan: a dark
    panel in a one-pixel frame exactly on NavigatorRect's edges, and the view
    rectangle's two-pixel side bars where the visible part of the picture is."""
    strip, cw, ch = stage_geometry()
    left, top, right, bottom = navigator_box(cw)
    f = visible_fraction(zoom, cw - strip, ch)
    view_x = min(max(pan_x - f / 2, 0.0), 1.0 - f)
    x0 = left + round_away((right - left) * view_x)
    x1 = left + round_away((right - left) * (view_x + f))
    mid = (top + bottom) // 2
    problems = []

    def expect(x, y, test, what):
        if not test(pixel(x, y)):
            problems.append("%s at (%d, %d) is %r" % (what, x, y, pixel(x, y)))

    def frame(c):
        return close(c, NAV_FRAME, 20)

    def view(c):
        return close(c, NAV_VIEW)

    def outside(c):
        return not frame(c) and not view(c)

    # A column between the frame and the view rectangle: top and bottom frame.
    xs = (left + x0) // 2 if x0 - left > right - x1 else (x1 + right) // 2
    expect(xs, top, frame, "top frame")
    expect(xs, bottom - 1, frame, "bottom frame")
    expect(xs, top - 1, outside, "above the navigator")
    expect(xs, bottom, outside, "below the navigator")
    expect(xs, mid, dark, "panel")
    # Left and right frame (where the view rectangle does not cover them).
    if x0 > left:
        expect(left, mid, frame, "left frame")
    if x1 < right:
        expect(right - 1, mid, frame, "right frame")
    expect(left - 1, mid, outside, "left of the navigator")
    expect(right, mid, outside, "right of the navigator")
    # The view rectangle's sides, the panel just inside and outside them.
    for x in (x0, x0 + 1, x1 - 2, x1 - 1):
        expect(x, mid, view, "view rectangle side")
    expect(x0 + 2, mid, dark, "panel inside the view rectangle")
    expect(x1 - 3, mid, dark, "panel inside the view rectangle")
    if x0 >= left + 2:
        expect(x0 - 1, mid, dark, "panel left of the view rectangle")
    if x1 <= right - 2:
        expect(x1, mid, dark, "panel right of the view rectangle")
    return problems, (left, top, right, bottom, x0, x1)


def wait_for_navigator(zoom, pan_x, what):
    last = [None]

    def shown():
        last[0] = navigator_problems(grab(), zoom, pan_x)
        return not last[0][0]

    try:
        wait_until(shown, 60, interval=0.5, what="the navigator (%s)" % what)
    except AssertionError as e:
        raise AssertionError("%s: %s" % (e, last[0]))
    box = last[0][1]
    print("  navigator %s: box (%d, %d, %d, %d), view rectangle sides at x %d and %d"
          % ((what,) + box), flush=True)


@case
def wheel_zooms_the_selected_tile():
    ctx["win"] = main_window()
    strip, cw, ch = stage_geometry()
    stage = ((strip + cw) // 2, ch // 2)
    ctx["stage"] = stage
    tile_w = cw - strip
    # The picture fills the stage's width: visible share 1/zoom across.
    assert tile_w * VIDEO[1] < ch * VIDEO[0], (tile_w, ch)
    # The camera's picture at zoom 1: seven bars share the tile's width, the
    # green one in the middle.
    last = [None]

    def fitted():
        last[0] = green_bar(grab(), *stage)
        return last[0] is not None and abs(last[0][1] - last[0][0] - tile_w / 7) < 0.05 * tile_w / 7

    try:
        wait_until(fitted, 120, interval=1.0, what="the test pattern filling the stage")
    except AssertionError as e:
        raise AssertionError("%s; green bar seen at %r" % (e, last[0]))
    before = last[0][1] - last[0][0]

    # Until the first picture arrives a notch zooms at once without saving;
    # after that the animation settles and saves. Notches repeat until then.
    act_until(lambda: wheel(stage), lambda: (camera_zoom("Bravo") or 1.0) > 1.0,
              "Bravo's saved Zoom above 1", attempts=8, per_attempt=10)
    zoom = camera_zoom("Bravo")
    assert 1.0 < zoom < 10.0, zoom
    assert camera_zoom("Alpha") == 1.0

    # On screen the bar is magnified by the saved zoom (around the pointer,
    # so it stays in the middle of the stage).
    seen = {}

    def magnified():
        z = camera_zoom("Bravo")
        bar = green_bar(grab(), *stage)
        seen.update(zoom=z, bar=bar)
        return bar is not None and z is not None and abs((bar[1] - bar[0]) / before - z) < 0.03 * z

    try:
        wait_until(magnified, 60, interval=0.5, what="the picture magnified by the saved zoom")
    except AssertionError as e:
        raise AssertionError("%s; seen %r, bar %.1f px wide at zoom 1" % (e, seen, before))
    zoom, bar = seen["zoom"], seen["bar"]
    print("  green bar %.1f px wide at zoom 1 (tile %d / 7 = %.1f), %.1f px at saved zoom %.4f"
          " (ratio %.4f)" % (before, tile_w, tile_w / 7, bar[1] - bar[0], zoom,
                             (bar[1] - bar[0]) / before), flush=True)
    ctx["bar"] = bar
    _, pan_x, _ = camera_view("Bravo")
    wait_for_navigator(zoom, pan_x, "after the zoom, PanX %.4f" % pan_x)


def captured(win):
    handle = ctx["bed"].capture_window(win)
    return handle is not None and int(handle, 16) == int(win.hwnd, 16)


def drag(win, start, dx, steps):
    """Presses the left button at start (client point), waits until the
    program holds the mouse capture (the press has reached it and the pan has
    begun), moves dx pixels across in steps and releases the button."""
    bed = ctx["bed"]
    x, y = to_screen(start)
    move_to(x, y)
    single_press_at(x, y)
    bed.xdotool("mousedown", 1)
    pressed(x, y)
    if poll(lambda: captured(win), 20):
        for i in range(1, steps + 1):
            bed.xdotool("mousemove", "--sync", x + dx * i // steps, y)
        bed.pointer = (x + dx, y)
    bed.xdotool("mouseup", 1)


def saved_pan_x():
    view = camera_view("Bravo")
    return view[1] if view else None


def drag_until_saved(start, dx, steps, what):
    """Drags until the saved PanX changes; returns (number of drags, PanX)."""
    win = main_window()
    before = saved_pan_x()
    for attempt in range(1, 5):
        drag(win, start, dx, steps)
        if poll(lambda: saved_pan_x() not in (None, before), 30):
            if attempt > 1:
                print("  %s: saved after %d drags" % (what, attempt), flush=True)
            return attempt, saved_pan_x()
        if captured(win):  # a lost release: end the drag
            ctx["bed"].xdotool("mouseup", 1)
    raise AssertionError("no saved PanX change: %s" % what)


@case
def dragging_pans_the_zoomed_picture_within_its_edges():
    strip, cw, ch = stage_geometry()
    tile_w = cw - strip
    zoom, pan0, _ = camera_view("Bravo")
    assert zoom > 1.001, zoom
    fit = min(tile_w / VIDEO[0], ch / VIDEO[1])
    lo = 1.0 / (2.0 * zoom)
    hi = 1.0 - lo
    assert abs(visible_fraction(zoom, tile_w, ch) - 2 * lo) < 1e-12
    assert lo - 1e-9 <= pan0 <= hi + 1e-9, (pan0, lo, hi)

    # A short drag to the left moves the picture with the pointer: PanX grows
    # by the distance over the zoomed picture's width, the bar moves 60 px.
    bar = ctx["bar"]
    centre = round((bar[0] + bar[1]) / 2)
    drags, pan1 = drag_until_saved((centre, ch // 2), -60, 6, "short drag")
    step = 60.0 / (fit * zoom * VIDEO[0])
    k = round((pan1 - pan0) / step)
    assert 1 <= k <= drags and abs(pan1 - pan0 - k * step) < 1e-6, (pan0, pan1, step, drags)
    assert lo < pan1 < hi, (pan1, lo, hi)
    seen = [None]

    def followed():
        seen[0] = green_bar(grab(), centre - 60 * k, ch // 2)
        return seen[0] is not None and abs((seen[0][0] + seen[0][1]) / 2 - (centre - 60 * k)) < 1.5

    try:
        wait_until(followed, 60, interval=0.5, what="the picture moved 60 px with the pointer")
    except AssertionError as e:
        raise AssertionError("%s; green bar from %r to %r" % (e, bar, seen[0]))
    print("  short drag -60 px: PanX %.6f -> %.6f (expected +%.6f), green bar centre %.1f -> %.1f"
          % (pan0, pan1, k * step, (bar[0] + bar[1]) / 2, (seen[0][0] + seen[0][1]) / 2), flush=True)
    wait_for_navigator(zoom, pan1, "after the short drag")

    # A long drag to the left stops at the picture's right edge: PanX at its
    # upper bound exactly, the picture's last bar reaching the tile's right
    # edge, the view rectangle on the navigator's right edge.
    _, pan2 = drag_until_saved(((strip + cw) // 2, ch // 2), -420, 7, "long drag left")
    assert abs(pan2 - hi) < 1e-9, (pan2, hi)
    wait_until(lambda: close(grab()(cw - 1, ch // 2), BLUE), 60, interval=0.5,
               what="the picture's last bar at the tile's right edge")
    wait_for_navigator(zoom, pan2, "at the right edge")
    print("  long drag -420 px: PanX %.12f, bound 1 - 1/(2 x %.4f) = %.12f" % (pan2, zoom, hi),
          flush=True)

    # And a long drag to the right stops at the left edge: PanX at the lower
    # bound, the first (white) bar starting right at the stage's left edge.
    _, pan3 = drag_until_saved((strip + 40, ch // 2), 420, 7, "long drag right")
    assert abs(pan3 - lo) < 1e-9, (pan3, lo)

    def left_edge():
        pixel = grab()
        return close(pixel(strip, ch // 2), WHITE) and not close(pixel(strip - 1, ch // 2), WHITE)

    wait_until(left_edge, 60, interval=0.5,
               what="the picture's first bar starting at the stage's left edge")
    wait_for_navigator(zoom, pan3, "at the left edge")
    print("  long drag +420 px: PanX %.12f, bound 1/(2 x %.4f) = %.12f" % (pan3, zoom, lo),
          flush=True)


@case
def double_click_toggles_full_screen():
    cw, ch = client_size()
    stage = ctx["stage"]
    centres, _ = thumbnail_centres(cw, ctx["selected"])
    before = camera_zoom("Bravo")
    # Full-screen on: the stage now covers the strip, so a notch over where
    # Alpha's thumbnail was zooms the selected camera.
    click(stage, double=True)
    act_until(lambda: wheel(centres[0]), lambda: (camera_zoom("Bravo") or 0) > before,
              "Bravo's Zoom grows from a notch over the former strip", attempts=4, per_attempt=10)
    assert selected_camera() == "Bravo"
    # Full-screen off: the thumbnails slide back and can be clicked again.
    click(stage, double=True)
    act_until(lambda: click(centres[2]), lambda: selected_camera() == "Charlie",
              "SelectedCamera becomes Charlie", attempts=4, per_attempt=10)


if __name__ == "__main__":
    run(setup, teardown)
