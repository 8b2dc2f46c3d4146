"""The stand-in console and its cameras for the GUI tests of discovery:
tests/bed/console.py on 127.0.0.1:443 (the port the product uses) and test
cameras on 127.0.0.1:7447 (the plain RTSP port of console cameras). Both
ports are fixed, so each start waits while another test holds its port."""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import PYTHON, ROOT, start, wait_until  # noqa: E402

# Porch streams; Garage has RTSP switched off (discovery switches it on);
# Yard has no High channel, so it has no stream to show.
CAMERAS = [
    {"id": "p1", "name": "Porch",
     "channels": [{"id": 0, "name": "High", "isRtspEnabled": True, "rtspAlias": "porch", "fps": 30}]},
    {"id": "g1", "name": "Garage", "_alias": "garage",
     "channels": [{"id": 0, "name": "High", "isRtspEnabled": False, "rtspAlias": "", "bitrate": 1234567.5}]},
    {"id": "y1", "name": "Yard", "channels": [{"id": 1, "name": "Medium", "isRtspEnabled": True,
                                               "rtspAlias": "yard"}]},
]


def start_console(work, delay=3, extra=(), name="console"):
    """console.py on 127.0.0.1:443, each sign-in answered after delay seconds,
    with extra arguments; its log and ready file are named after name. Waits
    for the port while another test holds it."""
    cameras = os.path.join(work, "cameras.json")
    with open(cameras, "w") as f:
        json.dump(CAMERAS, f)
    log = os.path.join(work, name + ".log")
    ready = os.path.join(work, name + ".ready")
    holder = {}

    def attempt():
        proc = start([PYTHON, os.path.join(ROOT, "tests", "bed", "console.py"), "--port", "443", "--cameras", cameras,
                      "--log", log, "--ready-file", ready, "--delay", str(delay)] + list(extra),
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: os.path.exists(ready) or proc.poll() is not None, 30, what="console start")
        if proc.poll() is None:
            holder["proc"] = proc
            return True
        return False

    wait_until(attempt, 180, interval=2, what="port 443 for the test console")
    return holder["proc"], log


def start_cameras(bed):
    holder = {}

    def attempt():
        try:
            holder["proc"] = bed.start_camserver(["porch=h264", "garage=h264"], port=7447)[0]
            return True
        except AssertionError:
            return False

    wait_until(attempt, 180, interval=2, what="port 7447 for the test cameras")
    return holder["proc"]
