"""Whole behaviours of the application shell under Wine: first run, the
Settings dialog, the About box, saving on close, the camera order and the
safety of config.json when the program is killed while saving."""
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import case, run, wait_until  # noqa: E402
import winbed  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
SETTINGS_TITLE = "Tavik - Settings"

bed = None
cam_port = None


def setup():
    global bed, cam_port
    bed = winbed.Bed()
    bed.start()
    _, cam_port = bed.start_camserver(["porch=h264,width=320,height=240,fps=10",
                                       "yard=h264,width=320,height=240,fps=10"])


def teardown():
    if bed is not None:
        bed.stop()


def cam_url(name):
    return "rtsp://127.0.0.1:%d/%s" % (cam_port, name)


def config_with(cameras, **fields):
    cfg = {"Cameras": [{"Name": n, "Url": u} for n, u in cameras]}
    cfg.update(fields)
    return cfg


def start_fresh(config):
    """Starts Tavik on the given config (None: no file) and returns its main window."""
    if config is None:
        bed.remove_config()
    else:
        bed.write_config(config)
    bed.start_tavik()
    return bed.wait_window(cls=MAIN_CLASS, title="Tavik", timeout=90)


def close_and_read():
    code = bed.close_tavik(timeout=90)
    assert code == 0, "Tavik exit code %r" % (code,)
    cfg = bed.read_config()
    assert cfg is not None, "config.json missing after close"
    return cfg


@case
def first_run_settings_add_camera_connects():
    try:
        main = start_fresh(None)
        assert main.client[0] > 0
        # 520 x 330 by default (no window manager: the window rect is the size given).
        assert (main.rect[2] - main.rect[0], main.rect[3] - main.rect[1]) == (520, 330), main.rect
        dlg = bed.wait_window(title=SETTINGS_TITLE, timeout=120)
        for cid in (1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1, 2):
            assert dlg.child(cid) is not None, "control %d missing" % cid
        assert dlg.child(1008).text == "Discover from Console..."
        assert dlg.child(1005).text == "Add" and dlg.child(2).text == "Cancel"
        assert bed.list_items(dlg, 1002) == []

        # Add with an empty URL does nothing; then a real camera.
        bed.set_text(dlg, 1003, "Porch")
        bed.click(dlg, 1005)
        bed.set_text(dlg, 1004, cam_url("porch"))
        bed.click(dlg, 1005)
        line = "Porch  \u2014  " + cam_url("porch")
        wait_until(lambda: bed.list_items(dlg, 1002) == [line], 20, what="list line")
        assert winbed.rtsp_connections(cam_port) == 0
        bed.click(dlg, 1)
        bed.wait_gone(title=SETTINGS_TITLE)
        cfg = wait_until(bed.read_config, 20, what="config.json")
        assert [c["Url"] for c in cfg["Cameras"]] == [cam_url("porch")], cfg
        assert cfg["Cameras"][0]["Name"] == "Porch"
        wait_until(lambda: winbed.rtsp_connections(cam_port) >= 1, 60,
                   what="an RTSP connection to the camera")
        cfg = close_and_read()
        assert cfg["WindowWidth"] == 520 and cfg["WindowHeight"] == 330, cfg
        assert cfg["WindowMaximized"] is False
        # The client is gone with the program.
        wait_until(lambda: winbed.rtsp_connections(cam_port) == 0, 30, what="connection closed")
    finally:
        bed.kill_tavik()


@case
def settings_cancel_and_about_box():
    try:
        start_fresh(config_with([("Porch", cam_url("porch"))], SelectedCamera="Porch"))
        main = bed.wait_window(cls=MAIN_CLASS)
        # One camera configured: no Settings dialog by itself (the client
        # connects only after the point where the dialog would have opened).
        wait_until(lambda: winbed.rtsp_connections(cam_port) >= 1, 60, what="a connection")
        assert bed.find_window(title=SETTINGS_TITLE) is None
        bed.command(main, 1)  # File > Settings
        dlg = bed.wait_window(title=SETTINGS_TITLE, timeout=120)
        assert bed.list_items(dlg, 1002) == ["Porch  \u2014  " + cam_url("porch")]
        bed.select_line(dlg, 1002, 0)
        wait_until(lambda: bed.wait_window(title=SETTINGS_TITLE).child(1003).text == "Porch", 20,
                   what="name field filled from the list")
        bed.click(dlg, 1007)  # Remove
        wait_until(lambda: bed.list_items(dlg, 1002) == [], 20, what="line removed")
        before = bed.config_text()
        bed.click(dlg, 2)  # Cancel leaves everything as it was
        bed.wait_gone(title=SETTINGS_TITLE)
        assert bed.config_text() == before

        bed.command(main, 8)  # Help > About
        about = bed.wait_window(title="About Tavik", timeout=120)
        texts = [c.text for c in about.children]
        assert any(t.startswith("Tavik \u2014 Orbisfield\n\nLive view of your UniFi Protect cameras.\n")
                   and "hand-rolled RTSP \u00b7 Media Foundation \u00b7 Direct3D 11" in t
                   for t in texts), texts
        ok = [c for c in about.children if c.text == "OK"]
        assert ok
        bed.click(about, ok[0].id)
        bed.wait_gone(title="About Tavik")
        close_and_read()
    finally:
        bed.kill_tavik()


