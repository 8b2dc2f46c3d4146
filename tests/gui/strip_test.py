"""A strip with more thumbnails than fit: sixteen cameras in a window about
700 pixels high. The strip shows a thin scroll indicator at its top; the
wheel over the strip scrolls it until the last thumbnail is fully in view
(the indicator then ends one gap above the bottom, and the sixteenth
camera's picture shows in the last place); a click there selects the
sixteenth camera (SelectedCamera is saved as its name) and the strip stays
where it was left.

Only the sixteenth camera has a stream (one small test camera); the others
point at a closed local port and keep their tiles with "connecting…". The
saved state is read from config.json, what is drawn from screenshots.
Run with /usr/bin/python3.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run, wait_until, act_until, poll, free_port  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed  # noqa: E402

NAMES = ["Cam %02d" % (i + 1) for i in range(16)]  # already in the program's order
LAST = NAMES[-1]
ctx = {}

# On screen: the renderer's clear colour, the indicator (80 % of (0.6, 0.65,
# 0.7) over the clear colour) and the test pattern's green bar.
CLEAR = (17, 21, 26)
INDICATOR = (126, 137, 148)
GREEN = (0, 216, 0)


def close(colour, expected, tolerance=28):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def scaled(value, dpi=96):
    return (value * dpi + 48) // 96


def strip_geometry(cw, ch):
    """The strip for 16 tiles in a cw × ch client: thumbnail box, step
    between thumbnails, the farthest scroll, the indicator's column and its
    expected extent at the top and at the end."""
    strip = min(cw // 3, scaled(240))
    gap = scaled(4)
    thumb_w = strip - 2 * gap
    thumb_h = (thumb_w * 9 + 8) // 16
    step = thumb_h + gap
    last_bottom = 15 * step
    assert last_bottom > ch, "everything fits: %d <= %d" % (last_bottom, ch)
    max_scroll = last_bottom + gap - ch
    track = ch - 2 * gap
    length = (track * ch + (ch + max_scroll) // 2) // (ch + max_scroll)
    length = min(max(length, scaled(16)), track)
    return {
        "strip": strip, "gap": gap, "thumb": (thumb_w, thumb_h), "step": step,
        "max_scroll": max_scroll, "bar_x": gap + thumb_w + 1,
        "bar_top": (gap, gap + length), "bar_end": (ch - gap - length, ch - gap),
    }


def main_window():
    return ctx["bed"].wait_window(cls="Orbisfield.Tavik", timeout=240)


def to_screen(point):
    """Client point of the main window -> screen point (the window rectangle
    minus an even frame and the menu bar above the client area)."""
    left, top, right, bottom = ctx["win"].rect
    cw, ch = ctx["win"].client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def grab():
    ox, oy = to_screen((0, 0))
    shot = ctx["bed"].grab()
    return lambda x, y: shot.at(ox + x, oy + y)


def indicator_extent(pixel=None):
    """(top, bottom) of the indicator-coloured run in the indicator's column,
    bottom exclusive; None when there is none."""
    pixel = pixel or grab()
    g = ctx["geo"]
    _, ch = ctx["win"].client
    top = bottom = None
    for y in range(ch):
        if close(pixel(g["bar_x"], y), INDICATOR, 20):
            if top is None:
                top = y
            bottom = y + 1
        elif top is not None:
            break
    return None if top is None else (top, bottom)


def selected_camera():
    cfg = ctx["bed"].read_config()
    return cfg.get("SelectedCamera") if cfg else None


def wheel_down(point):
    x, y = to_screen(point)
    ctx["bed"].move_pointer(x, y)
    ctx["bed"].xdotool("click", 5)  # a notch towards the user


def setup():
    bed = Bed()
    ctx["bed"] = bed
    bed.start()
    _, port = bed.start_camserver(["last=h264,width=320,height=180,fps=10,bitrate=150"])
    closed = free_port()  # nothing listens there: those cameras stay connecting
    cameras = [{"Name": n, "Url": "rtsp://127.0.0.1:%d/none" % closed,
                "Zoom": 1, "PanX": 0.5, "PanY": 0.5} for n in NAMES]
    cameras[-1]["Url"] = "rtsp://127.0.0.1:%d/last" % port
    bed.write_config({
        "Cameras": cameras, "SelectedCamera": NAMES[0],
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 700,
    })
    bed.start_tavik()
    ctx["win"] = main_window()
    cw, ch = ctx["win"].client
    ctx["geo"] = strip_geometry(cw, ch)
    print("  client %d x %d: strip scrolls up to %d px" % (cw, ch, ctx["geo"]["max_scroll"]),
          flush=True)


@case
def indicator_shows_more_below():
    g = ctx["geo"]
    seen = [None]

    def at_top():
        seen[0] = indicator_extent()
        return seen[0] == g["bar_top"]

    try:
        wait_until(at_top, 120, interval=0.5, what="the scroll indicator at the strip's top")
    except AssertionError as e:
        raise AssertionError("%s: seen %r, expected %r" % (e, seen[0], g["bar_top"]))
    print("  indicator at x %d from y %d to %d" % ((g["bar_x"],) + seen[0]), flush=True)


@case
def wheel_over_the_strip_brings_the_last_camera_into_view():
    g = ctx["geo"]
    cw, ch = ctx["win"].client
    over_strip = (g["strip"] // 2, ch // 2)
    # One notch at a time; each must move the indicator (input to a loaded
    # Wine can be lost: a notch without effect is sent again).
    notches = 0
    sent = 0
    extent = indicator_extent()
    while extent != g["bar_end"]:
        assert sent < 40, "indicator stuck at %r after %d notches" % (extent, sent)
        before = extent
        wheel_down(over_strip)
        sent += 1
        moved = [None]

        def changed():
            moved[0] = indicator_extent()
            return moved[0] is not None and moved[0] != before

        if poll(changed, 10, interval=0.3):
            notches += 1
            assert moved[0][0] > before[0], (before, moved[0])
        extent = moved[0] if moved[0] is not None else extent
    expected = -(-g["max_scroll"] // g["step"])
    assert notches == expected, "%d notches moved the strip, expected %d" % (notches, expected)
    print("  %d notches (%d sent) took the indicator to y %d … %d" % ((notches, sent) + extent),
          flush=True)
    # A further notch changes nothing: the end is reached.
    wheel_down(over_strip)
    assert not poll(lambda: indicator_extent() != g["bar_end"], 3, interval=0.5)

    # The sixteenth camera's picture fills the last place, one gap above the
    # bottom edge.
    tw, th = g["thumb"]
    top = ch - g["gap"] - th
    centre = (g["gap"] + tw // 2, top + th // 2)
    ctx["last_centre"] = centre
    wait_until(lambda: close(grab()(*centre), GREEN), 120, interval=1.0,
               what="the sixteenth camera's picture at %r" % (centre,))
    pixel = grab()
    below = pixel(centre[0], ch - g["gap"] + 1)
    assert close(below, CLEAR, 12), "below the last thumbnail: %r" % (below,)
    print("  test pattern's green at %r, clear colour %r below the last thumbnail"
          % (centre, below), flush=True)


@case
def click_on_the_scrolled_thumbnail_selects_it():
    g = ctx["geo"]
    cw, ch = ctx["win"].client

    def click():
        x, y = to_screen(ctx["last_centre"])
        ctx["bed"].move_pointer(x, y)
        ctx["bed"].xdotool("click", 1)

    act_until(click, lambda: selected_camera() == LAST, "SelectedCamera becomes %s" % LAST,
              attempts=4, per_attempt=10)
    # On the stage now, and the strip stays scrolled to its end.
    stage = ((g["strip"] + cw) // 2, ch // 2)
    wait_until(lambda: close(grab()(*stage), GREEN), 60, interval=1.0,
               what="the sixteenth camera on the stage")
    assert indicator_extent() == g["bar_end"], indicator_extent()
    print("  SelectedCamera %r; the stage shows it; indicator still at the end" % LAST,
          flush=True)


def teardown():
    bed = ctx.get("bed")
    if bed is not None:
        bed.stop()


if __name__ == "__main__":
    run(setup, teardown)
