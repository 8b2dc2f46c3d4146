"""Reload after the camera list changed on disk must not show a camera's old
picture in the place of another.

Alpha (selected, on the stage) streams from one camera server; Bravo (in the
strip) points at a port nothing listens on. config.json is then rewritten so
that Alpha points at the dead port and Bravo at a second live server, and
File > Reload streams rebuilds the tiles. Alpha keeps its place on the stage,
but it has no picture any more: the stage must show an empty tile with
"connecting…", never the picture Alpha showed before the reload, while
Bravo's thumbnail shows its live picture.

The test pattern's bars are strongly coloured; the empty tile, its text and
the running-time overlay are not, so the share of strongly coloured pixels
tells a picture from an empty tile. Run with /usr/bin/python3.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, free_port, run, wait_until  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed, rtsp_connections  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
CMD_RELOAD = 2
MOUNT = "cam=h264,width=320,height=180,fps=10,bitrate=150"
EMPTY = (17, 21, 26)  # the renderer's clear colour, where no picture is drawn
MESSAGE = (153, 166, 179)  # "connecting…"
ctx = {}


def bed():
    return ctx["bed"]


def camera_list(alpha_port, bravo_port):
    return {
        "Cameras": [{"Name": "Alpha", "Url": "rtsp://127.0.0.1:%d/cam" % alpha_port,
                     "Zoom": 1, "PanX": 0.5, "PanY": 0.5},
                    {"Name": "Bravo", "Url": "rtsp://127.0.0.1:%d/cam" % bravo_port,
                     "Zoom": 1, "PanX": 0.5, "PanY": 0.5}],
        "SelectedCamera": "Alpha",
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 660,
    }


def boxes(win):
    """The stage and Bravo's thumbnail (Alpha selected), in client pixels."""
    cw, ch = win.client
    strip = min(cw // 3, 240)
    thumb_w = strip - 8
    thumb_h = (thumb_w * 9 + 8) // 16
    return (strip, 0, cw, ch), (4, 4, 4 + thumb_w, 4 + thumb_h)


def grab(win):
    """A screenshot read in the window's client pixels."""
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    ox, oy = left + border, bottom - border - ch
    shot = bed().grab()
    return lambda x, y: shot.at(ox + x, oy + y)


def samples(pixel, box, step=6, margin=3):
    left, top, right, bottom = box
    return [pixel(x, y) for y in range(top + margin, bottom - margin, step)
            for x in range(left + margin, right - margin, step)]


def coloured_share(pixels):
    """Share of strongly coloured pixels (the pattern's bars)."""
    return sum(1 for p in pixels if max(p) - min(p) > 100) / len(pixels)


def near(p, colour, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(p, colour))


def describe(pixel, win):
    stage, thumb = boxes(win)
    s = samples(pixel, stage)
    return {"stage coloured": round(coloured_share(s), 3),
            "stage empty": round(sum(1 for p in s if near(p, EMPTY, 6)) / len(s), 3),
            "thumbnail coloured": round(coloured_share(samples(pixel, thumb, step=3)), 3)}


def setup():
    b = Bed()
    ctx["bed"] = b
    b.start()
    _, ctx["alpha_port"] = b.start_camserver([MOUNT])
    _, ctx["bravo_port"] = b.start_camserver([MOUNT])
    ctx["dead_port"] = free_port()
    b.write_config(camera_list(ctx["alpha_port"], ctx["dead_port"]))
    b.start_tavik()


def teardown():
    if ctx.get("bed") is not None:
        ctx["bed"].stop()


@case
def reload_shows_no_old_picture_on_a_camera_that_lost_its_stream():
    win = bed().wait_window(cls=MAIN_CLASS, timeout=240)
    seen = {}

    def before():
        seen.update(describe(grab(win), win))
        return seen["stage coloured"] > 0.3 and seen["thumbnail coloured"] < 0.01
    try:
        wait_until(before, 120, interval=0.5, what="Alpha's picture on the stage, Bravo empty")
    except AssertionError as e:
        raise AssertionError("%s: %r" % (e, seen))
    print("  before the reload: %r" % seen, flush=True)
    assert rtsp_connections(ctx["alpha_port"]) == 1

    bed().write_config(camera_list(ctx["dead_port"], ctx["bravo_port"]))
    bed().command(win, CMD_RELOAD)
    # The rebuild stops Alpha's old client first.
    wait_until(lambda: rtsp_connections(ctx["alpha_port"]) == 0, 30, interval=0.05,
               what="Alpha's old connection closed by the reload")
    reloaded = time.monotonic()

    # From a moment after the rebuild (the frame in flight may still be the
    # old scene) until Bravo's picture has been in its thumbnail for a few
    # seconds, the stage never shows a picture.
    live_since = None
    shots = 0
    pictures = []  # (seconds after the reload, stage samples) of shots showing one
    while True:
        now = time.monotonic()
        pixel = grab(win)
        state = describe(pixel, win)
        if now - reloaded > 0.5:
            shots += 1
            if state["stage coloured"] >= 0.01:
                pictures.append((now - reloaded, samples(pixel, boxes(win)[0])))
        if state["thumbnail coloured"] > 0.3:
            live_since = live_since or now
        if live_since and now - live_since > 3.0 and shots >= 5:
            break
        assert now - reloaded < 90, "Bravo's picture never reached its thumbnail: %r" % state
    print("  after the reload: %r (%d screenshots, Bravo live %.1f s after the reload)"
          % (state, shots, live_since - reloaded), flush=True)
    if pictures:
        frozen = all(p[1] == pictures[0][1] for p in pictures)
        raise AssertionError(
            "the stage shows a picture in %d of %d screenshots, from %.1f s to %.1f s after the"
            " reload (%s), while Bravo's thumbnail is live: %r"
            % (len(pictures), shots, pictures[0][0], pictures[-1][0],
               "the same still picture in every one" if frozen else "changing", state))
    # An empty tile with "connecting…" on it.
    assert state["stage empty"] > 0.9, state
    pixel = grab(win)
    stage, _ = boxes(win)
    middle = (stage[1] + stage[3]) // 2
    text = sum(1 for y in range(middle - 20, middle + 20) for x in range(stage[0], stage[2])
               if near(pixel(x, y), MESSAGE, 40))
    assert text >= 20, "no \"connecting\u2026\" text across the middle of the stage (%d pixels)" % text
    assert rtsp_connections(ctx["bravo_port"]) == 1


if __name__ == "__main__":
    run(setup, teardown)
