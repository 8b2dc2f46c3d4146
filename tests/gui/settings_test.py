"""A first run as the user meets it, against the stand-in console
(tests/bed/console.py on 127.0.0.1:443) and test cameras on 127.0.0.1:7447:

- with no config.json the Settings dialog opens by itself; its "Discover from
  Console..." button opens the Discover dialog on top of it; a discovery
  there refills Settings' camera list and saves the console sign-in at once,
  but the cameras stay out of config.json, and Settings' Cancel drops them;
- the window then shows no cameras; the right-click menu's "Settings…" opens
  Settings again, a second discovery signs in with what was saved, and OK
  puts the cameras into config.json and connects them;
- the right-click menu then lists the cameras, and choosing one selects it
  (saved as SelectedCamera).

The right-click menu is used with the pointer, as a user does. Run with
/usr/bin/python3.
"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, act_until, case, poll, run, stop, wait_until  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
from winbed import Bed, rtsp_connections  # noqa: E402
from console_bed import start_cameras, start_console  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
SETTINGS = "Tavik - Settings"
DISCOVER = "Discover Cameras from Console"
POPUP_CLASS = "#32768"
POPUP_FRAME = 3
ID_LIST, ID_DISCOVER_BUTTON, ID_OK, ID_CANCEL = 1002, 1008, 1, 2
ID_HOST, ID_USER, ID_PASSWORD, ID_STATUS, ID_DISCOVER = 1020, 1021, 1022, 1024, 1025
CAMERA_PORT = 7447  # the plain RTSP port of console cameras
# Settings' lines for the console's cameras that have a stream, in the console's order.
DISCOVERED_LINES = ["Porch  \u2014  rtsps://127.0.0.1:7441/porch?enableSrtp",
                    "Garage  \u2014  rtsps://127.0.0.1:7441/garage?enableSrtp"]
ctx = {}


def bed():
    return ctx["bed"]


def config():
    try:
        return bed().read_config() or {}
    except ValueError:  # caught half-written
        return {}


def same_handle(a, b):
    return int(a, 16) == int(b, 16)


def to_screen(point):
    """Client point of the main window -> screen point: the window rectangle
    minus an even frame and the menu bar above the client area."""
    win = bed().wait_window(cls=MAIN_CLASS)
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def popup():
    return bed().find_window(cls=POPUP_CLASS)


def open_context_menu():
    """Right-clicks the middle of the window; returns the menu's window."""
    win = bed().wait_window(cls=MAIN_CLASS)
    x, y = to_screen((win.client[0] // 2, win.client[1] // 2))

    def right_click():
        bed().move_pointer(x, y)
        bed().xdotool("click", 3)

    act_until(right_click, lambda: popup() is not None, "the right-click menu opens",
              attempts=4, per_attempt=10)
    return popup()


def choose(menu, y, done, what):
    """Clicks the menu's row at screen height y until done() holds."""
    x = (menu.rect[0] + menu.rect[2]) // 2

    def click():
        if popup() is None:  # the menu went away without the effect: open it again
            open_context_menu()
        bed().move_pointer(x, y)
        bed().xdotool("click", 1)

    act_until(click, done, what, attempts=3, per_attempt=10)
    wait_until(lambda: popup() is None, 20, what="the menu to close")


def inner_height(menu):
    return menu.rect[3] - menu.rect[1] - 2 * POPUP_FRAME


def choose_settings(menu):
    """"Settings…" is the menu's last row."""
    choose(menu, menu.rect[3] - POPUP_FRAME - 6, lambda: bed().find_window(title=SETTINGS),
           "Settings opens from the right-click menu")
    return bed().wait_window(title=SETTINGS)


def discover_from(settings, host=None, user=None, password=None):
    """Settings' "Discover from Console..." and a successful discovery in the
    Discover dialog it opens (fields typed only where given)."""
    bed().click(settings, ID_DISCOVER_BUTTON)
    dialog = bed().wait_window(title=DISCOVER, timeout=60)
    # A dialog of its own, owned by Settings (Settings stays open beneath it).
    assert same_handle(dialog.owner, settings.hwnd), (dialog.owner, settings.hwnd)
    assert bed().find_window(title=SETTINGS) is not None
    for control, text in ((ID_HOST, host), (ID_USER, user), (ID_PASSWORD, password)):
        if text is not None:
            bed().set_text(dialog, control, text)
    bed().click(dialog, ID_DISCOVER)
    try:
        bed().wait_gone(title=DISCOVER, timeout=60)
    except AssertionError:
        win = bed().find_window(title=DISCOVER)
        raise AssertionError("the Discover dialog stays open, status %r"
                             % (win.child(ID_STATUS).text if win else None))
    wait_until(lambda: bed().list_items(settings, ID_LIST) == DISCOVERED_LINES, 30, interval=0.3,
               what="Settings' list refilled with the discovered cameras")


def no_connections(seconds):
    return not poll(lambda: rtsp_connections(CAMERA_PORT) > 0, seconds)


def setup():
    ctx["work"] = tempfile.mkdtemp(prefix="settings-test-")
    ctx["console"], ctx["log"] = start_console(ctx["work"], delay=0)
    b = Bed()
    ctx["bed"] = b
    b.start()
    start_cameras(b)
    b.remove_config()  # a first run
    b.start_tavik()


def teardown():
    if ctx.get("bed") is not None:
        ctx["bed"].stop()
    stop(ctx.get("console"))
    shutil.rmtree(ctx.get("work", ""), ignore_errors=True)


@case
def settings_cancel_after_a_discovery_keeps_the_sign_in_but_not_the_cameras():
    settings = bed().wait_window(title=SETTINGS, timeout=240)  # opened by itself
    assert bed().list_items(settings, ID_LIST) == []
    assert bed().config_text() is None, "config.json written before any change"

    discover_from(settings, host="127.0.0.1", user="viewer", password="secret")
    # The sign-in is saved at once; the cameras only live in Settings' list.
    cfg = wait_until(lambda: config().get("ConsoleHost") == "127.0.0.1" and config(), 30,
                     interval=0.2, what="the console host in config.json")
    assert cfg["ConsoleUser"] == "viewer", cfg
    assert cfg["ConsolePassEnc"] and "secret" not in bed().config_text(), cfg["ConsolePassEnc"]
    assert cfg["Cameras"] == [], cfg["Cameras"]
    assert bed().find_window(title=SETTINGS) is not None, "Settings closed with the discovery"
    assert no_connections(2), "a camera connected before Settings' OK"
    saved = bed().config_text()

    bed().click(settings, ID_CANCEL)
    bed().wait_gone(title=SETTINGS)
    assert no_connections(3), "a camera connected after Settings' Cancel"
    assert bed().config_text() == saved, "Cancel changed config.json"


@case
def right_click_settings_and_a_second_discovery_apply_the_cameras_on_ok():
    menu = open_context_menu()
    ctx["empty_menu_height"] = inner_height(menu)  # the hint, a separator, "Settings…"
    settings = choose_settings(menu)
    assert bed().list_items(settings, ID_LIST) == [], "Cancel kept the discovered cameras"

    # The Discover dialog starts from what the first discovery saved.
    bed().click(settings, ID_DISCOVER_BUTTON)
    dialog = bed().wait_window(title=DISCOVER, timeout=60)
    assert (dialog.child(ID_HOST).text, dialog.child(ID_USER).text) == ("127.0.0.1", "viewer")
    bed().click(dialog, 2)
    bed().wait_gone(title=DISCOVER)
    assert bed().list_items(settings, ID_LIST) == []
    discover_from(settings)  # with the saved password
    assert config()["Cameras"] == [], "the cameras reached config.json before OK"

    bed().click(settings, ID_OK)
    bed().wait_gone(title=SETTINGS)

    def applied():
        cams = config().get("Cameras") or []
        return {c.get("Name"): c.get("Url") for c in cams}
    cams = wait_until(applied, 30, interval=0.2, what="the cameras in config.json")
    assert cams == {"Porch": "rtsps://127.0.0.1:7441/porch?enableSrtp",
                    "Garage": "rtsps://127.0.0.1:7441/garage?enableSrtp"}, cams
    assert config()["ConsoleHost"] == "127.0.0.1"
    wait_until(lambda: rtsp_connections(CAMERA_PORT) == 2, 90, interval=0.5,
               what="both cameras connected on %d" % CAMERA_PORT)
    with open(ctx["log"], encoding="utf-8") as f:
        logins = sum(1 for line in f if "/api/auth/login" in line)
    assert logins == 2, logins


@case
def right_click_menu_selects_a_camera():
    # The tiles are in name order: Garage (0), Porch (1).
    selected = config().get("SelectedCamera")
    assert selected in ("", "Garage"), selected
    menu = open_context_menu()
    # Two camera rows, a separator and "Settings…": one row more than the
    # menu without cameras.
    row = inner_height(menu) - ctx["empty_menu_height"]
    assert 12 <= row <= 40, (menu.rect, ctx["empty_menu_height"])
    choose(menu, menu.rect[1] + POPUP_FRAME + row + row // 2,
           lambda: config().get("SelectedCamera") == "Porch",
           "SelectedCamera Porch chosen from the right-click menu")
    menu = open_context_menu()
    choose(menu, menu.rect[1] + POPUP_FRAME + row // 2, lambda: config().get("SelectedCamera") == "Garage",
           "SelectedCamera Garage chosen from the right-click menu")
    assert rtsp_connections(CAMERA_PORT) == 2


if __name__ == "__main__":
    run(setup, teardown)
