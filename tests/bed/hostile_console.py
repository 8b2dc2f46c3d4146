#!/usr/bin/python3
"""A hostile stand-in UniFi console: tests/bed/console.py's server (HTTPS on 127.0.0.1,
the same sign-in, cookie and CSRF rules) with one misbehaviour per --mode.

  hostile_console.py --mode MODE [--port N] [--log FILE] [--ready-file FILE]

Modes:
  big          a 10 MB bootstrap: the usual cameras plus 10 MB of other members
  deep         a bootstrap nested 100000 arrays deep before the cameras
  deepcamera   the cameras' channels nested 100000 objects deep
  kinds        every field of every camera of the wrong kind (numbers for
               strings, strings for booleans, objects for arrays, ...)
  camerasobject  "cameras" is an object, not an array
  hugelogin    the sign-in answer carries a 20 MB body
  slowlogin    the sign-in answer comes after 15 s (past the 12 s time-out)
  slowbootstrap  the bootstrap headers come at once, the body after 15 s
  patchdeep    PATCH answers nested 100000 objects deep
  patchkinds   PATCH answers with "channels" of the wrong kind
  trickle_headers  the sign-in answer's status line and headers come one byte
               every 2.5 s, forever (each byte well inside the 12 s time-out)
  trickle_body   the bootstrap headers come at once, then the body one byte
               every 2.5 s, forever
  tinyvalues   a bootstrap of 32 MiB (the client's cap) of tiny values:
               {"cameras":[0,0,0,...]}, some 16 million of them

Prints "listening 127.0.0.1:PORT" when ready. Stop it by its process id.
"""
import argparse
import itertools
import json
import os
import shutil
import signal
import ssl
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import console  # noqa: E402

MODES = ("big", "deep", "deepcamera", "kinds", "camerasobject", "hugelogin", "slowlogin", "slowbootstrap",
         "patchdeep", "patchkinds", "trickle_headers", "trickle_body", "tinyvalues")
DEPTH = 100000
SLOW_SECONDS = 15
TRICKLE_SECONDS = 2.5

WRONG_KINDS = [
    1, "camera", None, True, [],
    {"id": 5, "name": ["Porch"], "channels": "High"},
    {"id": {"x": 1}, "name": 7, "channels": {"name": "High"}},
    {"id": "k1", "name": None, "channels": [1, "High", None, [], {"name": 5}]},
    {"id": "k2", "name": "Wrong", "channels": [{"name": "High", "isRtspEnabled": "true", "rtspAlias": 7}]},
    {"id": "k3", "name": "Alias", "channels": [{"name": "High", "isRtspEnabled": 1, "rtspAlias": ["a"]}]},
    {"id": "k4", "name": "Odd", "channels": [{"name": ["High"], "isRtspEnabled": True, "rtspAlias": "x"}]},
    {"id": "", "name": "", "channels": [{"name": "High", "isRtspEnabled": True, "rtspAlias": ""}]},
]


class HostileHandler(console.Handler):
    @property
    def mode(self):
        return self.server.mode

    def trickle(self, data):
        """Writes data one byte at a time, TRICKLE_SECONDS apart, then spaces the
        same way for ever; ends when the client hangs up."""
        try:
            for i in itertools.count():
                self.wfile.write(data[i:i + 1] if i < len(data) else b" ")
                self.wfile.flush()
                time.sleep(TRICKLE_SECONDS)
        except OSError:
            self.close_connection = True

    def login(self, body):
        if self.mode == "trickle_headers":
            return self.trickle(b"HTTP/1.1 200 OK\r\nX-Slow: ")
        if self.mode == "slowlogin":
            time.sleep(SLOW_SECONDS)
        if self.mode == "hugelogin":
            return self.stream(200, b'{"username":"', 20 * 1024 * 1024)
        return console.Handler.login(self, body)

    def bootstrap(self):
        if not self.signed_in():
            return self.reply_json(401, {"error": "unauthorized"})
        with self.console.lock:
            cameras = [console.public(cam) for cam in self.console.cameras]
        mode = self.mode
        if mode == "big":
            filler = [{"id": "u%d" % i, "name": "user %d" % i, "pad": "p" * 200} for i in range(40000)]
            text = json.dumps({"users": filler, "cameras": cameras, "more": filler[:4000]})
            return self.reply(200, text, [("Content-Type", "application/json")])
        if mode == "deep":
            text = '{"deep":' + "[" * DEPTH + "]" * DEPTH + ',"cameras":' + json.dumps(cameras) + "}"
            return self.reply(200, text, [("Content-Type", "application/json")])
        if mode == "deepcamera":
            deep = '{"a":' * DEPTH + "1" + "}" * DEPTH
            text = '{"cameras":[{"id":"d1","name":"Deep","channels":[' + deep + "]}]}"
            return self.reply(200, text, [("Content-Type", "application/json")])
        if mode == "kinds":
            return self.reply_json(200, {"cameras": WRONG_KINDS})
        if mode == "camerasobject":
            return self.reply_json(200, {"cameras": {"0": cameras[0]}})
        if mode == "slowbootstrap":
            text = json.dumps({"cameras": cameras}).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            self.wfile.flush()
            time.sleep(SLOW_SECONDS)
            self.wfile.write(text)
            return None
        if mode == "tinyvalues":
            head, tail = b'{"cameras":[0', b"]}"
            count = (32 * 1024 * 1024 - len(head) - len(tail)) // 2
            return self.reply(200, head + b",0" * count + tail, [("Content-Type", "application/json")])
        if mode == "trickle_body":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(10 ** 9))
            self.end_headers()
            self.wfile.flush()
            return self.trickle(json.dumps({"cameras": cameras}).encode())
        return console.Handler.bootstrap(self)

    def patch(self, camera_id, body):
        if not self.signed_in():
            return self.reply_json(401, {"error": "unauthorized"})
        if self.mode == "patchdeep":
            return self.reply(200, '{"channels":' + "[" * DEPTH + "]" * DEPTH + "}",
                              [("Content-Type", "application/json")])
        if self.mode == "patchkinds":
            return self.reply_json(200, {"channels": {"name": "High", "isRtspEnabled": True, "rtspAlias": 5}})
        return console.Handler.patch(self, camera_id, body)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mode", required=True, choices=MODES)
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--log")
    parser.add_argument("--ready-file")
    args = parser.parse_args()
    # The settings console.Console reads, at their defaults.
    args.user, args.password, args.login, args.bootstrap, args.patch, args.cameras, args.delay = (
        "viewer", "secret", "ok", "ok", "ok", None, 0.0)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    folder = tempfile.mkdtemp(prefix="hostile-console-")
    try:
        cert, key = console.make_certificate(folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server = console.Server(("127.0.0.1", args.port), HostileHandler)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        server.console = console.Console(args)
        server.mode = args.mode
        port = server.server_address[1]
        if args.ready_file:
            with open(args.ready_file + ".tmp", "w") as f:
                f.write(str(port))
            os.replace(args.ready_file + ".tmp", args.ready_file)
        print("listening 127.0.0.1:%d" % port, flush=True)
        server.serve_forever()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
