"""The main window's commands in the running program, with three cameras:
the Cameras menu selects a camera, Mute and Always on top toggle (the file,
the window's topmost style and the View menu's marks follow), minimizing
neither saves nor disturbs the layout, Reload takes a camera list edited on
disk, and closing stores the selected camera's zoom and pan, which the next
start uses.

One camera is chosen from the Cameras menu with the keyboard; the other
commands are sent as a menu choice sends them (WM_COMMAND with lParam 0).
What follows is read back from config.json, the window list, the menus as
they look on screen when opened (their check marks) and the camera servers'
connections. Run with /usr/bin/python3.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run, act_until, poll  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
import winbed  # noqa: E402
from winbed import Bed, wait_until  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
NAMES = ["Alpha", "Bravo", "Charlie"]  # already in the program's (sorted) order
VIDEO = (256, 144)  # both multiples of 16: decoded at exactly this size
CMD_RELOAD, CMD_ALWAYS_ON_TOP, CMD_MUTE, CMD_CAMERA = 2, 3, 7, 2000
WS_MINIMIZE, WS_EX_TOPMOST = 0x20000000, 0x8
SW_MINIMIZE, SW_RESTORE = 6, 9
ctx = {}


# -- helpers -------------------------------------------------------------------

def bed():
    return ctx["bed"]


def main_window(timeout=240):
    """The main window as last listed; listed again after refresh_window()."""
    if ctx.get("window") is None:
        ctx["window"] = bed().wait_window(cls=MAIN_CLASS, timeout=timeout)
    return ctx["window"]


def refresh_window():
    ctx["window"] = None
    return main_window()


def config():
    try:
        return bed().read_config() or {}
    except ValueError:
        return {}


def camera(name):
    for cam in config().get("Cameras", []):
        if cam.get("Name") == name:
            return cam
    return None


def saved_view(name):
    """(Zoom, PanX, PanY) of the camera's saved entry; None when absent."""
    cam = camera(name)
    try:
        return float(cam["Zoom"]), float(cam["PanX"]), float(cam["PanY"])
    except (KeyError, TypeError, ValueError):
        return None


def wait_config(predicate, what, timeout=90):
    def check():
        try:
            return predicate(config())
        except (KeyError, IndexError, TypeError):
            return False
    return wait_until(check, timeout, interval=0.1, what=what)


def scaled(value, dpi=96):
    return (value * dpi + 48) // 96


