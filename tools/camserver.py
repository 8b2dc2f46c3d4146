#!/usr/bin/python3
"""Test cameras: an RTSP server on 127.0.0.1 with synthetic streams (GStreamer).

Run with /usr/bin/python3 (the interpreter that imports gi).

    camserver.py [--port N] [MOUNT ...]
    camserver.py --make-file OUT.h264|OUT.h265 [--size WxH] [--fps N] [--seconds S]

--log FILE appends "play /NAME" when a client starts playing a mount and
"stop /NAME" when that client's connection closes (flushed at once).

--port N (default 8554; 0 picks a free port). When the server listens it prints
one line on stdout and flushes it:

    camserver ready port=N

Each MOUNT is NAME=KIND[,key=value...] and is served as rtsp://127.0.0.1:N/NAME.
Without any MOUNT the default set is served:
    h264=h264 h265=h265 aac=h264aac small=h264,mtu=400 stap=stap

KIND:
  h264      live H.264: test pattern with the running time and a clock
  h265      live H.265 (VPS/SPS/PPS repeated before every keyframe)
  h264aac   live H.264 plus AAC: a steady sine tone
  stap      live H.264 packetized with STAP-A (SPS+PPS+IDR aggregated)
  file      a pre-encoded Annex-B file (path=...; .h265/.hevc is H.265) replayed
            in a loop without re-encoding; shared by all clients by default

keys (all optional):
  width=320 height=240 fps=15  picture (live kinds)
  bitrate=300                  kbit/s (live kinds)
  keyint=FPS                   frames between keyframes (default one second)
  mtu=1400                     RTP packet size; small values give FU-A fragments
  audio=1                      add the AAC tone to h264/h265/stap
  freq=440 rate=48000 channels=2   the tone (h264aac or audio=1)
  aacname=lower                rtpmap encoding name "mpeg4-generic" (lower) or as
                               GStreamer writes it, "MPEG4-GENERIC" (upper)
  pattern=smpte                videotestsrc pattern (live kinds): red, green, blue, ...
  shared=0                     one pipeline for all clients (default 1 for file)
  path=FILE                    the file of the file kind

Examples:
  camserver.py --port 0 cam=h264,width=640,height=360 tone=h264aac,freq=1000,rate=16000,channels=1
  camserver.py --make-file /tmp/loop.h264 --size 1920x1080 --fps 25 --seconds 4
  camserver.py --port 8554 loop=file,path=/tmp/loop.h264
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

DEFAULT_MOUNTS = ["h264=h264", "h265=h265", "aac=h264aac", "small=h264,mtu=400", "stap=stap"]
KINDS = ("h264", "h265", "h264aac", "stap", "file")


def parse_mount(text):
    name, sep, rest = text.partition("=")
    if not sep or not name or not rest:
        raise ValueError("mount must be NAME=KIND[,key=value...]: %r" % text)
    parts = rest.split(",")
    kind = parts[0]
    if kind not in KINDS:
        raise ValueError("unknown kind %r (one of %s)" % (kind, ", ".join(KINDS)))
    opts = {}
    for p in parts[1:]:
        k, sep, v = p.partition("=")
        if not sep:
            raise ValueError("option must be key=value: %r" % p)
        opts[k] = v
    return name.strip("/"), kind, opts


def aac_encoder():
    if Gst.ElementFactory.find("avenc_aac"):
        return "avenc_aac"
    return "voaacenc"


def audio_branch(opts):
    freq = int(opts.get("freq", 440))
    rate = int(opts.get("rate", 48000))
    channels = int(opts.get("channels", 2))
    mtu = int(opts.get("mtu", 1400))
    pay = "rtpmp4gpay pt=97 mtu=%d" % mtu
    if opts.get("aacname", "lower") == "lower":
        # SDP encoding names are case-insensitive, but cameras write "mpeg4-generic".
        pay = ("rtpmp4gpay pt=97 mtu=%d ! capssetter name=pay1 "
               "caps=\"application/x-rtp,encoding-name=(string)mpeg4-generic\"" % mtu)
    else:
        pay += " name=pay1"
    return ("audiotestsrc is-live=true wave=sine freq=%d volume=0.3 ! "
            "audio/x-raw,rate=%d,channels=%d ! audioconvert ! audioresample ! "
            "audio/x-raw,rate=%d,channels=%d ! %s bitrate=64000 ! %s"
            % (freq, rate, channels, rate, channels, aac_encoder(), pay))


def live_launch(kind, opts):
    width = int(opts.get("width", 320))
    height = int(opts.get("height", 240))
    fps = int(opts.get("fps", 15))
    bitrate = int(opts.get("bitrate", 300))
    keyint = int(opts.get("keyint", fps))
    mtu = int(opts.get("mtu", 1400))
    pattern = opts.get("pattern", "smpte")
    src = ("videotestsrc is-live=true pattern=%s ! " % pattern +
           "video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1 ! "
           "timeoverlay halignment=left valignment=top font-desc=\"Sans 12\" ! "
           "clockoverlay halignment=right valignment=bottom font-desc=\"Sans 12\" ! "
           "videoconvert ! video/x-raw,format=I420" % (width, height, fps))
    if kind == "h265":
        enc = ("x265enc tune=zerolatency speed-preset=ultrafast bitrate=%d key-int-max=%d "
               "option-string=\"repeat-headers=1\" ! video/x-h265,profile=main ! "
               "rtph265pay name=pay0 pt=96 config-interval=-1 mtu=%d" % (bitrate, keyint, mtu))
    else:
        aggregate = " aggregate-mode=zero-latency" if kind == "stap" else ""
        enc = ("x264enc tune=zerolatency speed-preset=ultrafast sliced-threads=false threads=1 "
               "bitrate=%d key-int-max=%d ! video/x-h264,profile=baseline ! "
               "rtph264pay name=pay0 pt=96 config-interval=-1 mtu=%d%s"
               % (bitrate, keyint, mtu, aggregate))
    launch = src + " ! " + enc
    if kind == "h264aac" or opts.get("audio") == "1":
        launch += " " + audio_branch(opts)
    return "( " + launch + " )"


def file_launch(opts):
    path = opts["path"]
    mtu = int(opts.get("mtu", 1400))
    h265 = path.endswith(".h265") or path.endswith(".hevc")
    codec = "h265" if h265 else "h264"
    return ("( multifilesrc loop=true location=\"%s\" caps=\"video/x-%s,stream-format=byte-stream\" ! "
            "%sparse name=parse ! video/x-%s,stream-format=byte-stream,alignment=au ! "
            "identity name=pace sync=true ! rtp%spay name=pay0 pt=96 config-interval=-1 mtu=%d )"
            % (path, codec, codec, codec, codec, mtu))


class FilePacer:
    """Gives each access unit of a looping file its own increasing PTS/DTS."""

    def __init__(self, fps):
        self.duration = Gst.SECOND // fps
        self.count = 0

    def probe(self, pad, info):
        buf = info.get_buffer()
        if buf is not None:
            buf.pts = self.count * self.duration
            buf.dts = buf.pts
            buf.duration = self.duration
            self.count += 1
        return Gst.PadProbeReturn.OK


class PlayLog:
    """Which mounts each client plays, written to a file line by line."""

    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")

    def write(self, text):
        self.file.write(text + "\n")
        self.file.flush()

    def on_client(self, _server, client):
        played = []

        def on_play(_client, context):
            path = context.uri.abspath
            if path not in played:
                played.append(path)
                self.write("play " + path)

        def on_closed(_client):
            for path in played:
                self.write("stop " + path)
            played.clear()

        client.connect("play-request", on_play)
        client.connect("closed", on_closed)


def on_media_configure(_factory, media, fps):
    parse = media.get_element().get_by_name("parse")
    if parse is not None:
        pacer = FilePacer(fps)
        parse.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, pacer.probe)


def make_file(path, size, fps, seconds):
    width, height = (int(v) for v in size.lower().split("x"))
    h265 = path.endswith(".h265") or path.endswith(".hevc")
    if h265:
        enc = ("x265enc speed-preset=ultrafast bitrate=2000 key-int-max=%d "
               "option-string=\"repeat-headers=1\" ! h265parse ! video/x-h265,stream-format=byte-stream" % fps)
    else:
        enc = ("x264enc speed-preset=ultrafast tune=zerolatency sliced-threads=false bitrate=4000 "
               "key-int-max=%d ! video/x-h264,profile=high ! h264parse ! "
               "video/x-h264,stream-format=byte-stream" % fps)
    pipeline = Gst.parse_launch(
        "videotestsrc num-buffers=%d pattern=smpte ! video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1 ! "
        "timeoverlay font-desc=\"Sans 24\" ! videoconvert ! video/x-raw,format=I420 ! %s ! filesink location=\"%s\""
        % (fps * seconds, width, height, fps, enc, path))
    pipeline.set_state(Gst.State.PLAYING)
    msg = pipeline.get_bus().timed_pop_filtered(Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if msg.type == Gst.MessageType.ERROR:
        print("camserver: encoding failed: %s" % msg.parse_error()[0].message, file=sys.stderr)
        return 1
    return 0


def main():
    ap = argparse.ArgumentParser(description="RTSP test cameras on 127.0.0.1")
    ap.add_argument("--port", type=int, default=8554)
    ap.add_argument("--make-file")
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--fps", type=int, default=25)
    ap.add_argument("--seconds", type=int, default=4)
    ap.add_argument("--log")
    ap.add_argument("mounts", nargs="*")
    args = ap.parse_args()
    Gst.init(None)
    if args.make_file:
        return make_file(args.make_file, args.size, args.fps, args.seconds)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    for text in args.mounts or DEFAULT_MOUNTS:
        try:
            name, kind, opts = parse_mount(text)
        except ValueError as e:
            print("camserver: %s" % e, file=sys.stderr)
            return 2
        factory = GstRtspServer.RTSPMediaFactory()
        if kind == "file":
            if "path" not in opts:
                print("camserver: mount %s needs path=FILE" % name, file=sys.stderr)
                return 2
            factory.set_launch(file_launch(opts))
            factory.set_shared(opts.get("shared", "1") == "1")
            factory.connect("media-configure", on_media_configure, int(opts.get("fps", 25)))
        else:
            factory.set_launch(live_launch(kind, opts))
            factory.set_shared(opts.get("shared", "0") == "1")
        mounts.add_factory("/" + name, factory)

    if args.log:
        play_log = PlayLog(args.log)
        server.connect("client-connected", play_log.on_client)
    if server.attach(None) == 0:
        print("camserver: cannot listen on 127.0.0.1:%d" % args.port, file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("camserver ready port=%d" % server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
