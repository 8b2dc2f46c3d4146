"""rtspdump against the test cameras: every stream kind is received, written and
decoded by ffmpeg without errors at the size it was sent; a camera that restarts
mid-stream is reconnected; the Windows build does the same under Wine."""
import array
import os
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import (BUILD_NATIVE, BUILD_WINDOWS, PYTHON, ROOT, WINEPREFIX, case, free_port,  # noqa: E402
                     run, start, stop, wait_until)

CAMSERVER = os.path.join(ROOT, "tools", "camserver.py")
RTSPDUMP = os.path.join(BUILD_NATIVE, "rtspdump")
RTSPDUMP_EXE = os.path.join(BUILD_WINDOWS, "rtspdump.exe")
MOUNTS = ["h264=h264,width=320,height=240",
          "h265=h265,width=352,height=288",
          "small=h264,width=320,height=240,mtu=300",
          "stap=stap,width=320,height=240",
          "tone=h264aac,width=320,height=240,freq=1000,rate=16000,channels=1"]

state = {"server": None, "port": 0, "tmp": None}


class Lines:
    """Collects a process's stdout lines on a thread."""

    def __init__(self, proc):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(proc,), daemon=True)
        self.thread.start()

    def _read(self, proc):
        for raw in proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def matching(self, text):
        with self.lock:
            return [l for l in self.lines if text in l]

    def text(self):
        with self.lock:
            return "\n".join(self.lines)


def start_camserver(port, mounts):
    proc = start([PYTHON, CAMSERVER, "--port", str(port)] + mounts,
                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = Lines(proc)
    wait_until(lambda: lines.matching("camserver ready") or proc.poll() is not None, 30, what="camserver")
    ready = lines.matching("camserver ready")
    if not ready:
        raise AssertionError("camserver did not start")
    return proc, int(ready[0].split("port=")[1])


def setup():
    state["tmp"] = tempfile.mkdtemp(prefix="rtspdump_test_")
    state["server"], state["port"] = start_camserver(0, MOUNTS)


def teardown():
    stop(state["server"])


def url(mount, port=None):
    return "rtsp://127.0.0.1:%d/%s" % (port or state["port"], mount)


def summary(text):
    for line in text.splitlines():
        if line.startswith("summary "):
            return dict(kv.split("=", 1) for kv in line.split()[1:])
    raise AssertionError("no summary line in:\n" + text)


def dump(mount, seconds=4, audio=False):
    video = os.path.join(state["tmp"], mount + ".es")
    args = [RTSPDUMP, url(mount), "--seconds", str(seconds), "--video", video]
    aac = os.path.join(state["tmp"], mount + ".aac")
    if audio:
        args += ["--audio", aac]
    out = subprocess.run(args, capture_output=True, timeout=seconds + 60)
    text = out.stdout.decode()
    assert out.returncode == 0, text + out.stderr.decode()
    return summary(text), video, aac


def decoded_video(path, codec):
    """Decodes the whole file; returns (frames, width, height). Any decoder message fails."""
    fmt = "h264" if codec == "H.264" else "hevc"
    dec = subprocess.run(["ffmpeg", "-v", "error", "-f", fmt, "-i", path, "-f", "null", "-"],
                         capture_output=True, timeout=120)
    assert dec.returncode == 0 and not dec.stderr.strip(), dec.stderr.decode()
    probe = subprocess.run(["ffprobe", "-v", "error", "-f", fmt, "-count_frames", "-select_streams", "v",
                            "-show_entries", "stream=nb_read_frames,width,height", "-of",
                            "default=nw=1", path], capture_output=True, timeout=120)
    fields = dict(l.split("=", 1) for l in probe.stdout.decode().split())
    return int(fields["nb_read_frames"]), int(fields["width"]), int(fields["height"])


def check_video(mount, codec, width, height, seconds=4):
    s, video, _ = dump(mount, seconds)
    assert s["codec"] == codec, s
    assert s["connects"] == "1", s
    units = int(s["units"])
    assert units >= 15 * (seconds - 2), s  # 15 fps sent
    frames, w, h = decoded_video(video, codec)
    assert (w, h) == (width, height), (w, h)
    assert frames >= units - 1, (frames, units)


@case
def h264_live():
    check_video("h264", "H.264", 320, 240)


@case
def h265_live():
    check_video("h265", "H.265", 352, 288)


@case
def h264_small_mtu_fragments():
    check_video("small", "H.264", 320, 240)


@case
def h264_stap_a():
    check_video("stap", "H.264", 320, 240)


def tone_frequency(aac_path):
    """Decodes ADTS AAC to mono 16-bit PCM and estimates the tone from zero crossings."""
    pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", aac_path, "-f", "s16le", "-ac", "1", "-"],
                         capture_output=True, timeout=60)
    assert pcm.returncode == 0 and not pcm.stderr.strip(), pcm.stderr.decode()
    samples = array.array("h", pcm.stdout)
    body = samples[len(samples) // 4:]  # past the encoder's start-up
    crossings = sum(1 for a, b in zip(body, body[1:]) if (a < 0) != (b < 0))
    return crossings / 2 / (len(body) / 16000.0)


@case
def h264_with_aac_tone():
    s, video, aac = dump("tone", 4, audio=True)
    assert s["codec"] == "H.264" and s["audio_rate"] == "16000" and s["audio_channels"] == "1", s
    assert int(s["audio_frames"]) >= 16000 / 1024 * 2, s
    frames, w, h = decoded_video(video, "H.264")
    assert (w, h) == (320, 240) and frames >= 20
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels",
                            "-of", "default=nw=1", aac], capture_output=True, timeout=60).stdout.decode()
    assert "codec_name=aac" in probe and "sample_rate=16000" in probe and "channels=1" in probe, probe
    freq = tone_frequency(aac)
    assert 950 < freq < 1050, freq