def strip_width(client_width):
    return min(client_width // 3, scaled(240))


def thumbnail_centres(client_width, count, selected):
    """Client-pixel centres of the strip's thumbnails, by slot position."""
    gap = scaled(4)
    thumb_w = strip_width(client_width) - 2 * gap
    thumb_h = (thumb_w * 9 + 8) // 16
    centres = {}
    y = gap
    for p in range(count):
        if p == selected:
            continue
        centres[p] = (gap + thumb_w // 2, y + thumb_h // 2)
        y += thumb_h + gap
    return centres


def to_screen(point):
    """Client point of the main window -> screen point: the window rectangle
    minus an even frame and the menu bar above the client area."""
    win = main_window()
    left, top, right, bottom = win.rect
    cw, ch = win.client
    border = max(0, ((right - left) - cw) // 2)
    return left + border + point[0], bottom - border - ch + point[1]


def move_to(x, y):
    bed().move_pointer(x, y)


def click(point):
    move_to(*to_screen(point))
    bed().xdotool("click", 1)


def wheel_up(point):
    move_to(*to_screen(point))
    bed().xdotool("click", 4)


def drag(start, delta):
    """Left button down at start, moved by delta in three steps, released."""
    x, y = to_screen(start)
    move_to(x, y)
    bed().xdotool("mousedown", 1)
    for i in (1, 2, 3):
        move_to(x + delta[0] * i // 3, y + delta[1] * i // 3)
    bed().xdotool("mouseup", 1)


def file_state():
    path = bed().config_path
    with open(path, "rb") as f:
        return os.stat(path).st_mtime_ns, f.read()


# -- the menu bar, as the user sees it -------------------------------------------
# Another process cannot read this window's menus under Wine (the menu handle's
# items are not reachable from outside), so menus are opened from the keyboard
# and looked at: a popup is a top-level window of class "#32768"; its items are
# rows of equal height inside a frame of 3 pixels, the check mark sits in the
# row's leftmost 12 pixels, the text starts to the right of it.
POPUP_CLASS = "#32768"
POPUP_FRAME = 3
CHECK_COLUMN = 12


def popup_window():
    return bed().find_window(cls=POPUP_CLASS)


def point_into_window():
    # Without a window manager the keyboard follows the pointer.
    client = main_window().client
    move_to(*to_screen((client[0] - 40, client[1] - 40)))


def close_menu():
    for _ in range(4):
        bed().key("Escape")
        bed().key("Escape")
        if poll(lambda: popup_window() is None, 10):
            return
    raise AssertionError("a menu stays open")


def open_menu(letter):
    """Opens a menu bar popup with Alt and its letter; the popup's first item
    is highlighted. Returns the popup window."""
    point_into_window()
    for attempt in range(1, 5):
        bed().key("alt+" + letter)
        if poll(lambda: popup_window() is not None, 10):
            if attempt > 1:
                print("  menu %s opened after %d attempts" % (letter, attempt), flush=True)
            return popup_window()
        close_menu()
    raise AssertionError("menu %s does not open" % letter)


def row_checks(popup, rows):
    """Whether each row (top, bottom) of the popup shows a check mark; None
    while the popup is not painted yet."""
    left, top, right, bottom = popup.rect
    pixels = bed().grab()
    inner = range(left + POPUP_FRAME, right - POPUP_FRAME)
    colours = {}
    for y in range(top + POPUP_FRAME, bottom - POPUP_FRAME):
        for x in inner:
            c = pixels.at(x, y)
            colours[c] = colours.get(c, 0) + 1
    if sum(max(colours, key=colours.get)) < 600:
        return None  # the menu's light background is not there yet
    result = []
    for y0, y1 in rows:
        band = {}
        for y in range(y0, y1):
            for x in inner:
                c = pixels.at(x, y)
                band[c] = band.get(c, 0) + 1
        background = max(band, key=band.get)
        marks = sum(1 for y in range(y0, y1)
                    for x in range(left + POPUP_FRAME, left + POPUP_FRAME + CHECK_COLUMN)
                    if sum(abs(a - b) for a, b in zip(pixels.at(x, y), background)) > 150)
        result.append(marks >= 4)
    return result


def wait_checks(popup, rows, expected, what, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        seen = row_checks(popup, rows)
        if seen == expected:
            return
        if time.monotonic() > deadline:
            raise AssertionError("%s checks %r, expected %r" % (what, seen, expected))
        time.sleep(0.2)


def cameras_rows(popup, count):
    left, top, right, bottom = popup.rect
    inner = bottom - top - 2 * POPUP_FRAME
    if "row" not in ctx:
        assert inner % count == 0 and 12 <= inner // count <= 40, (popup.rect, count)
        ctx["row"] = inner // count
    row = ctx["row"]
    assert inner == count * row, "Cameras menu %r is not %d items high" % (popup.rect, count)
    return [(top + POPUP_FRAME + i * row, top + POPUP_FRAME + (i + 1) * row)
            for i in range(count)]


def check_cameras_menu(count, selected):
    """The Cameras menu has count items and only the selected one is checked."""
    popup = open_menu("c")
    try:
        rows = cameras_rows(popup, count)
        wait_checks(popup, rows, [p == selected for p in range(count)], "Cameras menu")
    finally:
        close_menu()


def check_view_marks(muted, on_top):
    """The View menu's first item (Mute audio) and last (Always on top)."""
    if "row" not in ctx:
        check_cameras_menu(len(ctx["names"]), ctx["selected"])
    popup = open_menu("v")
    try:
        left, top, right, bottom = popup.rect
        row = ctx["row"]
        rows = [(top + POPUP_FRAME, top + POPUP_FRAME + row),
                (bottom - POPUP_FRAME - row, bottom - POPUP_FRAME)]
        wait_checks(popup, rows, [muted, on_top], "View menu (Mute audio, Always on top)")
    finally:
        close_menu()


def choose_camera_from_menu(position, name):
    """Alt+C, down to the item, Enter: the user's own way to the command."""
    def choose():
        open_menu("c")
        for _ in range(position):
            bed().key("Down")
        bed().key("Return")
    act_until(choose, lambda: config().get("SelectedCamera") == name,
              "SelectedCamera %s chosen from the Cameras menu" % name, attempts=4,
              per_attempt=10)
    if popup_window() is not None:
        close_menu()


def start_tavik():
    bed().start_tavik()
    return refresh_window()


# -- set-up --------------------------------------------------------------------

def setup():
    b = Bed()
    ctx["bed"] = b
    b.start()
    size = "width=%d,height=%d,fps=10,bitrate=120" % VIDEO
    _, ctx["port"] = b.start_camserver(["%s=h264,%s" % (n.lower(), size) for n in NAMES])
    _, ctx["port2"] = b.start_camserver(["delta=h264,%s" % size])
    b.write_config({
        "Cameras": [{"Name": n, "Url": "rtsp://127.0.0.1:%d/%s" % (ctx["port"], n.lower()),
                     "Zoom": 1, "PanX": 0.5, "PanY": 0.5} for n in NAMES],
        "SelectedCamera": "Alpha",
        "WindowLeft": 20, "WindowTop": 20, "WindowWidth": 1000, "WindowHeight": 660,
    })
    start_tavik()
    ctx["names"], ctx["selected"] = NAMES, 0
    wait_until(lambda: winbed.rtsp_connections(ctx["port"]) >= 3, 90,
               what="three RTSP connections")


def teardown():
    if ctx.get("bed") is not None:
        ctx["bed"].stop()


# -- cases ---------------------------------------------------------------------

@case
def cameras_menu_selects_and_marks_the_selected_camera():
    main = main_window()
    choose_camera_from_menu(2, "Charlie")
    check_cameras_menu(3, selected=2)
    bed().command(main, CMD_CAMERA + 1)  # as the menu item sends it
    wait_config(lambda c: c["SelectedCamera"] == "Bravo", "SelectedCamera Bravo saved")
    check_cameras_menu(3, selected=1)
    ctx["selected"] = 1


@case
def mute_toggles_and_is_saved():
    main = main_window()
    assert config().get("Muted") is False
    bed().command(main, CMD_MUTE)
    wait_config(lambda c: c["Muted"] is True, "Muted true")
    check_view_marks(muted=True, on_top=False)
    bed().command(main, CMD_MUTE)
    wait_config(lambda c: c["Muted"] is False, "Muted false again")


@case
def always_on_top_toggles_the_topmost_style_and_is_saved():
    main = main_window()
    assert not main.exstyle & WS_EX_TOPMOST
    bed().command(main, CMD_ALWAYS_ON_TOP)
    wait_config(lambda c: c["AlwaysOnTop"] is True, "AlwaysOnTop true")
    wait_until(lambda: refresh_window().exstyle & WS_EX_TOPMOST, 20, what="WS_EX_TOPMOST set")
    # Mute's mark is gone with Mute, this one is set.
    check_view_marks(muted=False, on_top=True)
    bed().command(main, CMD_ALWAYS_ON_TOP)
    wait_config(lambda c: c["AlwaysOnTop"] is False, "AlwaysOnTop false again")
    wait_until(lambda: not refresh_window().exstyle & WS_EX_TOPMOST, 20,
               what="WS_EX_TOPMOST cleared")


@case
def minimized_window_saves_nothing_and_restores_its_layout():
    main = main_window()
    client = main.client
    before = file_state()
    bed().show(main, SW_MINIMIZE)
    wait_until(lambda: refresh_window().style & WS_MINIMIZE, 20, what="window minimized")
    # Several refresh periods pass while minimized: the file stays as it was.
    deadline = time.monotonic() + 4.0
    while time.monotonic() < deadline:
        assert file_state() == before, "config.json rewritten while minimized"
        time.sleep(0.2)
    bed().show(main, SW_RESTORE)

    def restored():
        win = refresh_window()
        return not win.style & WS_MINIMIZE and win.client == client
    wait_until(restored, 20, what="window restored to its client size %r" % (client,))
    assert file_state() == before, "config.json rewritten by minimize and restore"
    # The tiles are where they were: a click on Alpha's thumbnail selects it.
    centres = thumbnail_centres(client[0], len(NAMES), ctx["selected"])
    act_until(lambda: click(centres[0]), lambda: config().get("SelectedCamera") == "Alpha",
              "SelectedCamera becomes Alpha after restore", attempts=4, per_attempt=10)
    ctx["selected"] = 0


@case
def reload_takes_the_camera_list_from_the_file():
    main = main_window()
    port, port2 = ctx["port"], ctx["port2"]
    # Charlie leaves, Delta (on the second camera server) comes in.
    edited = config()
    edited["Cameras"] = [c for c in edited["Cameras"] if c["Name"] != "Charlie"]
    edited["Cameras"].append({"Name": "Delta", "Url": "rtsp://127.0.0.1:%d/delta" % port2,
                              "Zoom": 1, "PanX": 0.5, "PanY": 0.5})
    edited["SelectedCamera"] = "Alpha"
    bed().write_config(edited)
    assert winbed.rtsp_connections(port2) == 0
    bed().command(main, CMD_RELOAD)
    wait_until(lambda: winbed.rtsp_connections(port2) == 1, 60, what="Delta connected")
    wait_until(lambda: winbed.rtsp_connections(port) == 2, 60,
               what="Alpha and Bravo connected, Charlie's connection gone")
    names = ["Alpha", "Bravo", "Delta"]
    bed().command(main, CMD_CAMERA + 2)
    wait_config(lambda c: c["SelectedCamera"] == "Delta", "SelectedCamera Delta saved")
    check_cameras_menu(3, selected=2)
    assert [c["Name"] for c in config()["Cameras"]] == names
    # Charlie stays away.
    assert not poll(lambda: winbed.rtsp_connections(port) > 2, 3.0), "a third connection"
    ctx["names"] = names
    ctx["selected"] = 2


def pan_bounds(zoom, client, axis):
    """The pan centres the zoom allows on the stage of a three-tile layout:
    half the visible fraction of the picture from either edge."""
    cw, ch = client
    tile = (cw - strip_width(cw), ch)
    fit = min(tile[0] / VIDEO[0], tile[1] / VIDEO[1])
    visible = min(1.0, tile[axis] / (fit * zoom * VIDEO[axis]))
    return visible / 2 - 1e-6, 1 - visible / 2 + 1e-6


@case
def close_stores_zoom_and_pan_and_the_next_start_uses_them():
    name = "Delta"
    client = main_window().client
    stage = ((strip_width(client[0]) + client[0]) // 2, client[1] // 2)

    # Zoom past 1.25^3 (the picture then overflows the stage both ways).
    def saved_zoom():
        view = saved_view(name)
        return view[0] if view else 1.0
    while saved_zoom() < 1.9:
        last = saved_zoom()
        act_until(lambda: wheel_up(stage), lambda: saved_zoom() > last,
                  "%s's saved Zoom grows from %.3f" % (name, last), attempts=8, per_attempt=10)
    zoom = saved_zoom()
    assert zoom < 10.0, zoom

    # Drag the picture up and left: the view moves right and down.
    zoomed = saved_view(name)
    def moved():
        view = saved_view(name)
        return view and view[1] > zoomed[1] + 0.01 and view[2] > zoomed[2] + 0.01
    act_until(lambda: drag(stage, (-90, -60)), moved,
              "%s's saved pan moves right and down" % name, attempts=4, per_attempt=10)
    panned = saved_view(name)
    assert panned[0] == zoom, (panned, zoom)

    # The file on disk forgets the view; closing writes the live one back.
    forgotten = config()
    for cam in forgotten["Cameras"]:
        if cam["Name"] == name:
            cam.update({"Zoom": 1, "PanX": 0.5, "PanY": 0.5})
    bed().write_config(forgotten)
    assert bed().close_tavik(timeout=60) == 0
    closed = saved_view(name)
    assert closed == panned, (closed, panned)
    assert config()["SelectedCamera"] == name
    _, pan_x, pan_y = closed
    lo, hi = pan_bounds(zoom, client, 0)
    assert lo <= pan_x <= hi, (pan_x, lo, hi)
    assert 1.0 / (2 * zoom) - 1e-9 <= pan_x <= 1 - 1.0 / (2 * zoom) + 1e-9, (pan_x, zoom)
    lo, hi = pan_bounds(zoom, client, 1)
    assert lo <= pan_y <= hi, (pan_y, lo, hi)
    for other in ("Alpha", "Bravo"):
        assert saved_view(other) == (1.0, 0.5, 0.5), (other, saved_view(other))

    # The next start selects the camera with that view; closing again keeps it.
    start_tavik()
    wait_until(lambda: winbed.rtsp_connections(ctx["port2"]) == 1, 90, what="Delta connected")
    assert bed().close_tavik(timeout=60) == 0
    again = saved_view(name)
    assert again == closed, (again, closed)
    assert config()["SelectedCamera"] == name


if __name__ == "__main__":
    run(setup, teardown)
