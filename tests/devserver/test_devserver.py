"""Self-test of the stand-in factory server, run as a separate process over real sockets.

Expected signatures are written out by hand per case (field order, text, key), so that a
fault in the server's own ordering or encoding cannot hide behind the same code here.
"""

import base64
import hashlib
import http.client
import json
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

SOURCE_DIR = os.environ.get("TOVARIN_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(SOURCE_DIR, "devserver", "devserver.py")
DEMO = os.path.join(SOURCE_DIR, "devserver", "demo-data.json")
KEY = "r4wq%k#2SIGNKEY58"
IMEI = "Tq7hXn2vLp9sRb4kWc6yJm1dFz8gNa3e"


def md5(data):
    return hashlib.md5(data).hexdigest()


def signed_text(*values, encoding="latin-1"):
    """The bytes a signature is taken over: the values as given, then the key."""
    return ("".join(values) + KEY).encode(encoding)


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def ack_of(body):
    return json.loads(body)["ack"]


def multipart(fields, quoted=True):
    """Encodes (name, value) pairs in the given order, as a Qt client lays them out."""
    boundary = "boundary_.oOo._" + uuid.uuid4().hex
    body = b""
    for name, value in fields:
        body += b"--" + boundary.encode() + b"\r\n"
        body += ('Content-Disposition: form-data; name="%s"\r\n\r\n' % name).encode("utf-8")
        body += value.encode("utf-8") + b"\r\n"
    body += b"--" + boundary.encode() + b"--\r\n"
    ctype = 'multipart/form-data; boundary="%s"' % boundary if quoted else "multipart/form-data; boundary=" + boundary
    return body, ctype


class Server:
    def __init__(self, *args, data=None):
        self.tmp = tempfile.TemporaryDirectory()
        self.ready = os.path.join(self.tmp.name, "ready.json")
        data_file = DEMO
        if data is not None:
            data_file = os.path.join(self.tmp.name, "data.json")
            with open(data_file, "w", encoding="utf-8") as f:
                json.dump(data, f)
        self.proc = subprocess.Popen(
            [sys.executable, "-B", SCRIPT, "--data", data_file, "--files", os.path.join(self.tmp.name, "files"),
             "--ready-file", self.ready, "--watch-stdin"] + list(args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=self.tmp.name)
        line = self.proc.stdout.readline()
        self.ports = json.loads(line)
        self.files = os.path.join(self.tmp.name, "files")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        if self.proc.poll() is None:
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.tmp.cleanup()

    def request(self, method, path, body=None, headers=None, https=False, timeout=15):
        if https:
            conn = http.client.HTTPSConnection("127.0.0.1", self.ports["https"], timeout=timeout,
                                               context=insecure_context())
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.ports["http"], timeout=timeout)
        try:
            conn.request(method, "/" + path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, dict((k.lower(), v) for k, v in r.getheaders()), r.read()
        finally:
            conn.close()

    def post(self, path, fields, https=False, quoted=True):
        body, ctype = multipart(fields, quoted)
        return self.request("POST", path, body, {"Content-Type": ctype}, https)

    def post_json(self, path, fields, https=False):
        status, _, body = self.post(path, fields, https)
        assert status == 200, (status, body)
        return json.loads(body)

    def control(self, method, what, payload=None):
        body = json.dumps(payload).encode() if payload is not None else None
        status, _, out = self.request(method, "__control/" + what, body, {"Content-Type": "application/json"})
        assert status == 200, (status, out)
        return json.loads(out)


class ServerTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.control("POST", "reset")

    def last(self, path):
        got = self.server.control("GET", "requests?path=" + path)
        self.assertTrue(got, "no request recorded for " + path)
        return got[-1]


class SignatureTest(ServerTestCase):
    """Both signature rules, accepted and refused, with hand-written signed texts."""

    CONFIG = "ToolClientConfigManageApi/getProToolLastUpgradePackage"
    LIST = "ToolClientConfigManageApi/getProductConfigList"
    OWNER_LOGIN = "CollectDeviceOwnership/toolLogin"
    OWNER_LIST = "CollectDeviceOwnership/getDeviceOwnerList"

    def check(self, path, fields, signed_bytes, expect_ok):
        sign = md5(signed_bytes)
        answer = self.server.post_json(path, fields + [("sign", sign)])
        rec = self.last(path)
        self.assertEqual(rec["signOk"], expect_ok, rec.get("expectedSign"))
        if expect_ok:
            self.assertNotEqual(answer["ack"], "403")
        else:
            self.assertEqual(answer["ack"], "403")
            self.assertEqual(answer["msg"], "sign mismatch")

    def test_value_chain(self):
        pw = md5(b"123456")
        config = [("version", "0.0.0.0"), ("proToolId", "101"), ("loginToken", "T"), ("controlProToolId", "100")]
        upper = [("count", "100"), ("Zone", "z"), ("releaseStatus", "2"), ("loginToken", "L")]
        chinese = [("productName", "摄像机"), ("releaseStatus", "2"), ("count", "100")]
        latin = [("productName", "Café"), ("releaseStatus", "2"), ("count", "100")]
        cases = [
            # name, path, fields in sending order, signed text, accepted
            ("sorted by name, not by arrival", self.CONFIG, config, signed_text("100", "T", "101", "0.0.0.0"), True),
            ("arrival order is refused", self.CONFIG, config, signed_text("0.0.0.0", "101", "T", "100"), False),
            ("key missing is refused", self.CONFIG,
             [("controlProToolId", "100"), ("loginToken", "T"), ("proToolId", "101"), ("version", "1.0")],
             b"100T1011.0", False),
            ("login", "ToolClientConfigManageApi/toolLogin", [("account", "operator"), ("password", pw)],
             signed_text("operator", pw), True),
            # Upper-case names sort before lower-case ones (UTF-16 code units), not alphabetically.
            ("upper case first", self.LIST, upper, signed_text("z", "100", "L", "2"), True),
            ("case-folded order is refused", self.LIST, upper, signed_text("100", "L", "2", "z"), False),
            # Characters outside Latin-1 become "?", one per UTF-16 code unit.
            ("chinese as question marks", self.LIST, chinese, signed_text("100", "???", "2"), True),
            ("astral character as two question marks", self.LIST,
             [("productName", "a\U0001F4F7b"), ("releaseStatus", "2"), ("count", "100")],
             signed_text("100", "a??b", "2"), True),
            ("utf-8 bytes of chinese are refused", self.LIST, chinese,
             signed_text("100", "摄像机", "2", encoding="utf-8"), False),
            # A Latin-1 character is hashed as its single Latin-1 byte.
            ("latin-1 byte", self.LIST, latin, signed_text("100", "Café", "2"), True),
            ("latin-1 hashed as utf-8 is refused", self.LIST, latin, signed_text("100", "Café", "2", encoding="utf-8"),
             False),
            ("empty values take part", self.LIST,
             [("count", "100"), ("loginToken", ""), ("productId", ""), ("productName", ""), ("releaseStatus", "2"),
              ("startId", "0")], signed_text("100", "2", "0"), True),
        ]
        for name, path, fields, signed, ok in cases:
            with self.subTest(name):
                self.check(path, fields, signed, ok)

    def test_pair_chain(self):
        pw = md5(b"123456")
        owner = [("loginToken", "own-operator-0001"), ("toolImei", IMEI)]
        cases = [
            ("login", self.OWNER_LOGIN, [("toolImei", IMEI), ("account", "operator"), ("password", pw)],
             signed_text("account", "operator", "password", pw, "toolImei", IMEI), True),
            ("values only is refused", self.OWNER_LOGIN,
             [("account", "operator"), ("password", pw), ("toolImei", IMEI)], signed_text("operator", pw, IMEI), False),
            ("list", self.OWNER_LIST, owner,
             signed_text("loginToken", "own-operator-0001", "toolImei", IMEI), True),
            ("upper-case name first, non-Latin-1 value", self.OWNER_LIST, owner + [("Note", "経")],
             signed_text("Note", "?", "loginToken", "own-operator-0001", "toolImei", IMEI), True),
        ]
        for name, path, fields, signed, ok in cases:
            with self.subTest(name):
                self.check(path, fields, signed, ok)

    def test_sign_missing_or_upper_case(self):
        status, _, body = self.server.post(self.CONFIG, [("proToolId", "101"), ("version", "1")])
        self.assertEqual(ack_of(body), "403")
        self.assertFalse(self.last(self.CONFIG)["signOk"])
        sign = md5(("101" + "1" + KEY).encode()).upper()
        answer = self.server.post_json(self.CONFIG, [("proToolId", "101"), ("sign", sign), ("version", "1")])
        self.assertEqual(answer["ack"], "200")

    def test_bare_boundary_and_unsigned_path(self):
        pw = md5(b"123456")
        fields = [("account", "operator"), ("password", pw), ("sign", md5(("operator" + pw + KEY).encode()))]
        status, _, body = self.server.post("ToolClientConfigManageApi/toolLogin", fields, quoted=False)
        self.assertEqual(ack_of(body), "200")
        self.server.request("GET", "ProductionApi/login?position_id=W01&user_id=E1001")
        self.assertIsNone(self.last("ProductionApi/login")["signOk"])


class FaultInjectionTest(ServerTestCase):
    PATH = "ProductionApi/login?position_id=W01&user_id=E1001"
    KEY_PATH = "ProductionApi/login"

    def behave(self, behaviour, path=KEY_PATH):
        self.assertTrue(self.server.control("POST", "behaviour", {"path": path, "behaviour": behaviour})["ok"])

    def test_behaviours(self):
        cases = [
            # behaviour, expected status, check of headers/body
            ({"status": 404}, 404, lambda h, b: self.assertNotIn(b"ack", b)),
            ({"status": 500}, 500, None),
            ({"status": 204}, 204, lambda h, b: self.assertEqual(b, b"")),
            ({"redirect": "http://127.0.0.1:9/x"}, 302,
             lambda h, b: (self.assertEqual(h["location"], "http://127.0.0.1:9/x"), self.assertTrue(b))),
            ({"body": "plain words"}, 200, lambda h, b: self.assertEqual(b, b"plain words")),
            ({"body": ""}, 200, lambda h, b: self.assertEqual(b, b"")),
            ({"ack": 200}, 200, lambda h, b: self.assertIs(type(ack_of(b)), int)),
            ({"ack": "500"}, 200, lambda h, b: self.assertEqual(ack_of(b), "500")),
            ({"json": {"ack": "200"}}, 200, lambda h, b: self.assertEqual(json.loads(b), {"ack": "200"})),
            ({"data": []}, 200, lambda h, b: self.assertEqual(json.loads(b)["data"], [])),
        ]
        for behaviour, status, check in cases:
            with self.subTest(json.dumps(behaviour)):
                self.behave(behaviour)
                for https in (False, True):
                    got_status, headers, body = self.server.request("GET", self.PATH, https=https)
                    self.assertEqual(got_status, status)
                    if check:
                        check(headers, body)
                self.assertEqual(self.last(self.KEY_PATH)["status"], status)

    def test_delay_does_not_block_others(self):
        self.behave({"delayMs": 800})
        start = time.monotonic()
        import threading
        slow = {}

        def slow_request():
            slow["r"] = self.server.request("GET", self.PATH)
            slow["end"] = time.monotonic()

        t = threading.Thread(target=slow_request)
        t.start()
        time.sleep(0.1)
        self.server.control("GET", "ping")
        fast_end = time.monotonic()
        t.join()
        # Order, not wall time: a server that served one request at a time would answer the ping
        # only after the delayed answer, however fast or loaded the machine.
        self.assertLess(fast_end, slow["end"])
        self.assertGreaterEqual(slow["end"] - start, 0.8)
        self.assertEqual(ack_of(slow["r"][2]), "200")

    def test_hold_until_released(self):
        import threading
        self.behave({"hold": True, "times": 1})
        held = {}
        t = threading.Thread(target=lambda: held.update(r=self.server.request("GET", self.PATH)))
        t.start()
        deadline = time.monotonic() + 10
        while not self.server.control("GET", "requests?path=" + self.KEY_PATH) and time.monotonic() < deadline:
            time.sleep(0.02)
        # Held: other requests of the same path (beyond "times") and control calls go on.
        self.assertEqual(self.server.request("GET", self.PATH)[0], 200)
        t.join(0.3)
        self.assertTrue(t.is_alive())
        self.assertEqual(self.server.control("POST", "release", {"path": self.KEY_PATH})["released"], 1)
        t.join(10)
        self.assertFalse(t.is_alive())
        self.assertEqual(ack_of(held["r"][2]), "200")
        self.assertEqual(self.server.control("POST", "release", {})["released"], 0)

    def test_times_patterns_and_removal(self):
        self.behave({"status": 500, "times": 2})
        self.behave({"ack": "777"}, "ProductionApi/*")
        statuses = [self.server.request("GET", self.PATH)[0] for _ in range(3)]
        self.assertEqual(statuses, [500, 500, 200])
        self.assertEqual(ack_of(self.server.request("GET", self.PATH)[2]), "777")
        self.behave(None, "ProductionApi/*")
        self.assertEqual(ack_of(self.server.request("GET", self.PATH)[2]), "200")

    def test_drop(self):
        self.behave({"drop": True})
        with self.assertRaises((http.client.HTTPException, ConnectionError, OSError)):
            self.server.request("GET", self.PATH)

    def test_filler_bodies(self):
        size = 300 * 1024 + 5
        whole = (b"0123456789abcdef" * (size // 16 + 1))[:size]
        for behaviour, length in [({"bodyBytes": size}, str(size)), ({"bodyBytes": size, "noLength": True}, None)]:
            with self.subTest(json.dumps(behaviour)):
                self.behave(behaviour)
                status, headers, body = self.server.request("GET", self.PATH)
                self.assertEqual((status, headers.get("content-length")), (200, length))
                self.assertEqual(body, whole)
                self.assertEqual(self.last(self.KEY_PATH)["sentBytes"], size)
        # Announced larger than sent: nothing more comes until the release, then the connection closes.
        self.behave({"bodyBytes": 10, "announceBytes": 5000, "holdMs": 20000})
        s = socket.create_connection(("127.0.0.1", self.server.ports["http"]), timeout=10)
        s.sendall(("GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % self.PATH).encode())
        data = b""
        while not data.endswith(b"0123456789"):
            chunk = s.recv(65536)
            self.assertTrue(chunk, data)
            data += chunk
        s.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            s.recv(65536)
        self.assertEqual(self.server.control("POST", "release", {"path": self.KEY_PATH})["released"], 1)
        s.settimeout(10)
        while chunk := s.recv(65536):
            data += chunk
        s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 5000", head)
        self.assertEqual(body, b"0123456789")
        self.assertEqual(self.last(self.KEY_PATH)["sentBytes"], 10)

    def test_files_trickle_truncate_and_escape(self):
        with open(os.path.join(self.server.files, "blob.bin"), "wb") as f:
            f.write(b"0123456789" * 50)
        status, headers, body = self.server.request("GET", "files/blob.bin")
        self.assertEqual((status, len(body)), (200, 500))
        self.behave({"trickle": {"chunkBytes": 200, "intervalMs": 250}}, "files/*")
        start = time.monotonic()
        status, headers, body = self.server.request("GET", "files/blob.bin")
        self.assertEqual(body, b"0123456789" * 50)
        self.assertGreaterEqual(time.monotonic() - start, 0.5)
        self.behave({"truncateAfter": 100}, "files/*")
        with self.assertRaises(http.client.IncompleteRead):
            self.server.request("GET", "files/blob.bin")
        self.behave({"delayMs": 300, "times": 1}, "files/blob.bin")
        start = time.monotonic()
        self.assertEqual(self.server.request("GET", "files/blob.bin")[0], 200)
        self.assertGreaterEqual(time.monotonic() - start, 0.3)
        # Paths that leave the files folder are not served, however they are spelled.
        for path in ("files/../ready.json", "files/%2e%2e/ready.json", "files//etc/passwd", "files/..%2Fready.json"):
            with socket.create_connection(("127.0.0.1", self.server.ports["http"])) as s:
                s.sendall(("GET /%s HTTP/1.0\r\n\r\n" % path).encode())
                reply = b""
                while chunk := s.recv(4096):
                    reply += chunk
            self.assertTrue(reply.startswith(b"HTTP/1.0 404") or reply.startswith(b"HTTP/1.1 404"), path)


class ByteRangeTest(ServerTestCase):
    """Ranged answers of files, as a client continuing a download asks for them."""
    NAME = "ranged.bin"
    PATH = "files/" + NAME

    def setUp(self):
        super().setUp()
        self.content = os.urandom(1000)
        self.put(self.NAME, self.content)

    def put(self, name, content):
        with open(os.path.join(self.server.files, name), "wb") as f:
            f.write(content)

    def behave(self, behaviour):
        self.assertTrue(self.server.control("POST", "behaviour", {"path": self.PATH, "behaviour": behaviour})["ok"])

    def fetch(self, headers):
        """(status, headers, body) of one GET, the body as far as it came before the close."""
        lines = "".join("%s: %s\r\n" % kv for kv in headers.items())
        with socket.create_connection(("127.0.0.1", self.server.ports["http"]), timeout=15) as s:
            s.sendall(("GET /%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%s\r\n" % (self.PATH, lines)).encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        got = dict((k.strip().lower(), v.strip()) for k, v in (h.split(":", 1) for h in header_lines))
        return int(status_line.split()[1]), got, body

    def validators(self):
        _, headers, _ = self.fetch({})
        return headers["etag"], headers["last-modified"]

    def test_ranges(self):
        etag, modified = self.validators()
        older = "Mon, 01 Jan 2024 00:00:00 GMT"
        c = self.content
        cases = [
            # name, request headers, behaviour, status, body, Content-Range, Content-Length, sentBytes
            ("open range", {"Range": "bytes=300-"}, None, 206, c[300:], "bytes 300-999/1000", 700, 700),
            ("no range", {}, None, 200, c, None, 1000, 1000),
            ("If-Range ETag matches", {"Range": "bytes=300-", "If-Range": etag}, None,
             206, c[300:], "bytes 300-999/1000", 700, 700),
            ("If-Range date matches", {"Range": "bytes=300-", "If-Range": modified}, None,
             206, c[300:], "bytes 300-999/1000", 700, 700),
            ("If-Range ETag differs", {"Range": "bytes=300-", "If-Range": '"other"'}, None, 200, c, None, 1000, 1000),
            ("If-Range weak ETag", {"Range": "bytes=300-", "If-Range": "W/" + etag}, None, 200, c, None, 1000, 1000),
            ("If-Range date differs", {"Range": "bytes=300-", "If-Range": older}, None, 200, c, None, 1000, 1000),
            ("start at the end", {"Range": "bytes=1000-"}, None, 416, None, "bytes */1000", None, None),
            ("end before start", {"Range": "bytes=500-400"}, None, 200, c, None, 1000, 1000),
            ("noRanges", {"Range": "bytes=300-"}, {"noRanges": True}, 200, c, None, 1000, 1000),
            ("status416", {"Range": "bytes=300-"}, {"status416": True}, 416, None, "bytes */1000", None, None),
            ("status416, no range", {}, {"status416": True}, 200, c, None, 1000, 1000),
            ("truncateAfter counts the range", {"Range": "bytes=300-"}, {"truncateAfter": 100},
             206, c[300:400], "bytes 300-999/1000", 700, 100),
            ("stallAfter counts the range", {"Range": "bytes=300-"}, {"stallAfter": 50, "holdMs": 200},
             206, c[300:350], "bytes 300-999/1000", 700, 50),
        ]
        for name, request, behaviour, status, body, content_range, length, sent in cases:
            with self.subTest(name):
                self.behave(behaviour)
                got_status, headers, got_body = self.fetch(request)
                self.assertEqual(got_status, status)
                self.assertEqual(headers.get("content-range"), content_range)
                if body is not None:
                    self.assertEqual(got_body, body)
                    self.assertEqual(headers.get("content-length"), str(length))
                    self.assertEqual(headers.get("etag"), etag)
                    self.assertEqual(headers.get("last-modified"), modified)
                    self.assertEqual(headers.get("accept-ranges"), None if behaviour and behaviour.get("noRanges")
                                     else "bytes")
                record = self.last(self.PATH)
                self.assertEqual((record["status"], record["contentRange"], record["sentBytes"]),
                                 (status, content_range, sent))
                self.assertEqual(record["headers"].get("range"), request.get("Range"))
                self.assertEqual(record["headers"].get("if-range"), request.get("If-Range"))

    def test_validators_follow_the_file(self):
        etag, _ = self.validators()
        self.assertRegex(etag, r'^"[^"]+"$')  # strong and quoted
        self.assertEqual(self.validators()[0], etag)
        # Same size, new bytes: a client holding the first half must be given the whole new file.
        changed = os.urandom(1000)
        self.put(self.NAME, changed)
        self.assertNotEqual(self.validators()[0], etag)
        status, _, body = self.fetch({"Range": "bytes=500-", "If-Range": etag})
        self.assertEqual((status, body), (200, changed))

    def test_file_replaced_after_an_answer(self):
        second = os.urandom(700)
        self.put("v2.bin", second)
        self.behave({"truncateAfter": 400, "times": 1, "thenReplaceWith": "v2.bin"})
        status, first_headers, body = self.fetch({})
        self.assertEqual((status, body), (200, self.content[:400]))
        # The continuation, under the first answer's validators, finds the new version.
        for validator in ("etag", "last-modified"):
            with self.subTest(validator):
                status, headers, body = self.fetch({"Range": "bytes=400-", "If-Range": first_headers[validator]})
                self.assertEqual((status, body), (200, second))
                self.assertNotEqual(headers[validator], first_headers[validator])
        with open(os.path.join(self.server.files, self.NAME), "rb") as f:
            self.assertEqual(f.read(), second)


class RecordingTest(ServerTestCase):
    def test_fields_headers_and_filtering(self):
        fields = [("version", "1.0"), ("sign", "abc"), ("productName", "摄像机 Café"), ("a\"b", "q")]
        self.server.post("ToolClientConfigManageApi/getProToolLastUpgradePackage", fields, https=True)
        self.server.request("GET", "ProductionApi/login?user_id=E%201&position_id=")
        self.server.control("GET", "ping")
        everything = self.server.control("GET", "requests")
        self.assertEqual([r["path"] for r in everything],
                         ["ToolClientConfigManageApi/getProToolLastUpgradePackage", "ProductionApi/login"])
        first, second = everything
        self.assertEqual([(f["name"], f["value"]) for f in first["fields"]], fields)
        self.assertEqual(first["scheme"], "https")
        self.assertEqual(first["method"], "POST")
        self.assertTrue(first["headers"]["content-type"].startswith("multipart/form-data"))
        self.assertFalse(first["signOk"])
        self.assertEqual(first["ack"], "403")
        self.assertEqual(second["queryFields"], [{"name": "user_id", "value": "E 1"},
                                                 {"name": "position_id", "value": ""}])
        self.assertEqual(second["query"], "user_id=E%201&position_id=")
        self.assertEqual(second["target"], "/ProductionApi/login?user_id=E%201&position_id=")
        self.assertLess(first["seq"], second["seq"])
        only = self.server.control("GET", "requests?path=ProductionApi/login")
        self.assertEqual(len(only), 1)
        self.server.control("POST", "requests/clear")
        self.assertEqual(self.server.control("GET", "requests"), [])
        # A bare "?" is kept in the target, where the parsed query cannot show it.
        self.server.request("GET", "ProductionApi/login?")
        self.assertEqual(self.last("ProductionApi/login")["target"], "/ProductionApi/login?")


class ServicesTest(ServerTestCase):
    def signed(self, path, fields, pairs=False):
        """Signs in the order given by the caller (already sorted by hand); the signature cases
        themselves are in SignatureTest."""
        text = "".join((n + v) if pairs else v for n, v in fields) + KEY
        return self.server.post_json(path, fields + [("sign", md5(text.encode("latin-1", "replace")))])

    def test_login(self):
        cases = [("operator", "123456", "200"), ("operator", "1234567", "303"), ("ghost", "123456", "303")]
        for account, password, ack in cases:
            with self.subTest(account=account, password=password):
                a = self.signed("ToolClientConfigManageApi/toolLogin",
                                [("account", account), ("password", md5(password.encode()))])
                self.assertEqual(a["ack"], ack)
                if ack == "200":
                    self.assertEqual(a["data"]["loginToken"], "tok-operator-0001")
                    self.assertTrue(a["data"]["nickName"])

    def test_tool_package(self):
        path = "ToolClientConfigManageApi/getProToolLastUpgradePackage"
        cases = [
            # tool id, installed version, expect versionNo, forced
            ("101", "0.0.0.0", "2.1.0.0", 0),
            ("101", "2.0.9.9", "2.1.0.0", 0),
            ("101", "2.1.0.0", "", 0),
            ("101", "10.0.0.0", "", 0),
            ("102", "1.0.0.0", "1.5.0.0", 1),
            ("105", "0.0.0.0", "", 0),
            ("100", "1.1.1.2", "", 0),
        ]
        for tool, version, want, force in cases:
            with self.subTest(tool=tool, version=version):
                a = self.signed(path, [("controlProToolId", "100"), ("loginToken", "t"), ("proToolId", tool),
                                       ("version", version)])
                self.assertEqual(a["ack"], "200")
                d = a["data"]
                self.assertEqual(d["versionNo"], want)
                self.assertEqual(d["forceUpgrade"], force)
                self.assertTrue(d["proToolUniqId"])
                if want:
                    self.assertTrue(d["versionUniqId"])
                    url = d["upgradePackageUrl"]
                    self.assertTrue(url.startswith("http://127.0.0.1:%d/files/" % self.server.ports["http"]), url)
                    status, _, body = self.server.request("GET", url.split("/", 3)[3])
                    self.assertEqual(status, 200)
                    self.assertTrue(body.startswith(b"PK"))
                else:
                    self.assertEqual(d["upgradePackageUrl"], "")
        a = self.signed(path, [("controlProToolId", "100"), ("loginToken", "t"), ("proToolId", "999"),
                               ("version", "1")])
        self.assertEqual(a["ack"], "404")

    def test_demo_station_offers_four_upgrades_once(self):
        """The tool page of scripts/run-demo.sh: installed tools carry 1.0.0.0, PPCFocus (108) is
        missing. Exactly the four demo upgrades are offered, and none once they are installed."""
        path = "ToolClientConfigManageApi/getProToolLastUpgradePackage"
        selected = ["101", "102", "103", "108", "109", "110", "115", "116"]
        installed = {t: ("0.0.0.0" if t == "108" else "1.0.0.0") for t in selected}

        def offers():
            got = {}
            for tool in selected:
                a = self.signed(path, [("controlProToolId", "100"), ("loginToken", "t"), ("proToolId", tool),
                                       ("version", installed[tool])])
                if a["data"]["versionNo"]:
                    got[tool] = (a["data"]["versionNo"], a["data"]["forceUpgrade"])
            return got

        first = offers()
        self.assertEqual(first, {"101": ("2.1.0.0", 0), "102": ("1.5.0.0", 1), "103": ("3.0.2.0", 0),
                                 "108": ("1.1.0.0", 0)})
        installed.update({t: v for t, (v, _) in first.items()})
        self.assertEqual(offers(), {})

    def test_urls_follow_the_scheme_asked(self):
        fields = [("controlProToolId", "100"), ("loginToken", "t"), ("proToolId", "103"), ("version", "0.0.0.0")]
        sign = md5(("100t1030.0.0.0" + KEY).encode())
        a = self.server.post_json("ToolClientConfigManageApi/getProToolLastUpgradePackage",
                                  fields + [("sign", sign)], https=True)
        self.assertTrue(a["data"]["upgradePackageUrl"].startswith("https://127.0.0.1:%d/" % self.server.ports["https"]))

    def test_products(self):
        path = "ToolClientConfigManageApi/getProductConfigList"
        cases = [
            # productId, productName, releaseStatus, expected ids
            ("", "", "2", ["D24010001", "D24010002", "D24010003", "D24010004", "D24010005", "D24010006",
                           "D24010007", "D24010010", "D24010011", "D24010012", "D24010013", "D24010014",
                           "D24010015", "../CON"]),
            ("", "", "1", ["D24010008", "D24010009", "D24010016", "D24010017"]),
            ("D24010002", "", "2", ["D24010002"]),
            ("D24010008", "", "2", []),
            ("", "低功耗", "2", ["D24010003"]),
            ("", "nvr", "2", ["D24010006"]),
        ]
        for pid, name, status, ids in cases:
            with self.subTest(pid=pid, name=name, status=status):
                a = self.signed(path, [("count", "100"), ("loginToken", "t"), ("productId", pid),
                                       ("productName", name), ("releaseStatus", status), ("startId", "0")])
                self.assertEqual(a["ack"], "200")
                self.assertEqual([p["productUniqId"] for p in a["data"]], ids)
                for p in a["data"]:
                    self.assertIsInstance(p["createTime"], int)
                    for member in ("productName", "moduleName", "moduleVersion"):
                        self.assertTrue(p[member], member)
                    # The demo's product without a picture answers an empty address.
                    self.assertEqual(bool(p["frontImgUrl"]), p["productUniqId"] != "D24010013")
        a = self.signed("ToolClientConfigManageApi/getProductConfigDetail",
                        [("loginToken", "t"), ("productUniqId", "D24010002")])
        flags = {f["funFlag"]: f["defaultValue"] for f in a["data"]["funList"]}
        self.assertEqual(flags["PPC.CustomIDFlag"], "ID02")
        a = self.signed("ToolClientConfigManageApi/getProductConfigDetail",
                        [("loginToken", "t"), ("productUniqId", "D99999999")])
        self.assertEqual(a["ack"], "404")

    def test_dealers(self):
        pw = md5(b"123456")
        for account, names in (("operator", ["华东经销商", "NorthStar Security", "欧洲客户B", "编号异常客户", "华南经销商", "华南经销商"]), ("nodealer", [])):
            with self.subTest(account=account):
                a = self.signed("CollectDeviceOwnership/toolLogin",
                                [("account", account), ("password", pw), ("toolImei", IMEI)], pairs=True)
                self.assertEqual(a["ack"], "200")
                token = a["data"]["loginToken"]
                self.assertNotEqual(token, "tok-operator-0001")  # not the configuration service's token
                b = self.signed("CollectDeviceOwnership/getDeviceOwnerList",
                                [("loginToken", token), ("toolImei", IMEI)], pairs=True)
                self.assertEqual([d["ownerName"] for d in b["data"]], names)
        refused = [
            ("CollectDeviceOwnership/toolLogin", [("account", "operator"), ("password", md5(b"x")),
                                                  ("toolImei", IMEI)], "303"),
            ("CollectDeviceOwnership/toolLogin", [("account", "operator"), ("password", pw),
                                                  ("toolImei", "other")], "406"),
            ("CollectDeviceOwnership/getDeviceOwnerList", [("loginToken", "tok-operator-0001"),
                                                           ("toolImei", IMEI)], "401"),
        ]
        for path, fields, ack in refused:
            with self.subTest(path=path, ack=ack):
                a = self.signed(path, fields, pairs=True)
                self.assertEqual(a["ack"], ack)
                self.assertTrue(a["msg"])

    def test_station_check(self):
        for query, ack in (("position_id=W01&user_id=E1001", "200"), ("position_id=W01&user_id=E1002", "401"),
                           ("position_id=W02&user_id=E1002", "200"), ("", "401")):
            with self.subTest(query=query):
                status, _, body = self.server.request("GET", "ProductionApi/login?" + query)
                self.assertEqual(ack_of(body), ack)

    def test_upgrade_record_and_token_check(self):
        path = "ToolClientConfigManageApi/recordProToolUpgrade"
        full = [("afterUpgradeVersion", "2.1.0.0"), ("beforeUpgradeVersion", "0.0.0.0"),
                ("loginToken", "tok-operator-0001"), ("proToolUniqId", "U"), ("testMachineName", "host"),
                ("upgradeTime", "1700000000"), ("versionUniqId", "V")]
        self.assertEqual(self.signed(path, full)["ack"], "200")
        self.assertEqual(self.signed(path, full[:-1])["ack"], "400")
        data = self.server.control("GET", "data")
        data["checkConfigToken"] = True
        self.server.control("POST", "data", data)
        self.assertEqual(self.signed(path, full)["ack"], "200")
        stale = [(n, "stale" if n == "loginToken" else v) for n, v in full]
        self.assertEqual(self.signed(path, stale)["ack"], "401")

    def test_unknown_path_and_sign_check_off(self):
        self.assertEqual(self.server.request("GET", "ToolClientConfigManageApi/nothing")[0], 404)
        data = self.server.control("GET", "data")
        data["checkSign"] = False
        self.server.control("POST", "data", data)
        a = self.server.post_json("ToolClientConfigManageApi/toolLogin",
                                  [("account", "operator"), ("password", md5(b"123456")), ("sign", "x")])
        self.assertEqual(a["ack"], "200")
        self.assertFalse(self.last("ToolClientConfigManageApi/toolLogin")["signOk"])

    def test_set_data_generates_files_and_reset_restores(self):
        data = self.server.control("GET", "data")
        data["files"] = [{"name": "new/pic.png", "png": {"width": 3, "height": 2, "color": "#FF0000"}},
                         {"name": "../outside.txt", "text": "no"}]
        data["accounts"] = []
        self.server.control("POST", "data", data)
        status, _, body = self.server.request("GET", "files/new/pic.png")
        self.assertEqual(status, 200)
        self.assertTrue(body.startswith(b"\x89PNG\r\n\x1a\n"))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.server.files), "outside.txt")))
        self.server.control("POST", "reset")
        self.assertEqual(self.server.control("GET", "data")["accounts"][0]["account"], "operator")


    def test_demo_pictures_are_camera_drawings(self):
        seen = set()
        for name in ("product-D24010001.png", "product-D24010002.png", "product-unsafe-id.png"):
            status, _, body = self.server.request("GET", "files/" + name)
            self.assertEqual(status, 200, name)
            self.assertTrue(body.startswith(b"\x89PNG\r\n\x1a\n"), name)
            width, height = struct.unpack(">II", body[16:24])
            self.assertEqual((width, height), (240, 180))
            seen.add(body)
        self.assertEqual(len(seen), 3)  # each kind is drawn differently
        self.assertEqual(self.server.request("GET", "files/product-D24010014-missing.png")[0], 404)


class PerToolBehaviourTest(ServerTestCase):
    """Behaviours matched on one request field, and packages offered a limited number of times."""
    PACKAGE = "ToolClientConfigManageApi/getProToolLastUpgradePackage"

    def ask(self, tool, version="1.0.0.0", urlencoded=False):
        fields = [("controlProToolId", "100"), ("loginToken", "t"), ("proToolId", tool), ("version", version)]
        fields.append(("sign", md5(("100t" + tool + version + KEY).encode())))
        if urlencoded:
            import urllib.parse
            status, _, body = self.server.request("POST", self.PACKAGE, urllib.parse.urlencode(fields).encode(),
                                                  {"Content-Type": "application/x-www-form-urlencoded"})
        else:
            status, _, body = self.server.post(self.PACKAGE, fields)
        return status, body

    def behave(self, path, behaviour):
        answer = self.server.control("POST", "behaviour", {"path": path, "behaviour": behaviour})
        self.assertTrue(answer["ok"])
        return answer["keys"]

    def test_when_matches_one_field(self):
        cases = [
            # when, asked tool, form encoding, expected HTTP status
            ({"proToolId": "102"}, "102", False, 500),
            ({"proToolId": "102"}, "102", True, 500),
            ({"proToolId": "102"}, "103", False, 200),
            ({"proToolId": 102}, "102", False, 500),           # a number means its decimal text
            ({"proToolId": "102", "version": "1.0.0.0"}, "102", False, 500),
            ({"proToolId": "102", "version": "9.9.9.9"}, "102", False, 200),  # every field must match
            ({"missing": ""}, "102", False, 200),              # an absent field matches nothing, not ""
        ]
        for when, tool, urlencoded, status in cases:
            with self.subTest(when=when, tool=tool, urlencoded=urlencoded):
                self.server.control("POST", "reset")
                self.behave(self.PACKAGE, {"when": when, "status": 500})
                self.assertEqual(self.ask(tool, urlencoded=urlencoded)[0], status)

    def test_when_on_query_fields_and_patterns(self):
        self.behave("ProductionApi/*", {"when": {"position_id": "W02"}, "ack": "777"})
        self.assertEqual(ack_of(self.server.request("GET", "ProductionApi/login?position_id=W01&user_id=E1001")[2]),
                         "200")
        self.assertEqual(ack_of(self.server.request("GET", "ProductionApi/login?position_id=W02&user_id=E1002")[2]),
                         "777")

    def test_several_whens_times_and_removal(self):
        keys = self.behave(self.PACKAGE, {"when": {"proToolId": "102"}, "status": 500, "times": 1})
        self.assertEqual(keys, [self.PACKAGE + "#proToolId=102"])
        self.behave(self.PACKAGE, {"when": {"proToolId": "103"}, "status": 503})
        self.behave(self.PACKAGE + "#slow", {"status": 404, "times": 1})   # unconditional, labelled
        # A mismatch does not use up "times": 103 and the unconditional rule come first, then 102
        # still finds its one failure; afterwards 102 is answered normally.
        got = [self.ask(t)[0] for t in ("103", "101", "102", "102", "103")]
        self.assertEqual(got, [503, 404, 500, 200, 503])
        self.assertEqual(sorted(k for k in self.server.control("GET", "behaviour") if k.startswith(self.PACKAGE)),
                         sorted([self.PACKAGE + "#proToolId=102", self.PACKAGE + "#proToolId=103",
                                 self.PACKAGE + "#slow"]))
        # The plain path's removal takes its labelled behaviours with it.
        self.assertEqual(len(self.behave(self.PACKAGE, None)), 3)
        self.assertEqual(self.ask("103")[0], 200)

    def test_hold_with_when_and_release(self):
        import threading
        for release_path in (self.PACKAGE, self.PACKAGE + "#proToolId=102"):
            with self.subTest(release=release_path):
                self.server.control("POST", "reset")
                self.behave(self.PACKAGE, {"when": {"proToolId": "102"}, "hold": True})
                held = {}
                t = threading.Thread(target=lambda: held.update(r=self.ask("102")))
                t.start()
                deadline = time.monotonic() + 10
                while not self.server.control("GET", "requests?path=" + self.PACKAGE) \
                        and time.monotonic() < deadline:
                    time.sleep(0.02)
                # Another tool's query of the same path is not held.
                self.assertEqual(self.ask("103")[0], 200)
                t.join(0.3)
                self.assertTrue(t.is_alive())
                self.assertEqual(self.server.control("POST", "release", {"path": release_path})["released"], 1)
                t.join(10)
                self.assertFalse(t.is_alive())
                self.assertEqual(json.loads(held["r"][1])["data"]["versionNo"], "1.5.0.0")

    def test_offer_times(self):
        data = self.server.control("GET", "data")
        for tool in data["tools"]:
            if tool["proToolId"] == "101":
                tool["package"]["offerTimes"] = 2
        self.server.control("POST", "data", data)

        def version_no(tool, version="1.0.0.0"):
            return json.loads(self.ask(tool, version)[1])["data"]["versionNo"]

        # An answer without an offer (already up to date) does not count; spoilt answers neither.
        self.assertEqual(version_no("101", "2.1.0.0"), "")
        self.behave(self.PACKAGE, {"when": {"proToolId": "101"}, "ack": "500", "times": 1})
        self.assertEqual(json.loads(self.ask("101")[1])["ack"], "500")
        self.assertEqual([version_no("101") for _ in range(3)], ["2.1.0.0", "2.1.0.0", ""])
        self.assertEqual(version_no("103"), "3.0.2.0")  # other tools are not limited
        self.assertEqual(self.server.control("GET", "offers"), {"101": 2, "103": 1})
        self.server.control("POST", "data", data)  # a new data set starts counting again
        self.assertEqual(self.server.control("GET", "offers"), {})
        self.assertEqual(version_no("101"), "2.1.0.0")
        self.server.control("POST", "reset")
        self.assertEqual(self.server.control("GET", "offers"), {})

    def test_large_package_stall_and_hold(self):
        import threading
        size = 3 * 1024 * 1024
        with open(os.path.join(self.server.files, "big.zip"), "wb") as f:
            f.write(os.urandom(size))
        path = "files/big.zip"
        cases = [
            # behaviour, bytes expected before the release, whole file after it
            ({"stallAfter": 1024 * 1024}, 1024 * 1024, False),
            ({"hold": True}, 0, True),
        ]
        for behaviour, before, whole in cases:
            with self.subTest(behaviour=behaviour):
                self.behave(path, behaviour)
                got = {"n": 0, "done": False}

                def fetch():
                    s = socket.create_connection(("127.0.0.1", self.server.ports["http"]), timeout=20)
                    s.sendall(("GET /%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % path).encode())
                    data = b""
                    while chunk := s.recv(65536):
                        data += chunk
                        got["n"] = max(0, len(data) - data.find(b"\r\n\r\n") - 4) if b"\r\n\r\n" in data else 0
                    s.close()
                    got["done"] = True

                t = threading.Thread(target=fetch)
                t.start()
                deadline = time.monotonic() + 10
                while not self.server.control("GET", "requests?path=" + path) and time.monotonic() < deadline:
                    time.sleep(0.02)
                deadline = time.monotonic() + 10
                while got["n"] < before and time.monotonic() < deadline:
                    time.sleep(0.02)
                t.join(0.5)
                self.assertFalse(got["done"])
                self.assertEqual(got["n"], before)
                self.assertEqual(self.server.control("POST", "release", {"path": path})["released"], 1)
                t.join(20)
                self.assertTrue(got["done"])
                self.assertEqual(got["n"], size if whole else before)
                self.behave(path, None)


class ChaosTest(unittest.TestCase):
    """Chaos mode: the same seed faults the same requests, control requests are spared, and the
    server's count of whole deliveries agrees with what the client received intact."""
    ARGS = ("--no-https", "--chaos-rate", "0.6", "--chaos-delay-ms", "100", "--chaos-stall-ms", "200")
    BLOB = bytes(range(256)) * 40

    def outcomes(self, seed):
        with Server("--chaos", str(seed), *self.ARGS) as server:
            with open(os.path.join(server.files, "pkg.zip"), "wb") as f:
                f.write(self.BLOB)
            seen, intact = [], 0
            for _ in range(30):
                self.assertTrue(server.control("GET", "ping")["ok"])  # never faulted
                try:
                    status, _, body = server.request("GET", "files/pkg.zip", timeout=5)
                    seen.append((status, len(body), body == self.BLOB))
                    intact += status == 200 and body == self.BLOB
                except (http.client.HTTPException, OSError) as e:
                    seen.append(type(e).__name__)
            # A delivery is written down after its last byte left: the count may trail what the
            # client already holds by a moment, never the other way.
            deadline = time.monotonic() + 10
            counts = server.control("GET", "chaos")
            while counts["files"]["pkg.zip"]["complete"] < intact and time.monotonic() < deadline:
                time.sleep(0.02)
                counts = server.control("GET", "chaos")
        return seen, intact, counts

    def test_seeded_faults_counts_and_deliveries(self):
        first, intact, counts = self.outcomes(11)
        again, _, counts_again = self.outcomes(11)
        other, _, _ = self.outcomes(12)
        self.assertEqual(first, again)
        self.assertEqual(counts["faults"], counts_again["faults"])
        self.assertNotEqual(first, other)
        self.assertEqual(counts["requests"], 30)
        faulted = [o for o in first if o != (200, len(self.BLOB), True)]
        self.assertGreater(len(faulted), 5)
        # A delay still delivers the file whole; every other fault kind spoils the answer.
        self.assertEqual(len(faulted), sum(counts["faults"].values()) - counts["faults"].get("delay", 0))
        self.assertGreater(counts["faults"].get("damaged", 0), 0)
        self.assertEqual(counts["files"]["pkg.zip"]["complete"], intact)


def openssl(*args):
    return subprocess.run(["openssl"] + list(args), check=True, capture_output=True).stdout


class PackageSignatureTest(unittest.TestCase):
    """Package signatures with --signing-key, and toolpackage.py --sign: what a station fetches
    beside a package is checked with openssl alone, as a release engineer would."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.TemporaryDirectory()
        cls.pem = os.path.join(cls.keys.name, "key.pem")
        cls.public_pem = os.path.join(cls.keys.name, "public.pem")
        openssl("genpkey", "-algorithm", "ed25519", "-out", cls.pem)
        openssl("pkey", "-in", cls.pem, "-pubout", "-out", cls.public_pem)
        cls.server = Server("--no-https", "--signing-key", cls.pem)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.keys.cleanup()

    def verifies(self, package, signature_line):
        """openssl's judgement of a signature file's content for these package bytes."""
        with tempfile.TemporaryDirectory() as work:
            paths = [os.path.join(work, n) for n in ("package", "digest", "signature")]
            with open(paths[0], "wb") as f:
                f.write(package)
            openssl("dgst", "-sha256", "-binary", "-out", paths[1], paths[0])
            with open(paths[2], "wb") as f:
                f.write(base64.b64decode(signature_line, validate=True))
            return subprocess.run(["openssl", "pkeyutl", "-verify", "-rawin", "-pubin", "-inkey", self.public_pem,
                                   "-in", paths[1], "-sigfile", paths[2]], capture_output=True).returncode == 0

    def put(self, name, content, mtime_shift=0):
        path = os.path.join(self.server.files, name)
        with open(path, "wb") as f:
            f.write(content)
        if mtime_shift:
            st = os.stat(path)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + mtime_shift * 10**9))

    def fetch_signature(self, name):
        """(status, body, whether the server made the signature for this request)."""
        status, _, body = self.server.request("GET", "files/%s.sig" % name)
        return status, body, self.server.control("GET", "requests?path=files/%s.sig" % name)[-1]["signatureMade"]

    def test_ready_line_names_the_public_key(self):
        der = openssl("pkey", "-in", self.pem, "-pubout", "-outform", "DER")
        self.assertEqual(self.server.ports["packageKey"], base64.b64encode(der[-32:]).decode())

    def test_signatures(self):
        maker = os.environ.get("TOVARIN_DEMOTOOL") or os.path.join(SOURCE_DIR, "build", "bin", "demotool")
        generator = [sys.executable, "-B", os.path.join(SOURCE_DIR, "devserver", "toolpackage.py"),
                     "--binary", maker, "--version", "1.5.0.0", "--sign", self.pem]
        blob = bytes(range(256)) * 300
        cases = [
            # name, package file, how it is prepared, then changed after a first fetch (None: not),
            # expected: "made" (by the server for this request; openssl accepts it), "beside" (the
            # generator's file, served as it lies; openssl accepts it), "as placed" or an HTTP status
            ("made for a package the data file generates", "BPC-1.5.0.0.zip", None, None, "made"),
            ("made for a file put in the folder", "put.bin", lambda n: self.put(n, blob), None, "made"),
            ("a signature file in the folder is served as it is", "placed.bin",
             lambda n: (self.put(n, blob), self.put(n + ".sig", b"placed, not checked")), None, "as placed"),
            ("no package, no signature", "absent.zip", None, None, 404),
            ("the package grew after its signature was made", "grown.bin", lambda n: self.put(n, blob),
             lambda n: self.put(n, blob + b"more"), "made"),
            ("same size, other bytes, later time", "rewritten.bin", lambda n: self.put(n, blob),
             lambda n: self.put(n, blob[::-1], mtime_shift=10), "made"),
            ("toolpackage.py --sign, zip", "made.zip",
             lambda n: subprocess.run(generator + ["zip", "--folder", "T", "-o", os.path.join(self.server.files, n)],
                                      check=True), None, "beside"),
        ]
        for name, package, prepare, change, expected in cases:
            with self.subTest(name):
                if expected == "beside" and not os.path.isfile(maker):
                    self.skipTest("no demo tool built at " + maker)
                if prepare:
                    prepare(package)
                status, body, made = self.fetch_signature(package)
                if change:
                    self.assertEqual((status, made), (200, True))
                    self.assertEqual(self.fetch_signature(package), (status, body, False))  # cached
                    change(package)
                    status, body, made = self.fetch_signature(package)
                    self.assertTrue(made)
                if expected in ("made", "beside"):
                    self.assertEqual((status, made), (200, True if expected == "made" else None))
                    self.assertRegex(body, rb"^[A-Za-z0-9+/]{86}==$")  # one line, 64 bytes
                    self.assertTrue(self.verifies(self.server.request("GET", "files/" + package)[2], body))
                elif expected == "as placed":
                    self.assertEqual((status, body, made), (200, b"placed, not checked", None))
                else:
                    self.assertEqual(status, expected)


class CommandLineTest(unittest.TestCase):
    def test_ready_file_and_stdin_close(self):
        with Server("--no-https", data={"accounts": []}) as s:
            with open(s.ready, encoding="utf-8") as f:
                ready = json.load(f)
            self.assertEqual(ready["http"], s.ports["http"])
            self.assertEqual(ready["https"], 0)
            self.assertEqual(s.request("GET", "__control/ping")[0], 200)
            s.proc.stdin.close()
            self.assertEqual(s.proc.wait(10), 0)

    def test_sigterm(self):
        with Server("--no-https") as s:
            s.proc.send_signal(signal.SIGTERM)
            self.assertEqual(s.proc.wait(10), 0)

    def test_expired_certificate(self):
        with Server("--expired-cert") as s:
            with socket.create_connection(("127.0.0.1", s.ports["https"])) as raw:
                with insecure_context().wrap_socket(raw) as tls:
                    cert = ssl.DER_cert_to_PEM_cert(tls.getpeercert(binary_form=True))
            with tempfile.NamedTemporaryFile("w", suffix=".pem", delete=False) as f:
                f.write(cert)
            try:
                out = subprocess.run(["openssl", "x509", "-in", f.name, "-noout", "-checkend", "0"],
                                     capture_output=True, text=True)
            finally:
                os.unlink(f.name)
            self.assertNotEqual(out.returncode, 0, out.stdout)  # expired now
            self.assertEqual(s.request("GET", "__control/ping", https=True)[0], 200)


if __name__ == "__main__":
    unittest.main()
