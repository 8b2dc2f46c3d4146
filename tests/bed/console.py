#!/usr/bin/python3
"""A stand-in UniFi console for tests: HTTPS on 127.0.0.1 with a self-signed
certificate made at start (openssl), answering the three requests of camera
discovery and a few /test/ paths for the HTTP client's own tests.

  console.py [--port 443] [--user U] [--password P] [--login SCENARIO]
             [--bootstrap SCENARIO] [--patch SCENARIO] [--cameras FILE]
             [--delay SECONDS] [--log FILE] [--ready-file FILE] [--cert-dir DIR]

Every start makes a new certificate, as a console replaced by another would
present; with --cert-dir the certificate (cert.pem, key.pem) is kept in DIR:
made there when DIR holds none, reused when it does (the same console again).

Sign-in (POST /api/auth/login) scenarios:
  ok       200 with Set-Cookie TOKEN=... (plus another cookie) and X-CSRF-Token,
           when user and password match; 401 otherwise
  nocsrf   200 with the cookie but no X-CSRF-Token
  401mfa   401 whose body mentions MFA
  499      499
  403, 201 that status
Bootstrap (GET /proxy/protect/api/bootstrap) scenarios:
  ok (the camera list), 500, notjson, nocameras, empty ({"cameras":[]}), huge (40 MiB)
PATCH /proxy/protect/api/cameras/ID scenarios:
  ok       the High channel gets RTSP on and an alias (the camera's "_alias" from
           the cameras file, else "<id>High"); answers the updated camera
  500, garbage (200 with a body that is not JSON), disabled (200, RTSP stays off)

--delay holds every sign-in answer back that long (a slow console).

Every request after the sign-in must carry exactly "Cookie: TOKEN=<issued>" and
"X-CSRF-Token: <issued>", else 401. Each request received is logged as one JSON
line (method, path, headers, body, complete) to --log, also one whose client
hung up before the body its Content-Length announced had arrived (complete
false; it gets no answer). Prints "listening 127.0.0.1:PORT" and the
certificate's "sha256 HEX" (of its DER form) when ready, and writes the port to
--ready-file. Stop it by its process id.
"""
import argparse
import copy
import hashlib
import http.server
import json
import os
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DEFAULT_CAMERAS = [
    {"id": "cam1", "name": "Porch", "state": "CONNECTED",
     "channels": [
         {"id": 0, "name": "High", "enabled": True, "isRtspEnabled": True, "rtspAlias": "porchHigh",
          "fps": 30, "bitrate": 1234567.5},
         {"id": 1, "name": "Medium", "enabled": True, "isRtspEnabled": False, "rtspAlias": ""}]},
    {"id": "cam2", "name": "Garage", "state": "CONNECTED",
     "channels": [
         {"id": 0, "name": "High", "enabled": True, "isRtspEnabled": False, "rtspAlias": "",
          "minMotionAdaptiveBitRate": 0.125},
         {"id": 1, "name": "Medium", "enabled": True, "isRtspEnabled": False, "rtspAlias": ""}]},
    {"id": "cam3", "name": "Yard", "state": "DISCONNECTED",
     "channels": [{"id": 1, "name": "Medium", "isRtspEnabled": True, "rtspAlias": "yardMedium"}]},
    {"name": "Shed", "channels": [{"id": 0, "name": "High", "isRtspEnabled": False, "rtspAlias": ""}]},
    {"id": "cam 5/x", "name": "Gate", "_alias": "gateHigh",
     "channels": [{"id": 0, "name": "High", "isRtspEnabled": False, "rtspAlias": ""}]},
]

BIG_BYTES = 40 * 1024 * 1024


def public(camera):
    """The camera as the console shows it (test-only keys starting with _ removed)."""
    return {k: v for k, v in camera.items() if not k.startswith("_")}


