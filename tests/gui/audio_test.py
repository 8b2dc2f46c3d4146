"""The sound of the selected camera under Wine: two test cameras with
different tones, PulseAudio with a null sink recorded from its monitor.
The selected camera's tone is heard, switching cameras switches the tone,
Mute gives silence and unmuting brings the sound back; with no sound server
Tavik runs on (video, commands, exit) without sound."""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import case, run, start, stop, wait_until  # noqa: E402
import winbed  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
CMD_MUTE = 7
CMD_CAMERA = 2000
RATE = 48000
SINK = "tavik_test"
LOW, HIGH = 440, 1000  # the two cameras' tones (Hz)

bed = None
cam_port = None
tmp = None


def setup():
    global bed, cam_port, tmp
    tmp = tempfile.mkdtemp(prefix="audio-test-")
    bed = winbed.Bed()
    bed.start()
    # Slots are sorted by name: "A low" is slot 0, "B high" slot 1.
    _, cam_port = bed.start_camserver([
        "low=h264aac,freq=%d,width=320,height=240,fps=10" % LOW,
        "high=h264aac,freq=%d,width=320,height=240,fps=10" % HIGH])


def teardown():
    if bed is not None:
        bed.stop()
    if tmp:
        shutil.rmtree(tmp, ignore_errors=True)


def config(selected="A low", muted=False):
    return {"Cameras": [
        {"Name": "A low", "Url": "rtsp://127.0.0.1:%d/low" % cam_port},
        {"Name": "B high", "Url": "rtsp://127.0.0.1:%d/high" % cam_port}],
        "SelectedCamera": selected, "Muted": muted}


# -- the sound server --------------------------------------------------------

