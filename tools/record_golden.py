#!/usr/bin/python3
"""Records the golden RTSP captures in tests/data.

Makes three short 320x240 clips with ffmpeg (H.264 cut into FU-A fragments,
H.265, H.264 with AAC), serves each without re-encoding from an in-process
GStreamer RTSP server on 127.0.0.1, plays it as a client over TCP interleaved
(video channels 0-1, audio 2-3) and writes for each clip:

  NAME.mp4   the source clip (the reference for the decoded-frame comparison)
  NAME.sdp   the DESCRIBE body
  NAME.rtsp  every byte received after the PLAY response: interleaved frames,
             RTCP, and the answer to one OPTIONS sent while streaming

Run with /usr/bin/python3 (the interpreter that imports gi):
  /usr/bin/python3 tools/record_golden.py [output folder]
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SOURCE = "testsrc2=size=320x240:rate=15"
SECONDS = "2"

CLIPS = [
    {
        "name": "golden_h264",
        "ffmpeg": ["-f", "lavfi", "-i", SOURCE, "-t", SECONDS, "-c:v", "libx264", "-preset", "fast",
                   "-bf", "0", "-g", "10", "-pix_fmt", "yuv420p", "-an"],
        # A small MTU cuts every picture into FU-A fragments.
        "launch": "filesrc location={clip} ! qtdemux name=d d.video_0 ! queue ! h264parse"
                  " ! rtph264pay name=pay0 pt=96 mtu=700",
        "audio": False,
    },
    {
        "name": "golden_h265",
        "ffmpeg": ["-f", "lavfi", "-i", SOURCE, "-t", SECONDS, "-c:v", "libx265", "-preset", "fast",
                   "-x265-params", "bframes=0:keyint=10:log-level=error", "-pix_fmt", "yuv420p",
                   "-tag:v", "hvc1", "-an"],
        "launch": "filesrc location={clip} ! qtdemux name=d d.video_0 ! queue ! h265parse"
                  " ! rtph265pay name=pay0 pt=96 mtu=900 config-interval=-1",
        "audio": False,
    },
    {
        "name": "golden_h264_aac",
        "ffmpeg": ["-f", "lavfi", "-i", SOURCE, "-f", "lavfi", "-i",
                   "sine=frequency=440:sample_rate=48000", "-t", SECONDS, "-c:v", "libx264",
                   "-preset", "fast", "-bf", "0", "-g", "10", "-pix_fmt", "yuv420p",
                   "-c:a", "aac", "-b:a", "64k", "-ac", "2"],
        # Parameter sets in front of every IDR picture, bundled into STAP-A.
        "launch": "filesrc location={clip} ! qtdemux name=d d.video_0 ! queue ! h264parse"
                  " ! rtph264pay name=pay0 pt=96 config-interval=-1 aggregate-mode=zero-latency"
                  " d.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97",
        "audio": True,
    },
]


class Connection:
    """A minimal RTSP client: one request at a time, responses parsed by hand."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""
        self.cseq = 0

    def request(self, method, url, headers=()):
        self.cseq += 1
        text = "%s %s RTSP/1.0\r\nCSeq: %d\r\n" % (method, url, self.cseq)
        text += "".join(h + "\r\n" for h in headers) + "User-Agent: Orbisfield-Tavik\r\n\r\n"
        self.sock.sendall(text.encode())

    def response(self):
        while b"\r\n\r\n" not in self.buffer:
            self.more()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.decode().split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            key, _, value = line.partition(":")
            headers[key.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(self.buffer) < length:
            self.more()
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return status, headers, body

    def more(self):
        data = self.sock.recv(65536)
        if not data:
            raise RuntimeError("connection closed")
        self.buffer += data

    def close(self):
        self.sock.close()


def record(port, mount, with_audio):
    url = "rtsp://127.0.0.1:%d/%s" % (port, mount)
    c = Connection(port)
    c.request("DESCRIBE", url, ["Accept: application/sdp"])
    status, headers, sdp = c.response()
    assert status == 200, status
    base = headers.get("content-base", url + "/")
    c.request("SETUP", base + "stream=0", ["Transport: RTP/AVP/TCP;unicast;interleaved=0-1"])
    status, headers, _ = c.response()
    assert status == 200, status
    session = headers["session"].split(";")[0]
    if with_audio:
        c.request("SETUP", base + "stream=1",
                  ["Session: " + session, "Transport: RTP/AVP/TCP;unicast;interleaved=2-3"])
        status, _, _ = c.response()
        assert status == 200, status
    c.request("PLAY", url, ["Session: " + session, "Range: npt=0-"])
    status, _, _ = c.response()
    assert status == 200, status

    # Everything after the PLAY response, until the clip has ended and the
    # connection has been quiet for a while.
    captured = c.buffer
    c.buffer = b""
    c.sock.settimeout(0.2)
    start = time.monotonic()
    last = start
    options_sent = False
    while time.monotonic() - last < 1.5 and time.monotonic() - start < 20:
        if not options_sent and time.monotonic() - start > 0.7:
            # A keep-alive answer then sits between the interleaved frames.
            c.request("OPTIONS", url, ["Session: " + session])
            options_sent = True
        try:
            data = c.sock.recv(65536)
        except socket.timeout:
            continue
        if not data:
            break
        captured += data
        last = time.monotonic()
    c.close()
    return sdp, captured


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data")
    os.makedirs(out_dir, exist_ok=True)
    Gst.init(None)
    loop = GLib.MainLoop()
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    mounts = server.get_mount_points()

    with tempfile.TemporaryDirectory() as work:
        for clip in CLIPS:
            path = os.path.join(work, clip["name"] + ".mp4")
            subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"] + clip["ffmpeg"] +
                           ["-movflags", "+faststart", "-use_editlist", "0", path], check=True)
            factory = GstRtspServer.RTSPMediaFactory()
            factory.set_launch("( " + clip["launch"].format(clip=path) + " )")
            factory.set_shared(False)
            mounts.add_factory("/" + clip["name"], factory)

        server.attach(None)
        port = server.get_bound_port()
        thread = threading.Thread(target=loop.run, daemon=True)
        thread.start()
        try:
            for clip in CLIPS:
                sdp, captured = record(port, clip["name"], clip["audio"])
                name = os.path.join(out_dir, clip["name"])
                with open(name + ".sdp", "wb") as f:
                    f.write(sdp)
                with open(name + ".rtsp", "wb") as f:
                    f.write(captured)
                with open(os.path.join(work, clip["name"] + ".mp4"), "rb") as src:
                    with open(name + ".mp4", "wb") as f:
                        f.write(src.read())
                print("%s: sdp %d bytes, capture %d bytes" % (clip["name"], len(sdp), len(captured)))
        finally:
            loop.quit()
            thread.join(timeout=5)


if __name__ == "__main__":
    main()
