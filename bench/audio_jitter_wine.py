#!/usr/bin/python3
"""What a network stall does to Tavik's sound, under Wine with PulseAudio.

    /usr/bin/python3 bench/audio_jitter_wine.py [--exe PATH] [--stalls 500,450,450,300]

One live test camera (H.264 + a steady 1 kHz AAC tone at 16 kHz mono, 64 ms a
frame) reaches Tavik.exe through a TCP relay on 127.0.0.1 that, on cue, holds
everything the camera sends for the given milliseconds and then lets it all
through at once (what a stalled connection looks like to the viewer). The
PulseAudio null sink Tavik plays to is recorded from its monitor; after the
sound has run steadily for a few seconds the stalls follow one another, three
seconds apart. For each stall the silence heard in the 2.5 s from its start
is printed, as the longest silent run and the total, in 10 ms windows (a
window is silent when no left-channel sample reaches 100 of 32767).

A stall always costs its own length in silence unless enough sound was queued
before it; what a stall leaves queued decides whether the next one is heard.
Prints "RESULT name value" lines. Needs the Windows build and the Wine test
bed of tests/bed/winbed.py.
"""
import argparse
import os
import socket
import struct
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "bed"))
sys.path.insert(0, os.path.join(ROOT, "tests", "gui"))

from testlib import wait_until  # noqa: E402
import winbed  # noqa: E402
from audio_test import SoundServer, tone  # noqa: E402

RATE = 48000
FREQ = 1000
WINDOW = RATE // 100  # samples in 10 ms


class StallingRelay:
    """Relays TCP connections on 127.0.0.1 to a target port; stall(seconds)
    holds the target-to-client direction of every connection that long."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.held_until = 0.0
        self.lock = threading.Lock()
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def stall(self, seconds):
        with self.lock:
            self.held_until = time.monotonic() + seconds

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            self.sockets += [client, upstream]
            threading.Thread(target=self._pump, args=(client, upstream, False), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, True), daemon=True).start()

    def _pump(self, src, dst, held):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if held:
                    while True:
                        with self.lock:
                            wait = self.held_until - time.monotonic()
                        if wait <= 0:
                            break
                        time.sleep(min(wait, 0.005))
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.listener.close()
        for s in self.sockets:
            s.close()


def left_samples(path, start_byte, seconds):
    with open(path, "rb") as f:
        f.seek(start_byte // 4 * 4)
        data = f.read(int(seconds * RATE) * 4)
    n = len(data) // 4
    return struct.unpack("<%dh" % (2 * n), data[:4 * n])[0::2]


def silence(samples):
    """(longest silent run, total silent) in ms, in 10 ms windows."""
    longest = run = total = 0
    for i in range(0, len(samples) - WINDOW + 1, WINDOW):
        if max(abs(v) for v in samples[i:i + WINDOW]) < 100:
            run += 10
            total += 10
            longest = max(longest, run)
        else:
            run = 0
    return longest, total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=None, help="Tavik.exe to run (default: the build's)")
    ap.add_argument("--stalls", default="500,450,450,300", help="stall lengths in ms")
    ap.add_argument("--steady", type=float, default=5.0, help="seconds of sound before the first")
    args = ap.parse_args()
    stalls = [int(s) for s in args.stalls.split(",")]

    tmp = tempfile.mkdtemp(prefix="audio-jitter-")
    bed = winbed.Bed()
    bed.start()
    sound = SoundServer(os.path.join(tmp, "sound"))
    relay = None
    try:
        _, cam_port = bed.start_camserver([
            "tone=h264aac,freq=%d,rate=16000,channels=1,width=320,height=240,fps=10" % FREQ])
        relay = StallingRelay(cam_port)
        sound.start()
        bed.write_config({"Cameras": [{"Name": "Tone",
                                       "Url": "rtsp://127.0.0.1:%d/tone" % relay.port}],
                          "SelectedCamera": "Tone", "Muted": False})
        saved = dict(bed.env)
        bed.env.update({"XDG_RUNTIME_DIR": sound.runtime, "PULSE_SERVER": sound.env["PULSE_SERVER"]})
        try:
            bed.start_tavik(args.exe)
        finally:
            bed.env = saved
        bed.wait_window(cls="Orbisfield.Tavik", title="Tavik", timeout=90)
        wait_until(lambda: tone(sound.last(0.5), FREQ) > 1000, 90, interval=0.5,
                   what="the camera's tone")
        time.sleep(args.steady)
        steady_at = os.path.getsize(sound.recording)
        marks = []
        for ms in stalls:
            marks.append(os.path.getsize(sound.recording))
            relay.stall(ms / 1000.0)
            time.sleep(3.0)
        time.sleep(0.5)
        longest, total = silence(left_samples(sound.recording, steady_at - int(args.steady) * RATE * 4,
                                              args.steady - 0.5))
        print("steady sound before the stalls: longest silence %d ms, total %d ms" % (longest, total))
        print("RESULT steady_silence_ms %d" % total)
        for i, (ms, at) in enumerate(zip(stalls, marks)):
            longest, total = silence(left_samples(sound.recording, at, 2.5))
            print("stall %d of %d ms: longest silence %d ms, total %d ms" % (i + 1, ms, longest, total))
            print("RESULT stall%d_%dms_silence_ms %d" % (i + 1, ms, total))
        bed.close_tavik(timeout=60)
    finally:
        if bed.tavik_running():
            bed.kill_tavik()
        sound.stop()
        if relay is not None:
            relay.close()
        bed.stop()


if __name__ == "__main__":
    main()