class SoundServer:
    """PulseAudio with one null sink in a private runtime folder, and a
    recording of the sink's monitor into a file."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.runtime = os.path.join(folder, "pulse-runtime")
        os.makedirs(self.runtime, mode=0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime,
                        PULSE_SERVER="unix:" + os.path.join(self.runtime, "pulse", "native"))
        self.recording = os.path.join(folder, "monitor.raw")
        self.server = None
        self.recorder = None

    def start(self):
        self.server = start(["pulseaudio", "--daemonize=no", "--exit-idle-time=-1",
                             "--system=false", "-n", "--load=module-native-protocol-unix",
                             "--load=module-null-sink sink_name=%s rate=%d channels=2" % (SINK, RATE)],
                            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: subprocess.run(["pactl", "info"], env=self.env, timeout=10,
                                          stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL).returncode == 0,
                   30, interval=0.2, what="PulseAudio")
        out = open(self.recording, "wb")
        self.recorder = start(["parec", "--latency-msec=50", "-d", SINK + ".monitor",
                               "--format=s16le", "--rate=%d" % RATE, "--channels=2", "--raw"],
                              env=self.env, stdout=out, stderr=subprocess.DEVNULL)
        out.close()
        # The start of a recording is lost: give it time before anything plays.
        wait_until(lambda: os.path.getsize(self.recording) >= RATE * 4, 30,
                   what="the monitor recording to run")

    def stop(self):
        stop(self.recorder)
        stop(self.server)

    def last(self, seconds):
        """Left-channel samples of the last `seconds` recorded."""
        size = os.path.getsize(self.recording)
        want = int(seconds * RATE) * 4
        start_at = max(0, (size - want) // 4 * 4)
        with open(self.recording, "rb") as f:
            f.seek(start_at)
            data = f.read(want)
        n = len(data) // 4
        frames = struct.unpack("<%dh" % (2 * n), data[:4 * n])
        return frames[0::2]


def tone(samples, frequency):
    """Amplitude of one frequency (Goertzel)."""
    if not samples:
        return 0.0
    c = 2.0 * math.cos(2.0 * math.pi * frequency / RATE)
    s1 = s2 = 0.0
    for v in samples:
        s1, s2 = v + c * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - c * s1 * s2
    return 2.0 * math.sqrt(max(power, 0.0)) / len(samples)


def hears(sound, frequency, other):
    """The last half second holds `frequency` clearly, and not `other`."""
    samples = sound.last(0.5)
    a, b = tone(samples, frequency), tone(samples, other)
    return a > 1000 and a > 10 * b


def silent(sound):
    samples = sound.last(0.5)
    return bool(samples) and max(abs(v) for v in samples) < 100


def start_tavik(cfg, env_update):
    bed.write_config(cfg)
    saved = dict(bed.env)
    bed.env.update(env_update)
    try:
        bed.start_tavik()
    finally:
        bed.env = saved
    return bed.wait_window(cls=MAIN_CLASS, title="Tavik", timeout=90)


def close_tavik():
    code = bed.close_tavik(timeout=60)
    assert code == 0, "Tavik exit code %r" % (code,)


# -- cases -------------------------------------------------------------------

@case
def selected_camera_is_heard_switch_and_mute():
    sound = SoundServer(os.path.join(tmp, "switch"))
    sound.start()
    try:
        main = start_tavik(config(selected="A low"), {
            "XDG_RUNTIME_DIR": sound.runtime, "PULSE_SERVER": sound.env["PULSE_SERVER"]})
        wait_until(lambda: hears(sound, LOW, HIGH), 90, interval=0.5,
                   what="the %d Hz tone of the selected camera" % LOW)

        bed.command(main, CMD_CAMERA + 1)  # select "B high"
        wait_until(lambda: hears(sound, HIGH, LOW), 60, interval=0.5,
                   what="the %d Hz tone after switching cameras" % HIGH)

        bed.command(main, CMD_MUTE)
        wait_until(lambda: silent(sound), 30, interval=0.5, what="silence after Mute")
        # Silence holds while muted (the camera keeps sending).
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            assert silent(sound), "sound while muted"
            time.sleep(0.5)

        bed.command(main, CMD_MUTE)
        wait_until(lambda: hears(sound, HIGH, LOW), 60, interval=0.5,
                   what="the tone again after unmuting")
        close_tavik()
        cfg = bed.read_config()
        assert cfg.get("SelectedCamera") == "B high", cfg.get("SelectedCamera")
        assert cfg.get("Muted") is False, cfg.get("Muted")
    finally:
        if bed.tavik_running():
            bed.kill_tavik()
        sound.stop()


@case
def output_unit_tests_with_a_device():
    """The Windows suite's audio output tests that need a playback device
    (playing, a default-device change, a burst played in full, a camera switch
    while playing, blocks freed at Stop) run here, where a sound server exists."""
    sound = SoundServer(os.path.join(tmp, "unit"))
    sound.start()
    saved = dict(bed.env)
    bed.env.update({"XDG_RUNTIME_DIR": sound.runtime, "PULSE_SERVER": sound.env["PULSE_SERVER"]})
    try:
        code, out = bed.wine([os.path.join(bed.build, "tavik_tests.exe"),
                              "--gtest_filter=AudioOutputWin.*"], timeout=300)
    finally:
        bed.env = saved
        sound.stop()
    assert "[       OK ] AudioOutputWin.PlaysSurvivesDeviceChangeAndFreesEveryBlock" in out, out[-2000:]
    assert code == 0, "exit code %d: %s" % (code, out[-2000:])


@case
def runs_on_without_a_sound_server():
    nowhere = os.path.join(tmp, "no-sound")
    os.makedirs(nowhere, mode=0o700, exist_ok=True)
    main = start_tavik(config(selected="A low"), {
        "XDG_RUNTIME_DIR": nowhere,
        "PULSE_SERVER": "unix:" + os.path.join(nowhere, "pulse", "native")})
    try:
        # Both cameras stream (audio frames arrive and are dropped).
        wait_until(lambda: winbed.rtsp_connections(cam_port) >= 2, 60, interval=0.5,
                   what="both cameras connected")
        bed.command(main, CMD_CAMERA + 1)
        bed.command(main, CMD_MUTE)
        bed.command(main, CMD_MUTE)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            assert bed.tavik_running(), "Tavik ended without a sound server"
            time.sleep(0.5)
        assert bed.find_window(cls=MAIN_CLASS, title="Tavik") is not None
        close_tavik()
    finally:
        if bed.tavik_running():
            bed.kill_tavik()


if __name__ == "__main__":
    run(setup, teardown)