@case
def camera_restart_reconnects():
    port = free_port()
    server, _ = start_camserver(port, ["cam=h264"])
    video = os.path.join(state["tmp"], "restart.es")
    proc = start([RTSPDUMP, url("cam", port), "--seconds", "60", "--video", video], stdout=subprocess.PIPE)
    lines = Lines(proc)
    try:
        wait_until(lambda: lines.matching("connected codec=H.264"), 30, what="first connection")
        wait_until(lambda: any("units=" in l and "units=0 " not in l for l in lines.matching("video units=")),
                   30, what="first pictures")
        stop(server)
        wait_until(lambda: lines.matching("disconnected"), 30, what="disconnection")
        server, _ = start_camserver(port, ["cam=h264"])
        wait_until(lambda: len(lines.matching("connected codec=H.264")) >= 2, 30, what="reconnection")
        after = len(lines.lines)

        def units_now():
            found = lines.matching("video units=")
            return int(found[-1].split("units=")[1].split()[0]) if found else 0

        base = units_now()
        wait_until(lambda: len(lines.lines) > after + 2 and units_now() >= base + 20, 30, what="video resuming")
    finally:
        stop(proc)
        stop(server)
    proc.wait()
    lines.thread.join(10)
    s = summary(lines.text())
    assert s["connects"] == "2" and s["disconnects"] == "2", s
    frames, w, h = decoded_video(video, "H.264")
    assert (w, h) == (320, 240) and frames >= 40, frames


@case
def windows_build_under_wine():
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    video = os.path.join(state["tmp"], "wine.es")
    aac = os.path.join(state["tmp"], "wine.aac")
    out = subprocess.run(["timeout", "120", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "wine", RTSPDUMP_EXE,
                          url("tone"), "--seconds", "4", "--video", "Z:" + video.replace("/", "\\"),
                          "--audio", "Z:" + aac.replace("/", "\\")], capture_output=True, env=env, timeout=180)
    subprocess.run(["timeout", "60", "wineserver", "-w"], env=env)
    text = out.stdout.decode()
    assert out.returncode == 0, text + out.stderr.decode()[-2000:]
    s = summary(text)
    assert s["codec"] == "H.264" and s["audio_rate"] == "16000", s
    frames, w, h = decoded_video(video, "H.264")
    assert (w, h) == (320, 240) and frames >= 20
    freq = tone_frequency(aac)
    assert 950 < freq < 1050, freq


if __name__ == "__main__":
    run(setup, teardown)
