#!/usr/bin/python3
"""A misbehaving RTSP camera on 127.0.0.1 for robustness runs of the RTSP client.

    hostile_rtsp.py [--port N] [--log FILE] [--seed N]

Serves rtsp://127.0.0.1:N/CASE for every CASE below; each connection misbehaves
in the way its path names. The media is the golden H.264 + AAC capture of
tests/data (FU-A, STAP-A, AAC-hbr), replayed in a loop at 15 pictures a second
(the AAC track announced as lower-case mpeg4-generic, so that audio is set up).
Prints "hostile ready port=N" when listening. With --log, every connection's
accept and end is written as one JSON line {"t", "case", "event", "conn"}.
Stop it by its process id.

Cases:
  good            behaves (the reference)
  close_describe  closes right after the DESCRIBE answer
  no_length       DESCRIBE 200 with the SDP but no Content-Length
  long_header     a header line of 16 KiB + 1 in the DESCRIBE answer
  endless_header  DESCRIBE 200, then header lines of 1000 bytes for ever (as fast
                  as the client reads them), never the empty line
  huge_length     DESCRIBE 200 with Content-Length: 4294967296, then the SDP
  data_first      interleaved media before the PLAY answer
  garbage         random bytes (never a '$' first) between media frames
  stall           streams 2 s, then sends nothing for 30 s
  big_frame       '$' frames of length 65535 with random bytes (channels 0 and 2)
  no_marker       never sets the marker bit; sent as fast as the client reads
  rtp_v1          every RTP packet has version 1
  ext_past_end    every RTP packet has X set and an extension length past the end
  fu_no_start     FU-A fragments never carry the start bit
  aac_headers     AAC AU-headers-length larger than the packet
  options_body    answers keep-alive OPTIONS with a body, and sends a message
                  with a '$'-looking body every second
  reset           resets the connection (RST) every 2 s of streaming
"""
import argparse
import json
import os
import random
import socket
import struct
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CAPTURE = os.path.join(ROOT, "tests", "data", "golden_h264_aac")
FPS = 15
CASES = ("good", "close_describe", "no_length", "long_header", "endless_header", "huge_length", "data_first",
         "garbage", "stall", "big_frame", "no_marker", "rtp_v1", "ext_past_end", "fu_no_start", "aac_headers",
         "options_body", "reset")


def load_capture():
    """The SDP (audio rtpmap in lower case) and the capture's media frames as (channel, bytes)."""
    with open(CAPTURE + ".sdp", "rb") as f:
        sdp = f.read().replace(b"MPEG4-GENERIC", b"mpeg4-generic")
    with open(CAPTURE + ".rtsp", "rb") as f:
        data = f.read()
    frames = []
    i = 0
    while i < len(data):
        if data[i] == 0x24:
            length = data[i + 2] << 8 | data[i + 3]
            frames.append((data[i + 1], data[i + 4:i + 4 + length]))
            i += 4 + length
        else:  # the recorded OPTIONS answer
            i = data.index(b"\r\n\r\n", i) + 4
    return sdp, [f for f in frames if f[0] in (0, 2)]


SDP, FRAMES = load_capture()


class Log:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.next_conn = 0

    def conn_id(self):
        with self.lock:
            self.next_conn += 1
            return self.next_conn

    def write(self, case, event, conn):
        if not self.path:
            return
        line = json.dumps({"t": time.time(), "case": case, "event": event, "conn": conn})
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def frame_bytes(channel, payload):
    return b"$" + bytes([channel]) + struct.pack(">H", len(payload)) + payload


def rtp_header_length(packet):
    length = 12 + 4 * (packet[0] & 0x0F)
    if packet[0] & 0x10 and len(packet) >= length + 4:
        length += 4 + 4 * struct.unpack(">H", packet[length + 2:length + 4])[0]
    return length


def mutate(case, channel, packet):
    """The packet as the case sends it."""
    p = bytearray(packet)
    if case == "no_marker" and channel == 0:
        p[1] &= 0x7F
    elif case == "rtp_v1":
        p[0] = (p[0] & 0x3F) | 0x40
    elif case == "ext_past_end":
        cut = 12 + 4 * (p[0] & 0x0F)
        p[0] |= 0x10
        p[cut:cut] = b"\xbe\xde\xff\xff"  # 65535 words of extension, far past the end
    elif case == "fu_no_start" and channel == 0:
        h = rtp_header_length(p)
        if len(p) > h + 1 and p[h] & 0x1F == 28:
            p[h + 1] &= 0x7F
    elif case == "aac_headers" and channel == 2:
        h = rtp_header_length(p)
        if len(p) >= h + 2:
            p[h:h + 2] = b"\xff\xf0"  # 65520 bits of AU headers
    return bytes(p)


