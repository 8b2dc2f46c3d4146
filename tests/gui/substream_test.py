"""Sub streams in the running program: four cameras, each with a main mount
and a low-resolution sub mount that shows another picture (every main mount
a solid colour of its own, every sub mount solid green). The thumbnails come
from the sub mounts and the stage from the selected camera's main mount; a
camera whose sub address is wrong shows its main stream in its thumbnail. A
click on a thumbnail brings that camera's main picture to the stage, with its
sub picture in between and no screenshot of an empty stage; afterwards each
camera runs only the stream its tile shows (the test cameras' log of what
each client plays).

What is drawn is read from screenshots; which mounts play from the camera
server's log. Run with /usr/bin/python3.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, act_until, case, run, wait_until  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed  # noqa: E402

NAMES = ["Alpha", "Bravo", "Charlie", "Delta"]  # already in the program's order
MAIN_PATTERN = {"Alpha": "blue", "Bravo": "red", "Charlie": "white", "Delta": "red"}
ctx = {}

# videotestsrc's solid colours as shown (BT.601 limited range as encoded,
# the renderer's BT.709 conversion), and the renderer's clear colour.
SHOWN = {"blue": (0, 15, 255), "red": (255, 24, 0), "white": (255, 255, 255),
         "green": (0, 216, 0)}
TOLERANCE = 40


def close(colour, expected, tolerance=TOLERANCE):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def scaled(value, dpi=96):
    return (value * dpi + 48) // 96


def main_window():
    return ctx["bed"].wait_window(cls="Orbisfield.Tavik", timeout=240)


def places(selected):
    """Client-pixel centres of the stage and of each thumbnail, by slot."""
    cw, ch = ctx["win"].client
    strip = min(cw // 3, scaled(240))
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
    return (strip + (cw - strip) // 2, ch // 2), centres


def colours(selected):
    """A screenshot's colour at the stage's centre and at each thumbnail's."""
    ox, oy = ctx["win"].to_screen((0, 0))
    shot = ctx["bed"].grab()
    stage, thumbs = places(selected)
    at = lambda point: shot.at(ox + point[0], oy + point[1])  # noqa: E731
    return at(stage), {p: at(c) for p, c in thumbs.items()}


def playing():
    """The mounts the camera server plays now (played and not yet closed)."""
    counts = {}
    with open(ctx["log"], encoding="utf-8") as f:
        for line in f:
            verb, _, path = line.strip().partition(" ")
            counts[path] = counts.get(path, 0) + (1 if verb == "play" else -1)
    return {path for path, n in counts.items() if n > 0}


def ever_played(path):
    with open(ctx["log"], encoding="utf-8") as f:
        return any(line.strip() == "play " + path for line in f)


def selected_camera():
    cfg = ctx["bed"].read_config()
    return cfg.get("SelectedCamera") if cfg else None


def setup():
    bed = Bed()
    ctx["bed"] = bed
    bed.start()
    ctx["log"] = os.path.join(bed.tmp, "plays.log")
    open(ctx["log"], "w").close()
    mounts = []
    for name in NAMES:
        n = name.lower()
        # Main streams with a keyframe every 2 s: a switch to one takes a while.
        mounts.append("%s=h264,width=640,height=360,fps=15,keyint=30,bitrate=200,pattern=%s"
                      % (n, MAIN_PATTERN[name]))
        mounts.append("%ssub=h264,width=320,height=180,fps=15,keyint=15,bitrate=100,pattern=green" % n)
    _, port = bed.start_camserver(["--log", ctx["log"]] + mounts)
    cameras = []
    for name in NAMES:
        n = name.lower()
        # Delta's sub address names no mount: it must fall back to its main stream.
        sub = "nosuch" if name == "Delta" else n + "sub"
        cameras.append({"Name": name, "Url": "rtsp://127.0.0.1:%d/%s" % (port, n),
                        "SubUrl": "rtsp://127.0.0.1:%d/%s" % (port, sub),
                        "Zoom": 1, "PanX": 0.5, "PanY": 0.5})
    bed.write_config({"Cameras": cameras, "SelectedCamera": "Alpha",
                      "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 660})
    bed.start_tavik()
    ctx["win"] = main_window()


def teardown():
    bed = ctx.get("bed")
    if bed is not None:
        bed.stop()


@case
def thumbnails_show_sub_streams_and_a_wrong_sub_address_falls_back():
    def settled():
        stage, thumbs = colours(selected=0)
        return (close(stage, SHOWN["blue"]) and close(thumbs[1], SHOWN["green"])
                and close(thumbs[2], SHOWN["green"]) and close(thumbs[3], SHOWN["red"]))

    wait_until(settled, 120, interval=0.5,
               what="Alpha's main picture on the stage, sub pictures in Bravo's and Charlie's "
                    "thumbnails and Delta's main picture in its thumbnail")
    wait_until(lambda: playing() == {"/alpha", "/bravosub", "/charliesub", "/delta"}, 30,
               interval=0.5, what="each camera playing the stream its tile shows")
    assert not ever_played("/alphasub"), "the stage camera opened its sub stream"
    assert not ever_played("/bravo") and not ever_played("/charlie"), \
        "a thumbnail with a working sub stream opened its main stream"


@case
def a_click_brings_the_main_picture_with_the_sub_picture_in_between():
    stage_point, thumbs = places(selected=0)
    x, y = ctx["win"].to_screen(thumbs[2])
    clicked = {}

    def click():
        clicked["at"] = time.monotonic()
        ctx["bed"].mouse_click(x, y)

    act_until(click, lambda: selected_camera() == "Charlie", "SelectedCamera becomes Charlie",
              attempts=4, per_attempt=10)
    # From the end of the tiles' slide (220 ms) on, every screenshot shows
    # Charlie on the stage: its sub picture (scaled up), then its main one.
    seen = []
    while True:
        now = time.monotonic() - clicked["at"]
        stage, _ = colours(selected=2)
        if now >= 0.5:
            seen.append((round(now, 2), stage))
            assert close(stage, SHOWN["green"]) or close(stage, SHOWN["white"]), \
                "the stage at %.2f s after the click is neither Charlie's sub nor main picture: %s" \
                % (now, seen)
        if close(stage, SHOWN["white"]) and now >= 0.5:
            break
        assert now < 20, "Charlie's main picture did not reach the stage: %s" % seen
    print("  Charlie's main picture on the stage %.2f s after the click; stage colours: %s"
          % (seen[-1][0], seen), flush=True)
    if seen[-1][0] > 1.5:
        assert any(close(colour, SHOWN["green"]) for _, colour in seen), \
            "no screenshot showed Charlie's sub picture during the switch: %s" % seen

    # Alpha, now a thumbnail, goes over to its sub stream; Charlie's sub
    # connection and Alpha's main one close.
    wait_until(lambda: close(colours(selected=2)[1][0], SHOWN["green"]), 30, interval=0.5,
               what="Alpha's sub picture in its thumbnail")
    wait_until(lambda: playing() == {"/alphasub", "/bravosub", "/charlie", "/delta"}, 30,
               interval=0.5, what="Charlie's sub and Alpha's main connections closed")


if __name__ == "__main__":
    run(setup, teardown)