class Console:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.token = None
        self.csrf = None
        self.cameras = DEFAULT_CAMERAS
        if args.cameras:
            with open(args.cameras, encoding="utf-8") as f:
                self.cameras = json.load(f)
        self.cameras = copy.deepcopy(self.cameras)
        self.log = open(args.log, "a", encoding="utf-8") if args.log else None

    def record(self, method, path, headers, body, complete=True):
        if not self.log:
            return
        entry = {"method": method, "path": path, "headers": headers,
                 "body": body.decode("utf-8", "replace"), "complete": complete}
        with self.lock:
            self.log.write(json.dumps(entry) + "\n")
            self.log.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "console"
    sys_version = ""

    def log_message(self, fmt, *args):  # quiet; requests go to the JSON log
        pass

    @property
    def console(self):
        return self.server.console

    def read_body(self):
        """The body, and whether all that Content-Length announced arrived."""
        length = int(self.headers.get("Content-Length") or 0)
        if length <= 0:
            return b"", True
        try:
            body = self.rfile.read(length)
        except OSError:
            body = b""
        return body, len(body) == length

    def reply(self, status, body=b"", headers=()):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def reply_json(self, status, value, headers=()):
        self.reply(status, json.dumps(value, separators=(",", ":")),
                   [("Content-Type", "application/json")] + list(headers))

    def stream(self, status, prefix, total):
        self.send_response(status)
        self.send_header("Content-Length", str(total))
        self.end_headers()
        self.wfile.write(prefix)
        left = total - len(prefix)
        chunk = b" " * 65536
        while left > 0:
            n = min(left, len(chunk))
            self.wfile.write(chunk[:n])
            left -= n

    def signed_in(self):
        c = self.console
        return (c.token is not None
                and self.headers.get_all("Cookie") == ["TOKEN=" + c.token]
                and self.headers.get_all("X-CSRF-Token") == [c.csrf])

    def handle_any(self, method):
        body, complete = self.read_body()
        path = self.path
        self.console.record(method, path, list(self.headers.items()), body, complete)
        if not complete:  # the client went away before sending the body
            self.close_connection = True
            return
        if path.startswith("/test/"):
            return self.test_path(method, path, body)
        if method == "POST" and path == "/api/auth/login":
            return self.login(body)
        if method == "GET" and path == "/proxy/protect/api/bootstrap":
            return self.bootstrap()
        if method == "PATCH" and path.startswith("/proxy/protect/api/cameras/"):
            return self.patch(urllib.parse.unquote(path[len("/proxy/protect/api/cameras/"):]), body)
        self.reply_json(404, {"error": "not found"})

    def login(self, body):
        scenario = self.console.args.login
        if self.console.args.delay > 0:
            time.sleep(self.console.args.delay)
        if scenario in ("401mfa",):
            return self.reply_json(401, {"code": "MFA_AUTH_REQUIRED", "message": "MFA required"})
        if scenario in ("499", "403", "201"):
            return self.reply_json(int(scenario), {"message": "login " + scenario})
        try:
            creds = json.loads(body)
        except ValueError:
            return self.reply_json(400, {"message": "bad request"})
        if creds.get("username") != self.console.args.user or creds.get("password") != self.console.args.password:
            return self.reply_json(401, {"code": "AUTHENTICATION_FAILED_INVALID_CREDENTIALS",
                                         "message": "Invalid username or password"})
        c = self.console
        with c.lock:
            c.token = secrets.token_hex(24)
            c.csrf = secrets.token_hex(16)
        headers = [("Set-Cookie", "UOS_SESSION=other%d; path=/" % secrets.randbelow(1000)),
                   ("Set-Cookie", "TOKEN=%s; path=/; samesite=none; secure; httponly" % c.token)]
        if scenario != "nocsrf":
            headers.append(("X-CSRF-Token", c.csrf))
        self.reply_json(200, {"username": creds["username"], "isOwner": False}, headers)

    def bootstrap(self):
        if not self.signed_in():
            return self.reply_json(401, {"error": "unauthorized"})
        scenario = self.console.args.bootstrap
        if scenario == "500":
            return self.reply_json(500, {"error": "internal"})
        if scenario == "notjson":
            return self.reply(200, "<html>Protect is starting</html>", [("Content-Type", "text/html")])
        if scenario == "nocameras":
            return self.reply_json(200, {"nvr": {"name": "console"}, "cameraList": []})
        if scenario == "empty":
            return self.reply_json(200, {"cameras": []})
        if scenario == "huge":
            return self.stream(200, b'{"cameras":[', BIG_BYTES)
        with self.console.lock:
            cameras = [public(cam) for cam in self.console.cameras]
        self.reply_json(200, {"nvr": {"name": "console", "version": "4.0.0"}, "cameras": cameras,
                              "users": [], "lastUpdateId": "x"})

    def patch(self, camera_id, body):
        if not self.signed_in():
            return self.reply_json(401, {"error": "unauthorized"})
        scenario = self.console.args.patch
        if scenario == "500":
            return self.reply_json(500, {"error": "internal"})
        if scenario == "garbage":
            return self.reply(200, "ok", [("Content-Type", "text/plain")])
        try:
            change = json.loads(body)
        except ValueError:
            return self.reply_json(400, {"error": "bad json"})
        with self.console.lock:
            camera = next((c for c in self.console.cameras if c.get("id") == camera_id), None)
            if camera is None:
                return self.reply_json(404, {"error": "no such camera"})
            channels = change.get("channels")
            if not isinstance(channels, list):
                return self.reply_json(400, {"error": "no channels"})
            for channel in channels:
                if (isinstance(channel, dict) and channel.get("name") == "High"
                        and channel.get("isRtspEnabled") is True):
                    if scenario == "disabled":
                        channel["isRtspEnabled"] = False
                    elif not channel.get("rtspAlias"):
                        channel["rtspAlias"] = camera.get("_alias", camera_id + "High")
            camera["channels"] = channels
            answer = public(camera)
        self.reply_json(200, answer)

    def test_path(self, method, path, body):
        url = urllib.parse.urlparse(path)
        query = urllib.parse.parse_qs(url.query)
        what = url.path[len("/test/"):]
        if what == "echo":
            return self.reply_json(200, {"method": method, "path": path,
                                         "headers": [[k, v] for k, v in self.headers.items()],
                                         "body": body.decode("utf-8", "replace")})
        if what == "cookie-attrs":
            return self.reply(200, "set", [("Set-Cookie", "TOKEN=abc123; Path=/; HttpOnly"),
                                           ("X-CSRF-Token", "csrf-1")])
        if what == "cookie-lower":
            return self.reply(200, "lower", [("Set-Cookie", "token=zzz; Path=/")])
        if what == "two-tokens":
            return self.reply(200, "two", [("Set-Cookie", "TOKEN=first; Path=/"),
                                           ("Set-Cookie", "TOKEN=second"),
                                           ("X-CSRF-Token", "csrf-2")])
        if what == "long-cookie":
            return self.reply(200, "long", [("Set-Cookie", "junk=" + "j" * 10000 + "; Path=/"),
                                            ("Set-Cookie", "TOKEN=after-long; Path=/")])
        if what == "plain":
            return self.reply(200, "plain")
        if what.startswith("status/"):
            code = int(what[len("status/"):])
            return self.reply(code, "status %d body" % code)
        if what == "big":
            return self.stream(200, b"", int(query.get("bytes", ["0"])[0]))
        self.reply(404, "no such test path")

    def do_GET(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")

    def do_PATCH(self):
        self.handle_any("PATCH")

    def do_PUT(self):
        self.handle_any("PUT")

    def do_DELETE(self):
        self.handle_any("DELETE")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):  # a client that hangs up is no error here
        pass


