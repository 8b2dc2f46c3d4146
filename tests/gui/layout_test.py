"""Stage and strip in the running program: with three cameras, a click on a
thumbnail selects that camera, the wheel zooms the selected one (the zoom is
saved when the animation settles), and a double-click on the selected tile
switches full-screen on (the stage then covers the strip) and off again (the
thumbnails can be clicked again).

Everything observable is read back from config.json, which the program
rewrites on every selection and at the end of every zoom animation.
Run with /usr/bin/python3.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tools"))
from winbed import Bed  # noqa: E402

NAMES = ["Alpha", "Bravo", "Charlie"]  # already in the program's (sorted) order
ctx = {}


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


def to_screen(point):
    """Client point of the main window -> screen point. The client area is the
    window rectangle minus an even frame and the menu bar above it."""
    win = main_window()
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def client_size():
    return main_window().client


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


def poll(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return bool(predicate())


def act_until(action, predicate, what, attempts, per_attempt):
    """Repeats an input action until the program's saved state shows its effect."""
    for attempt in range(1, attempts + 1):
        action()
        if poll(predicate, per_attempt):
            if attempt > 1:
                print("  %s: seen after %d attempts" % (what, attempt), flush=True)
            return
    raise AssertionError("no effect seen: %s" % what)


def move_to(x, y):
    # "mousemove --sync" waits for a motion event, which never comes when the
    # pointer is already there: step aside first.
    bed = ctx["bed"]
    if ctx.get("pointer") == (x, y):
        bed.xdotool("mousemove", "--sync", x + 3, y + 3)
    bed.xdotool("mousemove", "--sync", x, y)
    ctx["pointer"] = (x, y)


def wheel(point, button=4):
    x, y = to_screen(point)
    move_to(x, y)
    ctx["bed"].xdotool("click", button)


def click(point, double=False):
    x, y = to_screen(point)
    move_to(x, y)
    if double:
        ctx["bed"].xdotool("click", "--repeat", 2, "--delay", 80, 1)
    else:
        ctx["bed"].xdotool("click", 1)


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
    main_window()


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


@case
def wheel_zooms_the_selected_tile():
    cw, ch = client_size()
    _, strip = thumbnail_centres(cw, ctx["selected"])
    stage = ((strip + cw) // 2, ch // 2)
    ctx["stage"] = stage
    # Until the first picture arrives a notch zooms at once without saving;
    # after that the animation settles and saves. Notches repeat until then.
    act_until(lambda: wheel(stage), lambda: (camera_zoom("Bravo") or 1.0) > 1.0,
              "Bravo's saved Zoom above 1", attempts=8, per_attempt=10)
    zoom = camera_zoom("Bravo")
    assert 1.0 < zoom < 10.0, zoom
    assert camera_zoom("Alpha") == 1.0


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