@case
def close_saves_placement_selection_and_sorted_order():
    try:
        cfg = config_with([("b", cam_url("porch")), ("A", cam_url("yard")), ("c", cam_url("porch"))],
                          SelectedCamera="b", WindowLeft=100, WindowTop=80,
                          WindowWidth=700, WindowHeight=420)
        main = start_fresh(cfg)
        # The saved position and size are used.
        wait_until(lambda: bed.find_window(cls=MAIN_CLASS).rect == (100, 80, 800, 500), 20,
                   what="window at the saved rectangle")
        # Every camera connects.
        wait_until(lambda: winbed.rtsp_connections(cam_port) >= 3, 60, what="three connections")
        bed.move(main, 150, 90, 640, 400)
        wait_until(lambda: bed.find_window(cls=MAIN_CLASS).rect == (150, 90, 790, 490), 20,
                   what="window moved")
        # Cameras menu item 2000 = the first tile after sorting: "A".
        bed.command(main, 2000)
        wait_until(lambda: (bed.read_config() or {}).get("SelectedCamera") == "A", 20,
                   what="selection saved at once")
        saved = close_and_read()
        assert [c["Name"] for c in saved["Cameras"]] == ["A", "b", "c"], saved["Cameras"]
        assert saved["SelectedCamera"] == "A"
        assert (saved["WindowLeft"], saved["WindowTop"]) == (150, 90), saved
        assert (saved["WindowWidth"], saved["WindowHeight"]) == (640, 400), saved
        assert saved["Cameras"][0]["Zoom"] == 1 and saved["Cameras"][0]["PanX"] == 0.5
    finally:
        bed.kill_tavik()


@case
def maximized_and_lost_monitor_positions():
    try:
        # A position on no monitor is ignored; the saved size stays.
        start_fresh(config_with([("A", cam_url("yard"))], WindowLeft=5000, WindowTop=4000,
                                WindowWidth=600, WindowHeight=380))
        main = bed.find_window(cls=MAIN_CLASS)
        assert (main.rect[2] - main.rect[0], main.rect[3] - main.rect[1]) == (600, 380), main.rect
        assert main.rect[0] < 1280 and main.rect[1] < 800, main.rect
        close_and_read()

        # Maximized: opens maximized; closing keeps the normal rectangle.
        start_fresh(config_with([("A", cam_url("yard"))], WindowMaximized=True, WindowLeft=60,
                                WindowTop=50, WindowWidth=640, WindowHeight=400))
        wait_until(lambda: bed.find_window(cls=MAIN_CLASS).style & 0x01000000, 20,
                   what="WS_MAXIMIZE")
        saved = close_and_read()
        assert saved["WindowMaximized"] is True, saved
        assert (saved["WindowLeft"], saved["WindowTop"], saved["WindowWidth"],
                saved["WindowHeight"]) == (60, 50, 640, 400), saved
    finally:
        bed.kill_tavik()


@case
def kill_during_saves_never_corrupts_config():
    rng = random.Random(7)
    cameras = [("Cam %02d" % i, cam_url("porch" if i % 2 else "yard")) for i in range(6)]
    bed.write_config(config_with(cameras, SelectedCamera="Cam 03"))
    try:
        for round_ in range(4):
            bed.start_tavik()
            main = bed.wait_window(cls=MAIN_CLASS, timeout=90)
            # Hundreds of saves queued (Mute toggled, a camera selected), and the
            # program killed at a random moment while it works through them.
            bed.command(main, 2000 + rng.randrange(6))
            bed.command(main, 7, count=400)
            time.sleep(rng.uniform(0.05, 0.6))
            bed.kill_tavik()
            cfg = bed.read_config()  # must parse
            assert cfg is not None, "config.json gone after kill in round %d" % round_
            names = [c["Name"] for c in cfg["Cameras"]]
            assert names == ["Cam %02d" % i for i in range(6)], names
    finally:
        bed.kill_tavik()


if __name__ == "__main__":
    run(setup, teardown)