def make_certificate(folder):
    """cert.pem and key.pem in folder: those already there, else new ones."""
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    if os.path.exists(cert) and os.path.exists(key):
        return cert, key
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=unifi.console.test"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def certificate_sha256(cert):
    """SHA-256 of the certificate's DER form, lowercase hex (the client's pin)."""
    with open(cert, encoding="ascii") as f:
        return hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest()


def main():
    parser = argparse.ArgumentParser(description="stand-in UniFi console (HTTPS, 127.0.0.1)")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--user", default="viewer")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--login", default="ok", choices=["ok", "nocsrf", "401mfa", "499", "403", "201"])
    parser.add_argument("--bootstrap", default="ok",
                        choices=["ok", "500", "notjson", "nocameras", "empty", "huge"])
    parser.add_argument("--patch", default="ok", choices=["ok", "500", "garbage", "disabled"])
    parser.add_argument("--delay", type=float, default=0.0, help="seconds before each sign-in answer")
    parser.add_argument("--cameras", help="JSON file with the camera list")
    parser.add_argument("--log", help="append one JSON line per request received")
    parser.add_argument("--ready-file", help="write the port here once listening")
    parser.add_argument("--cert-dir", help="keep the certificate here (reused when present)")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    folder = tempfile.mkdtemp(prefix="console-")
    try:
        if args.cert_dir:
            os.makedirs(args.cert_dir, exist_ok=True)
        cert, key = make_certificate(args.cert_dir or folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        try:
            server = Server(("127.0.0.1", args.port), Handler)
        except OSError as e:
            print("cannot listen on 127.0.0.1:%d: %s" % (args.port, e), file=sys.stderr, flush=True)
            sys.exit(3)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        server.console = Console(args)
        port = server.server_address[1]
        if args.ready_file:
            with open(args.ready_file + ".tmp", "w") as f:
                f.write(str(port))
            os.replace(args.ready_file + ".tmp", args.ready_file)
        print("listening 127.0.0.1:%d" % port, flush=True)
        print("sha256 %s" % certificate_sha256(cert), flush=True)
        server.serve_forever()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
