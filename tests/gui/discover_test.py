"""File > Discover from Console against the stand-in console (tests/bed/console.py on
127.0.0.1:443, the port the product uses) and test cameras on 127.0.0.1:7447
(the plain RTSP port of console cameras)."""
import hashlib
import json
import os
import ssl
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
from testlib import case, run, stop, wait_until  # noqa: E402
from winbed import Bed, rtsp_connections  # noqa: E402
from console_bed import start_cameras, start_console  # noqa: E402

DIALOG = "Discover Cameras from Console"
FAILED_LOGIN = "Failed: Login failed (HTTP 401). Check username/password."
CERT_CHANGED = ("Failed: The console's certificate has changed. "
                "Press Discover again to trust the new certificate.")


def fingerprint(cert_dir):
    """The pin of the certificate in cert_dir: SHA-256 of its DER form."""
    with open(os.path.join(cert_dir, "cert.pem"), encoding="ascii") as f:
        return hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest()


def logged(log):
    if not os.path.exists(log):
        return []
    with open(log, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def field(bed, dialog_title, control_id):
    win = bed.find_window(title=dialog_title)
    child = win.child(control_id) if win else None
    return child.text if child else None


@case
def discover_fails_then_fills_the_camera_list():
    work = tempfile.mkdtemp(prefix="discover-test-")
    console = None
    try:
        console, log = start_console(work)
        with Bed() as bed:
            start_cameras(bed)
            bed.write_config({"Cameras": [
                {"Name": "Porch", "Url": "rtsp://127.0.0.1:9/old", "Zoom": 3.5, "PanX": 0.25, "PanY": 0.75},
                {"Name": "By hand", "Url": "rtsp://127.0.0.1:9/hand"}],
                "ConsoleUser": "viewer"})
            bed.start_tavik()
            main = bed.wait_window(cls="Orbisfield.Tavik", timeout=120)
            bed.command(main, 5)
            dialog = bed.wait_window(title=DIALOG, timeout=60)
            # No stored host: the default console address; the stored user.
            assert dialog.child(1020).text == "192.168.1.1", dialog.child(1020).text
            assert dialog.child(1021).text == "viewer"
            assert dialog.child(1024).text == ""
            before = bed.config_text()

            bed.set_text(dialog, 1020, "127.0.0.1")
            bed.set_text(dialog, 1022, "wrong")
            cancel = dialog.child(2).rect
            bed.click(dialog, 1025)
            # While the console holds its answer back the dialog is blocked; a
            # click on Cancel meanwhile is dropped, not acted on afterwards.
            wait_until(lambda: os.path.exists(log) and "/api/auth/login" in open(log).read(), 60,
                       interval=0.2, what="the sign-in request")
            bed.mouse_click((cancel[0] + cancel[2]) // 2, (cancel[1] + cancel[3]) // 2)
            wait_until(lambda: field(bed, DIALOG, 1024) == FAILED_LOGIN, 90, interval=0.5,
                       what="the failure on the status line")
            dialog = bed.find_window(title=DIALOG)
            assert dialog is not None, "the dialog closed"
            assert dialog.child(1025).enabled, "Discover button stays disabled"
            assert bed.config_text() == before, "a failed discovery changed config.json"

            bed.set_text(dialog, 1022, "secret")
            bed.click(dialog, 1025)
            bed.wait_gone(title=DIALOG, timeout=90)

            def saved():
                cfg = bed.read_config()
                # The dialog saves the console fields first; the cameras follow.
                names = {c.get("Name") for c in cfg["Cameras"]} if cfg else set()
                return cfg if names == {"Porch", "Garage"} and cfg.get("ConsoleHost") == "127.0.0.1" else None

            cfg = wait_until(saved, 60, interval=0.5, what="the discovered cameras in config.json")
            cams = {c["Name"]: c for c in cfg["Cameras"]}
            assert set(cams) == {"Porch", "Garage"}, cfg["Cameras"]
            assert cams["Porch"]["Url"] == "rtsps://127.0.0.1:7441/porch?enableSrtp", cams["Porch"]
            assert (cams["Porch"]["Zoom"], cams["Porch"]["PanX"], cams["Porch"]["PanY"]) == (3.5, 0.25, 0.75)
            assert cams["Garage"]["Url"] == "rtsps://127.0.0.1:7441/garage?enableSrtp", cams["Garage"]
            assert (cams["Garage"]["Zoom"], cams["Garage"]["PanX"], cams["Garage"]["PanY"]) == (1, 0.5, 0.5)
            assert cfg["ConsoleUser"] == "viewer"
            assert cfg["ConsolePassEnc"] and "secret" not in bed.config_text(), cfg["ConsolePassEnc"]

            # The console saw the Garage camera switched on with its settings intact
            # (and Yard, which has no High channel, sent back unchanged).
            with open(log, encoding="utf-8") as f:
                patches = [json.loads(line) for line in f if '"PATCH"' in line]
            assert [p["path"] for p in patches] == ["/proxy/protect/api/cameras/g1",
                                                    "/proxy/protect/api/cameras/y1"], patches
            assert patches[0]["body"] == ('{"channels":[{"id":0,"name":"High","isRtspEnabled":true,'
                                          '"rtspAlias":"","bitrate":1234567.5}]}'), patches[0]["body"]

            # Both tiles connect to the cameras on the console's plain RTSP port.
            wait_until(lambda: rtsp_connections(7447) >= 2, 90, interval=1, what="two RTSP connections on 7447")
            bed.close_tavik()
    finally:
        stop(console)


@case
def a_changed_certificate_gets_no_password_until_accepted():
    work = tempfile.mkdtemp(prefix="discover-pin-test-")
    first_dir, second_dir = os.path.join(work, "first"), os.path.join(work, "second")
    console = None
    runs = iter(range(1, 100))

    def restart(cert_dir):
        nonlocal console
        stop(console)
        console, log = start_console(work, delay=0, extra=("--cert-dir", cert_dir), name="console-%d" % next(runs))
        return log

    def discover_dialog(bed, main):
        assert bed.command(main, 5), "File > Discover could not be sent\n" + bed.tavik_report()
        try:
            return bed.wait_window(title=DIALOG, timeout=60)
        except AssertionError as e:
            raise AssertionError("%s\n%s" % (e, bed.tavik_report())) from None

    def press_until_refused(bed, dialog, log):
        bed.click(dialog, 1025)
        wait_until(lambda: field(bed, DIALOG, 1024) == CERT_CHANGED, 90, interval=0.5,
                   what="the changed-certificate failure")
        # The client hung up on its sign-in after the headers: the console got no body,
        # and never the password.
        requests = wait_until(lambda: [r for r in logged(log) if r["path"] == "/api/auth/login"], 30,
                              interval=0.2, what="the console's record of the withheld sign-in")
        assert all(not r["complete"] and r["body"] == "" for r in requests), requests
        assert not any("secret" in r["body"] for r in logged(log)), logged(log)
        assert [r["path"] for r in logged(log)] == ["/api/auth/login"], logged(log)

    def stored_pin(bed):
        cfg = bed.read_config()
        return cfg.get("ConsoleCertSha256") if cfg else None

    try:
        log = restart(first_dir)
        first = fingerprint(first_dir)
        with Bed() as bed:
            # A file from before pinning: no ConsoleCertSha256 key at all.
            bed.write_config({"Cameras": [{"Name": "By hand", "Url": "rtsp://127.0.0.1:9/hand"}],
                              "ConsoleUser": "viewer"})
            bed.start_tavik()
            main = bed.wait_window(cls="Orbisfield.Tavik", timeout=120)

            # (1) The first discovery trusts the console's certificate and pins it.
            dialog = discover_dialog(bed, main)
            bed.set_text(dialog, 1020, "127.0.0.1")
            bed.set_text(dialog, 1022, "secret")
            bed.click(dialog, 1025)
            bed.wait_gone(title=DIALOG, timeout=90)
            wait_until(lambda: stored_pin(bed) == first, 60, interval=0.5, what="the first certificate pinned")
            cfg = bed.read_config()
            assert cfg["ConsoleHost"] == "127.0.0.1" and cfg["ConsolePassEnc"], cfg
            assert [r["complete"] for r in logged(log) if r["path"] == "/api/auth/login"] == [True]

            # (2) Another console at the address: the password stays home.
            log = restart(second_dir)
            second = fingerprint(second_dir)
            assert second != first
            before = bed.config_text()
            dialog = discover_dialog(bed, main)
            press_until_refused(bed, dialog, log)
            assert bed.config_text() == before, "a refused discovery changed config.json"

            # (3) Pressing again accepts that certificate: signed in, the new pin stored.
            bed.click(bed.find_window(title=DIALOG), 1025)
            bed.wait_gone(title=DIALOG, timeout=90)
            wait_until(lambda: stored_pin(bed) == second, 60, interval=0.5, what="the new certificate pinned")
            logins = [r for r in logged(log) if r["path"] == "/api/auth/login"]
            assert [r["complete"] for r in logins] == [False, True], logins

            # (4) The first certificate again: refused as any other change.
            log = restart(first_dir)
            dialog = discover_dialog(bed, main)
            press_until_refused(bed, dialog, log)
            # Closing the dialog forgets the refused certificate: the next dialog
            # refuses it again rather than taking the press as acceptance.
            bed.click(bed.find_window(title=DIALOG), 2)
            bed.wait_gone(title=DIALOG, timeout=60)
            log = restart(first_dir)
            dialog = discover_dialog(bed, main)
            press_until_refused(bed, dialog, log)
            assert stored_pin(bed) == second
            bed.click(bed.find_window(title=DIALOG), 1025)
            bed.wait_gone(title=DIALOG, timeout=90)
            wait_until(lambda: stored_pin(bed) == first, 60, interval=0.5, what="the first certificate pinned again")
            bed.close_tavik()
    finally:
        stop(console)


if __name__ == "__main__":
    run()
