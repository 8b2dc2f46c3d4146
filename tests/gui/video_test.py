"""Live video on screen under Wine: the selected camera's test pattern in the
window, pictures that keep changing, and "connecting…" for a camera that
does not answer (an H.265 camera, which this system cannot decode, beside
an H.264 one that plays)."""
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import case, free_port, run, wait_until  # noqa: E402
import winbed  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
WINDOW = {"WindowLeft": 0, "WindowTop": 0, "WindowWidth": 960, "WindowHeight": 640}

# The test cameras' SMPTE bars, top two thirds (white, yellow, cyan, green,
# magenta, red, blue), as the encoder gets them: BT.601 limited-range YCbCr.
BARS_YCBCR = [(235, 128, 128), (210, 16, 146), (170, 166, 16), (145, 54, 34),
              (106, 202, 222), (81, 90, 240), (41, 240, 110)]


def shown(ycbcr):
    """The colour the renderer's conversion (BT.709 coefficients) gives."""
    y = (ycbcr[0] / 255 - 0.0625) * 1.164
    u = ycbcr[1] / 255 - 0.5
    v = ycbcr[2] / 255 - 0.5
    rgb = (y + 1.793 * v, y - 0.213 * u - 0.533 * v, y + 2.112 * u)
    return tuple(round(255 * min(1.0, max(0.0, c))) for c in rgb)


BARS = [shown(c) for c in BARS_YCBCR]
# Scaling, mip filtering and the half-resolution chroma blur the colours a
# little: judge each with a margin.
TOLERANCE = 24
MESSAGE = (153, 166, 179)  # "connecting…" text colour

bed = None
cam_port = None
shots = None


def setup():
    global bed, cam_port, shots
    shots = tempfile.mkdtemp(prefix="video-test-")
    bed = winbed.Bed()
    bed.start()
    _, cam_port = bed.start_camserver(["bars=h264,width=320,height=240,fps=10",
                                       "hevc=h265,width=320,height=240,fps=10"])


def teardown():
    if bed is not None:
        bed.stop()


def cam_url(name):
    return "rtsp://127.0.0.1:%d/%s" % (cam_port, name)


class Shot(winbed.Screenshot):
    """A screenshot with the averages the checks below use."""

    def mean(self, x, y, r=2):
        acc = [0, 0, 0]
        n = 0
        for yy in range(y - r, y + r + 1):
            for xx in range(x - r, x + r + 1):
                p = self.at(xx, yy)
                for k in range(3):
                    acc[k] += p[k]
                n += 1
        return tuple(v / n for v in acc)

    def region(self, left, top, right, bottom):
        return [self.at(x, y) for y in range(top, bottom) for x in range(left, right)]


_shot_count = [0]


def screenshot():
    _shot_count[0] += 1
    path = os.path.join(shots, "shot%d.ppm" % _shot_count[0])
    assert bed.screenshot(path), "screenshot failed"
    return Shot(path)


def client_origin(win):
    """Screen position of the client area: the frame is as wide on the
    left, right and bottom; the caption and menu bar are above."""
    l, t, r, b = win.rect
    border = ((r - l) - win.client[0]) // 2
    return l + border, b - border - win.client[1]


def fit(picture_w, picture_h, left, top, right, bottom):
    """The letterboxed place of a picture in a tile, as the renderer does it."""
    tw, th = right - left, bottom - top
    s = min(tw / picture_w, th / picture_h)
    w, h = picture_w * s, picture_h * s
    return left + (tw - w) / 2, top + (th - h) / 2, w, h


def close(colour, expected, tolerance=TOLERANCE):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def bars_seen(shot, x, y, w, h):
    """Mean colours in the middle of each bar at 45 % of the picture height
    (below the time overlay, above the lower bands)."""
    yy = int(y + h * 0.45)
    found = []
    for i, expected in enumerate(BARS):
        xx = int(x + w * (i + 0.5) / 7)
        found.append((shot.mean(xx, yy), expected))
    return found


def start(cameras, selected):
    cfg = {"Cameras": [{"Name": n, "Url": u} for n, u in cameras], "SelectedCamera": selected}
    cfg.update(WINDOW)
    bed.write_config(cfg)
    bed.start_tavik()
    return bed.wait_window(cls=MAIN_CLASS, title="Tavik", timeout=90)


def stop():
    code = bed.close_tavik(timeout=90)
    assert code == 0, "Tavik exit code %r" % (code,)


def message_pixels(shot, left, top, right, bottom):
    return sum(1 for p in shot.region(left, top, right, bottom) if close(p, MESSAGE, 30))


@case
def selected_camera_shows_its_test_pattern_and_keeps_changing():
    main = start([("Bars", cam_url("bars"))], "Bars")
    try:
        ox, oy = client_origin(main)
        cw, ch = main.client
        x, y, w, h = fit(320, 240, ox, oy, ox + cw, oy + ch)

        last = [None]

        def pattern_on_screen():
            shot = screenshot()
            last[0] = bars_seen(shot, x, y, w, h)
            return all(close(c, e) for c, e in last[0]) and shot

        try:
            first = wait_until(pattern_on_screen, 90, interval=1.0,
                               what="the camera's colour bars in the window")
        except AssertionError as e:
            raise AssertionError("%s; last seen (found, expected): %r" % (e, last[0]))
        # The time overlay in the top-left corner moves on: the same part of
        # the window differs a few seconds later.
        box = (int(x), int(y), int(x + w * 0.45), int(y + h * 0.2))
        before = first.region(*box)
        wait_until(lambda: screenshot().region(*box) != before, 30, interval=1.0,
                   what="a newer picture")
    finally:
        stop()


@case
def camera_without_pictures_shows_connecting_beside_a_playing_one():
    dead = "rtsp://127.0.0.1:%d/none" % free_port()
    # Sorted by name: "A dead" (strip), "Bars" (selected, stage), "Hevc" (strip).
    main = start([("Bars", cam_url("bars")), ("Hevc", cam_url("hevc")), ("A dead", dead)], "Bars")
    try:
        ox, oy = client_origin(main)
        cw, ch = main.client

        def playing_and_connecting():
            shot = screenshot()
            # The stage is right of the strip: the bars are somewhere in the
            # right two thirds of the client area; look along one row.
            yy = oy + ch // 2
            row = [shot.at(xx, yy) for xx in range(ox + cw // 3, ox + cw - 2)]
            colours_found = sum(1 for e in BARS if any(close(p, e) for p in row))
            # The strip (left third) carries the "connecting…" texts of both
            # cameras without pictures.
            text = message_pixels(shot, ox, oy, ox + cw // 3, oy + ch)
            return colours_found >= 6 and text >= 40

        wait_until(playing_and_connecting, 120, interval=1.0,
                   what="bars on the stage and connecting texts in the strip")
    finally:
        stop()


if __name__ == "__main__":
    run(setup, teardown)