class Connection:
    def __init__(self, sock, log, rng):
        self.sock = sock
        self.log = log
        self.rng = rng
        self.case = None
        self.conn = log.conn_id()
        self.buf = b""
        self.send_lock = threading.Lock()
        self.closed = threading.Event()
        self.session = "%08X" % rng.getrandbits(32)

    def send(self, data):
        with self.send_lock:
            self.sock.sendall(data)

    def read_request(self):
        """One request's lines (clients send no bodies); None when the peer is gone."""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        return lines[0].split(" "), headers

    def answer(self, cseq, extra="", body=b"", length=True):
        text = "RTSP/1.0 200 OK\r\nCSeq: %s\r\n%s" % (cseq, extra)
        if body and length:
            text += "Content-Length: %d\r\n" % len(body)
        self.send(text.encode("latin-1") + b"\r\n" + body)

    def run(self):
        try:
            self.handshake()
        except (OSError, ValueError):
            pass
        finally:
            self.log.write(self.case, "end", self.conn)
            self.closed.set()
            try:
                # Wakes the keep-alive reader, whose pending receive would
                # otherwise keep the socket open after close.
                self.sock.shutdown(socket.SHUT_RD)
            except OSError:
                pass
            self.sock.close()

    def handshake(self):
        while True:
            request = self.read_request()
            if request is None:
                return
            (method, url, *_), headers = request
            cseq = headers.get("cseq", "0")
            if self.case is None:
                name = url.rstrip("/").rsplit("/", 1)[-1]
                self.case = name if name in CASES else "good"
                self.log.write(self.case, "accept", self.conn)
            case = self.case
            if method == "DESCRIBE":
                extra = "Content-Type: application/sdp\r\n"
                if case == "no_length":
                    self.answer(cseq, extra, SDP, length=False)
                elif case == "long_header":
                    self.answer(cseq, extra + "X-Padding: " + "a" * (16384 + 1 - len("X-Padding: ")) + "\r\n", SDP)
                elif case == "endless_header":
                    self.send(("RTSP/1.0 200 OK\r\nCSeq: %s\r\n%s" % (cseq, extra)).encode("latin-1"))
                    line = b"X-Padding: " + b"a" * (1000 - len("X-Padding: ") - 2) + b"\r\n"
                    block = line * 64
                    while True:  # until the client hangs up (the send then fails)
                        self.send(block)
                elif case == "huge_length":
                    self.answer(cseq, extra + "Content-Length: 4294967296\r\n", b"", length=False)
                    self.send(SDP)
                    self.hold(20)
                    return
                else:
                    self.answer(cseq, extra, SDP)
                if case == "close_describe":
                    return
            elif method == "SETUP":
                self.answer(cseq, "Session: %s;timeout=60\r\nTransport: RTP/AVP/TCP;unicast;%s\r\n"
                            % (self.session, headers.get("transport", "").split(";")[-1]))
            elif method == "PLAY":
                if case == "data_first":
                    for channel, packet in FRAMES[:6]:
                        self.send(frame_bytes(channel, packet))
                self.answer(cseq, "Session: %s\r\nRange: npt=now-\r\n" % self.session)
                self.stream()
                return
            elif method == "OPTIONS":
                self.answer(cseq, "Public: DESCRIBE, SETUP, PLAY, OPTIONS\r\n")
            else:
                self.send(("RTSP/1.0 405 Method Not Allowed\r\nCSeq: %s\r\n\r\n" % cseq).encode())

    def hold(self, seconds):
        """Sends nothing until the peer closes or the time is up."""
        self.sock.settimeout(seconds)
        try:
            while self.sock.recv(4096):
                pass
        except socket.timeout:
            pass

    def answer_keepalives(self):
        """Reads the client's requests while streaming and answers them."""
        try:
            while not self.closed.is_set():
                request = self.read_request()
                if request is None:
                    break
                cseq = request[1].get("cseq", "0")
                if self.case == "options_body":
                    body = b"$\x00\x00\x20" + bytes(self.rng.getrandbits(8) for _ in range(60))
                    self.answer(cseq, "Content-Type: text/parameters\r\n", body)
                else:
                    self.answer(cseq, "Public: DESCRIBE, SETUP, PLAY, OPTIONS\r\n")
        except OSError:
            pass
        self.closed.set()

    def stream(self):
        case = self.case
        threading.Thread(target=self.answer_keepalives, daemon=True).start()
        start = time.monotonic()
        next_picture = start
        next_message = start + 1
        while not self.closed.is_set():
            for channel, packet in FRAMES:
                if self.closed.is_set():
                    return
                now = time.monotonic()
                if case == "stall" and now - start > 2:
                    self.closed.wait(30)
                    return
                if case == "reset" and now - start > 2:
                    self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                if case == "options_body" and now >= next_message:
                    next_message += 1
                    body = b"$\x00\xff\xff" + bytes(self.rng.getrandbits(8) for _ in range(28))
                    self.send(b"SET_PARAMETER rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 1\r\nContent-Length: %d\r\n\r\n"
                              % len(body) + body)
                out = frame_bytes(channel, mutate(case, channel, packet))
                if case == "garbage" and self.rng.random() < 0.3:
                    junk = bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(1, 300)))
                    out = (b"x" if junk[0] == 0x24 else b"") + junk + out
                if case == "big_frame" and self.rng.random() < 0.1:
                    noise = self.rng.randbytes(65535)
                    out = frame_bytes(self.rng.choice((0, 2)), noise) + out
                self.send(out)
                if channel == 0 and packet[1] & 0x80 and case != "no_marker":
                    next_picture += 1.0 / FPS
                    delay = next_picture - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    else:
                        next_picture = time.monotonic()
            if case == "no_marker":
                time.sleep(0.02)  # about 4 MB/s of pictures that never end


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    log = Log(args.log)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(64)
    print("hostile ready port=%d" % server.getsockname()[1], flush=True)
    seeds = random.Random(args.seed)
    while True:
        sock, _ = server.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection = Connection(sock, log, random.Random(seeds.getrandbits(32)))
        threading.Thread(target=connection.run, daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
