"""The grid in the running program, with nine cameras: View > Grid shows them
in a 3 x 3 grid; a click on tile 5 selects that camera (saved, and its tile
gets the selection border); a double-click shows it alone, filling the
window, and Escape returns to the grid; the key 3 selects camera 3 and G
goes back to stage and strip. The grid is remembered: G again, a restart,
and the grid is back.

Every camera shows solid blue but camera 3 (white) and camera 5 (red), so a
screenshot tells which camera is where. The saved state is read from
config.json. Run with /usr/bin/python3.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, act_until, case, run, wait_until  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed, grid_tiles  # noqa: E402

NAMES = ["Cam %d" % (i + 1) for i in range(9)]  # already in the program's order
PATTERN = {"Cam 3": "white", "Cam 5": "red"}
SHOWN = {"blue": (0, 15, 255), "red": (255, 24, 0), "white": (255, 255, 255)}
BORDER = (77, 194, 255)  # the selection border (the navigator's view colour)
CLEAR = (17, 21, 26)
CMD_GRID = 9
ctx = {}


def close(colour, expected, tolerance=40):
    return all(abs(c - e) <= tolerance for c, e in zip(colour, expected))


def colour_of(name):
    return SHOWN[PATTERN.get(name, "blue")]


def main_window():
    return ctx["bed"].wait_window(cls="Orbisfield.Tavik", timeout=240)


def pixel_reader():
    ox, oy = ctx["win"].to_screen((0, 0))
    shot = ctx["bed"].grab()
    return lambda x, y: shot.at(ox + x, oy + y)


def click(x, y, double=False):
    # move_pointer steps aside first when the pointer is already there (a
    # synced move to where it is would wait for a motion that never comes).
    bed = ctx["bed"]
    bed.move_pointer(x, y)
    if double:
        bed.xdotool("click", "--repeat", 2, "--delay", 80, 1)
    else:
        bed.xdotool("click", 1)


def centre(rect):
    return (rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2


def tiles():
    return grid_tiles(ctx["win"].client, len(NAMES))[1]


def grid_on_screen():
    """Every tile's centre shows its camera, and the gaps between the first
    row's tiles the window's background."""
    pixel = pixel_reader()
    rects = tiles()
    if not all(close(pixel(*centre(r)), colour_of(n)) for r, n in zip(rects, NAMES)):
        return False
    return all(close(pixel(r[2] + 2, centre(r)[1]), CLEAR, 12) for r in rects[:2])


def config():
    return ctx["bed"].read_config() or {}


def start_tavik():
    ctx["bed"].start_tavik()
    ctx["win"] = main_window()


def setup():
    bed = Bed()
    ctx["bed"] = bed
    bed.start()
    mounts = ["c%d=h264,width=320,height=180,fps=10,bitrate=100,pattern=%s"
              % (i + 1, PATTERN.get(n, "blue")) for i, n in enumerate(NAMES)]
    _, port = bed.start_camserver(mounts)
    bed.write_config({
        "Cameras": [{"Name": n, "Url": "rtsp://127.0.0.1:%d/c%d" % (port, i + 1)}
                    for i, n in enumerate(NAMES)],
        "SelectedCamera": "Cam 1",
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 660,
    })
    start_tavik()


def teardown():
    bed = ctx.get("bed")
    if bed is not None:
        bed.stop()


@case
def view_grid_shows_every_camera_in_three_by_three():
    assert grid_tiles(ctx["win"].client, 9)[0] == (3, 3)
    assert ctx["bed"].command(ctx["win"], CMD_GRID), "View > Grid could not be sent"
    wait_until(grid_on_screen, 90, interval=0.5, what="the nine cameras in a 3 x 3 grid")
    wait_until(lambda: config().get("ViewLayout") == "Grid", 30, interval=0.3,
               what='ViewLayout "Grid" saved')


@case
def click_selects_double_click_fills_escape_returns():
    bed = ctx["bed"]
    fifth = tiles()[4]
    x, y = ctx["win"].to_screen(centre(fifth))
    act_until(lambda: click(x, y), lambda: config().get("SelectedCamera") == "Cam 5",
              "SelectedCamera becomes Cam 5", attempts=4, per_attempt=10)
    wait_until(lambda: close(pixel_reader()(fifth[0] + 1, centre(fifth)[1]), BORDER), 30,
               interval=0.3, what="the selection border on tile 5")

    first = centre(tiles()[0])
    act_until(lambda: click(x, y, double=True),
              lambda: close(pixel_reader()(*first), colour_of("Cam 5")),
              "Cam 5 alone filling the window", attempts=4, per_attempt=10)
    act_until(lambda: bed.key("Escape"), grid_on_screen, "back to the grid after Escape",
              attempts=4, per_attempt=10)


@case
def keys_select_and_leave_the_grid_which_is_remembered():
    bed = ctx["bed"]
    act_until(lambda: bed.key("3"), lambda: config().get("SelectedCamera") == "Cam 3",
              "the key 3 selects Cam 3", attempts=4, per_attempt=10)

    # G: stage and strip, with Cam 3 on the stage.
    cw, ch = ctx["win"].client
    strip = min(cw // 3, 240)
    stage = (strip + (cw - strip) // 2, ch // 2)
    act_until(lambda: bed.key("g"), lambda: config().get("ViewLayout") is None
              and close(pixel_reader()(*stage), colour_of("Cam 3")),
              "stage and strip after G, Cam 3 on the stage", attempts=4, per_attempt=10)

    act_until(lambda: bed.key("g"), lambda: config().get("ViewLayout") == "Grid",
              "the grid again after G", attempts=4, per_attempt=10)
    bed.close_tavik()
    start_tavik()
    wait_until(grid_on_screen, 90, interval=0.5, what="the grid after a restart")


if __name__ == "__main__":
    run(setup, teardown)
