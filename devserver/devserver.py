#!/usr/bin/env python3
"""Stand-in factory server for tests and the demo.

Serves the configuration service ("ToolClientConfigManageApi/..."), the device-ownership
service ("CollectDeviceOwnership/...") and the production service ("ProductionApi/login") on
one HTTP port and one HTTPS port, plus package and picture files under "files/". Everything
it answers comes from one JSON data set; every request is recorded; any path can be told to
misbehave. See README.md next to this file.

Python 3 standard library only, plus the openssl command (certificate, package signatures).
"""

import argparse
import base64
import copy
import datetime
import email.utils
import hashlib
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import packagesign  # noqa: E402  (shared with toolpackage.py)

SIGN_KEY = "r4wq%k#2SIGNKEY58"
VALUE_CHAIN_PREFIX = "ToolClientConfigManageApi/"
PAIR_CHAIN_PREFIX = "CollectDeviceOwnership/"
CONTROL_PREFIX = "__control/"
FILES_PREFIX = "files/"
# What a "bodyBytes" answer is made of: this pattern over and over, so that a client can tell
# an answer that arrived whole from one cut or shifted.
FILLER_PATTERN = b"0123456789abcdef"
FILLER_PIECE = FILLER_PATTERN * 4096
SERVICE_PATHS = (
    "ToolClientConfigManageApi/toolLogin",
    "ToolClientConfigManageApi/getProToolLastUpgradePackage",
    "ToolClientConfigManageApi/recordProToolUpgrade",
    "ToolClientConfigManageApi/getProductConfigList",
    "ToolClientConfigManageApi/getProductConfigDetail",
    "CollectDeviceOwnership/toolLogin",
    "CollectDeviceOwnership/getDeviceOwnerList",
    "ProductionApi/login",
)

# Answer codes of our own where the real services leave them open.
ACK_OK = "200"
ACK_BAD_SIGN = "403"
ACK_BAD_LOGIN = "303"
ACK_BAD_TOKEN = "401"
ACK_MISSING_FIELD = "400"
ACK_NOT_FOUND = "404"
ACK_UNKNOWN_TOOL_IMEI = "406"


# ---------------------------------------------------------------------------------------------
# Signing, as the clients do it: Latin-1 per UTF-16 code unit with "?" for the rest.


def latin1_text(text):
    out = []
    for ch in text:
        code = ord(ch)
        if code < 0x100:
            out.append(ch)
        elif code > 0xFFFF:
            out.append("??")  # a surrogate pair is two code units, each becomes "?"
        else:
            out.append("?")
    return "".join(out).encode("latin-1")


def utf16_order(name):
    # Big-endian UTF-16 bytes compare like the code units a QString compares.
    return name.encode("utf-16-be", "surrogatepass")


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def signed_text(fields, pairs):
    """fields: list of (name, value) in arrival order. Returns the text hashed for "sign"."""
    others = [(n, v) for n, v in fields if n != "sign"]
    others.sort(key=lambda nv: utf16_order(nv[0]))  # stable: duplicates keep arrival order
    if pairs:
        return "".join(n + v for n, v in others) + SIGN_KEY
    return "".join(v for _, v in others) + SIGN_KEY


def expected_sign(fields, pairs):
    return md5_hex(latin1_text(signed_text(fields, pairs)))


def sign_rule_for(path):
    if path.startswith(VALUE_CHAIN_PREFIX):
        return "value"
    if path.startswith(PAIR_CHAIN_PREFIX):
        return "pair"
    return None


# ---------------------------------------------------------------------------------------------
# Request bodies


def header_param(header_value, name):
    """A parameter of a header such as Content-Type; quoted or bare."""
    m = re.search(r'(?:^|;)\s*' + re.escape(name) + r'\s*=\s*("([^"]*)"|[^;\s]+)', header_value, re.I)
    if not m:
        return None
    return m.group(2) if m.group(2) is not None else m.group(1)


def disposition_name(disposition):
    # The client inserts the name verbatim, so a quote inside it is taken up to the last quote.
    m = re.search(r'\bname="(.*)"', disposition)
    if m:
        name = m.group(1)
        # Cut off a following filename parameter, if there is one.
        cut = re.search(r'";\s*filename\*?=', name)
        return name[: cut.start()] if cut else name
    m = re.search(r"\bname=([^;\s]+)", disposition)
    return m.group(1) if m else ""


def parse_multipart(body, content_type):
    """Returns a list of dicts {name, value, headers} in arrival order, or None if malformed."""
    boundary = header_param(content_type, "boundary")
    if not boundary:
        return None
    delimiter = b"--" + boundary.encode("latin-1")
    chunks = body.split(delimiter)
    if len(chunks) < 2:
        return None
    fields = []
    for chunk in chunks[1:]:
        if chunk.startswith(b"--"):
            break  # closing delimiter
        if chunk.startswith(b"\r\n"):
            chunk = chunk[2:]
        if chunk.endswith(b"\r\n"):
            chunk = chunk[:-2]
        head, sep, value = chunk.partition(b"\r\n\r\n")
        if not sep:
            head, value = chunk, b""
        headers = {}
        for line in head.split(b"\r\n"):
            if b":" in line:
                k, v = line.split(b":", 1)
                headers[k.decode("latin-1").strip().lower()] = v.decode("utf-8", "replace").strip()
        name = disposition_name(headers.get("content-disposition", ""))
        fields.append({"name": name, "value": value.decode("utf-8", "replace"), "headers": headers})
    return fields


# ---------------------------------------------------------------------------------------------
# Generated demo files: zips from a name->text table, plain PNG pictures, text files.


def png_bytes(width, height, color):
    color = color.lstrip("#")
    r, g, b = int(color[0:2], 16), int(color[2:4], 16), int(color[4:6], 16)
    row = b"\x00" + bytes([r, g, b]) * width
    raw = row * height

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


class Canvas:
    """An RGB picture drawn with filled shapes, one horizontal span per row, for the demo's
    product pictures (simple camera sketches)."""

    def __init__(self, width, height, background):
        self.w, self.h = width, height
        self.px = bytearray(rgb(background) * (width * height))

    def span(self, y, x0, x1, color):
        y, x0, x1 = int(y), max(0, int(round(x0))), min(self.w, int(round(x1)))
        if 0 <= y < self.h and x0 < x1:
            off = (y * self.w + x0) * 3
            self.px[off:off + (x1 - x0) * 3] = rgb(color) * (x1 - x0)

    def rect(self, x0, y0, x1, y1, color, radius=0):
        radius = min(radius, (x1 - x0) / 2, (y1 - y0) / 2)
        for y in range(int(y0), int(y1)):
            inset = 0
            dy = max(y0 + radius - y - 0.5, y - (y1 - radius) + 0.5, 0)
            if radius and dy > 0:
                inset = radius - math.sqrt(max(radius * radius - dy * dy, 0))
            self.span(y, x0 + inset, x1 - inset, color)

    def ellipse(self, cx, cy, rx, ry, color, top_only=False):
        for y in range(int(cy - ry), int(cy + (0 if top_only else ry)) + 1):
            d = 1 - ((y + 0.5 - cy) / ry) ** 2
            if d > 0:
                half = rx * math.sqrt(d)
                self.span(y, cx - half, cx + half, color)

    def lens(self, cx, cy, r):
        self.ellipse(cx, cy, r, r, "#2B2F36")
        self.ellipse(cx, cy, r * 0.68, r * 0.68, "#1B3F8F")
        self.ellipse(cx, cy, r * 0.4, r * 0.4, "#0E1A33")
        self.ellipse(cx - r * 0.28, cy - r * 0.28, r * 0.14, r * 0.14, "#FFFFFF")

    def png(self):
        raw = b"".join(b"\x00" + bytes(self.px[y * self.w * 3:(y + 1) * self.w * 3]) for y in range(self.h))
        return png_from_raw(self.w, self.h, raw)


def rgb(color):
    color = color.lstrip("#")
    return bytes([int(color[0:2], 16), int(color[2:4], 16), int(color[4:6], 16)])


def shade(color, factor):
    r, g, b = rgb(color)
    f = lambda v: max(0, min(255, int(v * factor)))
    return "#%02X%02X%02X" % (f(r), f(g), f(b))


def camera_png(kind, color, width=240, height=180):
    """A simple drawing of a camera of the given kind, in the given body colour."""
    c = Canvas(width, height, "#F4F6FA")
    sx, sy = width / 240.0, height / 180.0
    S = lambda v: v * sx
    T = lambda v: v * sy
    dark, light, white = shade(color, 0.7), shade(color, 1.25), "#FFFFFF"
    c.rect(S(20), T(160), S(220), T(166), "#E3E7EE", radius=T(3))  # shadow line on the table
    if kind in ("bullet", "solar"):
        c.rect(S(28), T(60), S(44), T(150), "#C9CED8", radius=S(4))          # wall plate
        c.rect(S(40), T(98), S(92), T(112), "#B5BBC7")                       # arm
        c.rect(S(70), T(58), S(206), T(112), white, radius=T(16))            # body
        c.rect(S(66), T(50), S(214), T(66), color, radius=T(8))              # sun shade
        c.lens(S(176), T(86), T(20))
        if kind == "solar":
            c.rect(S(92), T(16), S(170), T(44), "#1F2A44", radius=S(3))      # panel
            for i in range(1, 4):
                c.rect(S(92 + i * 19.5), T(16), S(93.5 + i * 19.5), T(44), "#3B4E7A")
            c.rect(S(128), T(44), S(134), T(52), "#B5BBC7")
    elif kind == "dome":
        c.ellipse(S(120), T(120), S(84), T(22), "#C9CED8")                  # ceiling disc
        c.ellipse(S(120), T(116), S(78), T(18), white)
        c.ellipse(S(120), T(112), S(62), T(62), "#2B2F36", top_only=True)   # smoked dome
        c.ellipse(S(120), T(112), S(56), T(56), "#3C4250", top_only=True)
        c.lens(S(120), T(84), T(18))
        c.rect(S(58), T(108), S(182), T(116), color)
    elif kind == "cube":
        c.rect(S(112), T(130), S(128), T(152), "#B5BBC7")
        c.ellipse(S(120), T(154), S(44), T(8), "#C9CED8")
        c.rect(S(64), T(24), S(176), T(134), white, radius=S(22))
        c.rect(S(64), T(110), S(176), T(134), color, radius=S(12))
        c.lens(S(120), T(70), T(26))
    elif kind == "ptz":
        c.ellipse(S(120), T(150), S(56), T(10), "#C9CED8")
        c.rect(S(72), T(96), S(168), T(150), white, radius=S(20))            # base
        c.rect(S(72), T(128), S(168), T(136), color)
        c.ellipse(S(120), T(70), S(50), T(46), white)                        # head
        c.ellipse(S(120), T(70), S(50), T(46), light, top_only=True)
        c.ellipse(S(120), T(70), S(44), T(40), white)
        c.lens(S(120), T(72), T(22))
    elif kind == "doorbell":
        c.rect(S(84), T(14), S(156), T(162), "#2B2F36", radius=S(30))
        c.rect(S(90), T(20), S(150), T(156), white, radius=S(26))
        c.lens(S(120), T(54), T(20))
        c.ellipse(S(120), T(120), S(20), S(20), color)
        c.ellipse(S(120), T(120), S(12), S(12), light)
    elif kind == "fisheye":
        c.ellipse(S(120), T(100), S(86), T(58), "#C9CED8")
        c.ellipse(S(120), T(96), S(80), T(54), white)
        c.ellipse(S(120), T(96), S(80), T(54), color, top_only=True)
        c.ellipse(S(120), T(96), S(72), T(48), white)
        c.lens(S(120), T(96), T(30))
    elif kind == "dual":
        c.rect(S(40), T(50), S(200), T(126), white, radius=T(20))
        c.rect(S(40), T(112), S(200), T(126), color, radius=T(8))
        c.lens(S(88), T(84), T(20))
        c.lens(S(152), T(84), T(20))
        c.rect(S(112), T(126), S(128), T(150), "#B5BBC7")
    elif kind == "nvr":
        c.rect(S(24), T(66), S(216), T(130), "#2B2F36", radius=S(6))
        c.rect(S(30), T(72), S(210), T(118), "#3C4250", radius=S(4))
        for i in range(8):
            c.ellipse(S(48 + i * 12), T(96), S(3), S(3), color if i % 3 else "#5AD8A6")
        c.rect(S(150), T(86), S(200), T(104), dark, radius=S(3))
        c.rect(S(36), T(130), S(52), T(136), "#B5BBC7")
        c.rect(S(188), T(130), S(204), T(136), "#B5BBC7")
    else:  # box camera on a stand
        c.rect(S(112), T(112), S(124), T(150), "#B5BBC7")
        c.ellipse(S(118), T(152), S(36), T(7), "#C9CED8")
        c.rect(S(40), T(62), S(160), T(114), white, radius=S(10))
        c.rect(S(40), T(62), S(160), T(74), color, radius=S(6))
        c.rect(S(156), T(68), S(206), T(108), "#2B2F36", radius=S(6))
        c.lens(S(200), T(88), T(18))
    return c.png()


def png_from_raw(width, height, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def safe_join(folder, name):
    """folder/name, or None when name would leave folder."""
    if not name or name.startswith("/") or "\\" in name:
        return None
    full = os.path.normpath(os.path.join(folder, name))
    root = os.path.normpath(folder)
    if full != root and full.startswith(root + os.sep):
        return full
    return None


def generate_files(data, files_dir):
    for item in data.get("files", []) or []:
        target = safe_join(files_dir, item.get("name", ""))
        if target is None or os.path.exists(target):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        tmp = target + ".part"
        if "zip" in item:
            with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zf:
                for entry, text in item["zip"].items():
                    if entry.endswith("/"):
                        zf.writestr(zipfile.ZipInfo(entry), b"")
                    else:
                        zf.writestr(entry, text.encode("utf-8"))
        elif "camera" in item:
            p = item["camera"]
            with open(tmp, "wb") as f:
                f.write(camera_png(p.get("kind", "box"), p.get("color", "#447AF0"),
                                   int(p.get("width", 240)), int(p.get("height", 180))))
        elif "png" in item:
            p = item["png"]
            with open(tmp, "wb") as f:
                f.write(png_bytes(int(p.get("width", 64)), int(p.get("height", 48)), p.get("color", "#447AF0")))
        elif "base64" in item:
            with open(tmp, "wb") as f:
                f.write(base64.b64decode(item["base64"]))
        else:
            with open(tmp, "wb") as f:
                f.write(str(item.get("text", "")).encode("utf-8"))
        os.replace(tmp, target)


# ---------------------------------------------------------------------------------------------
# Certificates, made with the openssl command.

CA_CONFIG = """[ ca ]
default_ca = dev
[ dev ]
database = {db}/index.txt
serial = {db}/serial
new_certs_dir = {db}
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[ anything ]
commonName = supplied
[ ext ]
subjectAltName = IP:127.0.0.1,DNS:localhost
basicConstraints = CA:true
[ ca_ext ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ leaf_ext ]
subjectAltName = IP:127.0.0.1,DNS:localhost
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
authorityKeyIdentifier = keyid
"""


def make_certificate(folder, expired, ca_out=None):
    """Self-signed server certificate, or with ca_out one issued by a CA made alongside, whose
    certificate (PEM) is written to ca_out. expired: the server certificate (not the CA) ran
    out weeks ago."""
    key = os.path.join(folder, "key.pem")
    csr = os.path.join(folder, "req.csr")
    cert = os.path.join(folder, "cert.pem")
    db = os.path.join(folder, "db")
    os.makedirs(db, exist_ok=True)
    open(os.path.join(db, "index.txt"), "w").close()
    with open(os.path.join(db, "serial"), "w") as f:
        f.write("01\n")
    cnf = os.path.join(folder, "ca.cnf")
    with open(cnf, "w") as f:
        f.write(CA_CONFIG.format(db=db))
    now = datetime.datetime.now(datetime.timezone.utc)
    valid = now - datetime.timedelta(days=1), now + datetime.timedelta(days=3650)
    if expired:
        start, end = now - datetime.timedelta(days=400), now - datetime.timedelta(days=35)
    else:
        start, end = valid
    fmt = "%Y%m%d%H%M%SZ"
    run = lambda args: subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    new_key = ["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    sign = ["openssl", "ca", "-batch", "-config", cnf, "-notext"]
    dates = lambda first, last: ["-startdate", first.strftime(fmt), "-enddate", last.strftime(fmt)]
    run(new_key + ["-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"])
    if ca_out is None:
        run(sign + ["-selfsign", "-keyfile", key, "-in", csr, "-out", cert, "-extensions", "ext"]
            + dates(start, end))
        return cert, key
    # A CA of its own, one per start, so that a CA made by another start does not fit.
    ca_key = os.path.join(folder, "ca-key.pem")
    ca_csr = os.path.join(folder, "ca.csr")
    ca_cert = os.path.join(folder, "ca.pem")
    run(new_key + ["-keyout", ca_key, "-out", ca_csr, "-subj", "/CN=Stand-in factory CA %d" % os.getpid()])
    run(sign + ["-selfsign", "-keyfile", ca_key, "-in", ca_csr, "-out", ca_cert, "-extensions", "ca_ext"]
        + dates(*valid))
    run(sign + ["-cert", ca_cert, "-keyfile", ca_key, "-in", csr, "-out", cert, "-extensions", "leaf_ext"]
        + dates(start, end))
    tmp = ca_out + ".tmp"
    shutil.copyfile(ca_cert, tmp)
    os.replace(tmp, ca_out)
    return cert, key


# ---------------------------------------------------------------------------------------------
# State shared by both listeners.


def version_tuple(text):
    parts = text.split(".")
    if not text or not all(p.isdigit() for p in parts):
        return None
    return tuple(int(p) for p in parts)


def when_text(value):
    """A "when" value as the request text it must equal (numbers and booleans as JSON writes them)."""
    return value if isinstance(value, str) else json.dumps(value)


def behaviour_key(path, behaviour):
    """The key a behaviour is kept under: "path", or "path#label" so that one path can carry several
    behaviours. A behaviour with "when" set under a plain path gets a label made of its "when"."""
    path = path.lstrip("/")
    if "#" in path or not isinstance(behaviour, dict) or not isinstance(behaviour.get("when"), dict) \
            or not behaviour["when"]:
        return path
    label = "&".join("%s=%s" % (n, when_text(v)) for n, v in sorted(behaviour["when"].items()))
    return path + "#" + label


def key_path(key):
    return key.split("#", 1)[0]


class State:
    def __init__(self, data, files_dir):
        self.lock = threading.Lock()
        self.files_dir = files_dir
        self.initial = copy.deepcopy(data)
        self.data = None
        self.behaviours = {}
        self.behaviour_uses = {}
        self.offers = {}
        self.requests = []
        self.seq = 0
        self.ports = {}
        self.quit = None
        self.gates = {}
        self.signatures = None  # a packagesign.SignatureCache with --signing-key
        self.replace_data(data)

    def replace_data(self, data):
        generate_files(data, self.files_dir)
        with self.lock:
            self.data = copy.deepcopy(data)
            self.behaviours = {}
            for path, behaviour in (data.get("behaviours", {}) or {}).items():
                if behaviour:
                    self.behaviours[behaviour_key(path, behaviour)] = copy.deepcopy(behaviour)
            self.behaviour_uses = {}
            self.offers = {}

    def reset(self):
        self.release()
        self.replace_data(self.initial)
        with self.lock:
            self.requests = []

    def set_behaviour(self, path, behaviour):
        """Sets the behaviour kept under path (see behaviour_key). An empty behaviour for a plain
        path removes every behaviour of that path, labelled ones included."""
        with self.lock:
            key = behaviour_key(path, behaviour)
            if behaviour:
                self.behaviours[key] = behaviour
                self.behaviour_uses.pop(key, None)
                return [key]
            gone = [k for k in self.behaviours if k == key or ("#" not in key and key_path(k) == key)]
            for k in gone:
                self.behaviours.pop(k, None)
                self.behaviour_uses.pop(k, None)
            return gone

    def take_behaviour(self, path, value_of=lambda name: None):
        """(behaviour, gate) for path, counting its uses: exact path before the longest "prefix*"
        pattern; for each, behaviours with a matching "when" before the unconditional ones.
        value_of(name) gives the request's value of a field (None when it has none). gate is the
        event a "hold", "stallAfter" or "announceBytes" waits on, registered at once: a release()
        that comes before the request gets to waiting still lets it go."""
        with self.lock:
            def order(k):
                b = self.behaviours[k]
                return (0 if b.get("when") else 1, 0 if "#" in k else 1, k)

            exact = sorted((k for k in self.behaviours if key_path(k) == path), key=order)
            patterns = sorted((k for k in self.behaviours
                               if key_path(k).endswith("*") and path.startswith(key_path(k)[:-1])),
                              key=lambda k: (-len(key_path(k)),) + order(k))
            for key in exact + patterns:
                behaviour = self.behaviours[key]
                when = behaviour.get("when") or {}
                if any(value_of(n) != when_text(v) for n, v in when.items()):
                    continue  # not this request: its "times" stay untouched
                times = behaviour.get("times")
                if times is not None:
                    used = self.behaviour_uses.get(key, 0)
                    if used >= int(times):
                        continue  # used up: the next broader rule applies
                    self.behaviour_uses[key] = used + 1
                gate = None
                if behaviour.get("hold") or "stallAfter" in behaviour or "announceBytes" in behaviour:
                    gate = self.gates.setdefault(key, threading.Event())
                return copy.deepcopy(behaviour), gate
            return {}, None

    def take_offer(self, tool_id, limit, count):
        """Whether a package of tool_id may be offered once more under its limit (None: no limit);
        count: the answer goes out as the service made it, so the offer is counted."""
        with self.lock:
            given = self.offers.get(tool_id, 0)
            if limit is not None and given >= int(limit):
                return False
            if count:
                self.offers[tool_id] = given + 1
            return True

    @staticmethod
    def hold(gate, limit_ms):
        """Blocks the calling request until release() of its behaviour's key or path (or reset),
        at most limit_ms."""
        gate.wait(limit_ms / 1000.0)

    def release(self, path=None):
        """Lets every request held at path go on: a plain path releases its labelled behaviours'
        holds too, "path#label" only that one's, None every hold. Returns how many gates opened."""
        with self.lock:
            wanted = None if path is None else path.lstrip("/")
            keys = [k for k in self.gates
                    if wanted is None or k == wanted or ("#" not in wanted and key_path(k) == wanted)]
            for key in keys:
                self.gates.pop(key).set()
            return len(keys)

    def record(self, entry):
        with self.lock:
            self.seq += 1
            entry["seq"] = self.seq
            self.requests.append(entry)

    def snapshot(self):
        with self.lock:
            return copy.deepcopy(self.data)


# ---------------------------------------------------------------------------------------------
# Chaos mode: faults drawn at random for every request, from one seeded generator.

# Kinds and their weights. A stall costs the client its whole download limit, so it is rarer.
SERVICE_FAULTS = (("delay", 3), ("status500", 1), ("status404", 1), ("status204", 1), ("redirect302", 1),
                  ("notJson", 1), ("truncatedJson", 1), ("wrongAck", 1), ("dropMidBody", 1), ("drop", 1))
FILE_FAULTS = (("delay", 2), ("status500", 1), ("status404", 1), ("status204", 1), ("redirect302", 1),
               ("truncated", 2), ("damaged", 2), ("stall", 0.5), ("drop", 1))


class Chaos:
    """Draws, per request and in arrival order, whether a fault is injected and which one.
    The same seed gives the same sequence of draws. Counts every fault by kind, and for every
    file how its deliveries ended, so a client's state can be judged against what it got."""

    def __init__(self, seed, rate, delay_ms, stall_ms):
        self.lock = threading.Lock()
        self.seed = seed
        self.rng = random.Random(seed)
        self.rate = rate
        self.delay_ms = delay_ms
        self.stall_ms = stall_ms
        self.requests = 0
        self.faults = {}
        self.files = {}

    def set_rate(self, rate):
        with self.lock:
            self.rate = max(0.0, min(1.0, float(rate)))

    def draw(self, path):
        """A behaviour for this request (empty: none) and the fault's kind (None: none)."""
        is_file = path.startswith(FILES_PREFIX)
        with self.lock:
            self.requests += 1
            if self.rng.random() >= self.rate:
                return {}, None
            table = FILE_FAULTS if is_file else SERVICE_FAULTS
            kinds = [k for k, _ in table]
            if is_file and not path.lower().endswith(".zip"):
                kinds.remove("damaged")
            kind = self.rng.choices(kinds, [w for k, w in table if k in kinds])[0]
            fraction = self.rng.random()
            self.faults[kind] = self.faults.get(kind, 0) + 1
        if kind == "delay":
            return {"delayMs": int(fraction * self.delay_ms)}, kind
        if kind.startswith("status"):
            return {"status": int(kind[len("status"):])}, kind
        if kind == "redirect302":
            return {"redirect": "/__chaos/elsewhere"}, kind
        if kind == "notJson":
            return {"body": "<html><body>gateway busy</body></html>", "contentType": "text/html"}, kind
        if kind == "wrongAck":
            return {"ack": ["500", 200, "", "403"][int(fraction * 4)]}, kind
        if kind == "stall":
            return {"stallAfter": None, "stallFraction": fraction, "holdMs": self.stall_ms}, kind
        if kind in ("truncated", "truncatedJson", "dropMidBody"):
            return {"cutFraction": fraction}, kind
        if kind == "damaged":
            return {"damageFraction": 0.2 + 0.5 * fraction}, kind
        return {"drop": True}, kind

    def delivered(self, name, outcome):
        with self.lock:
            entry = self.files.setdefault(name, {"complete": 0, "last": None, "lastCompleteMs": 0})
            entry["last"] = outcome
            if outcome == "complete":
                entry["complete"] += 1
                entry["lastCompleteMs"] = int(time.time() * 1000)

    def snapshot(self):
        with self.lock:
            return {"seed": self.seed, "rate": self.rate, "requests": self.requests,
                    "faults": dict(self.faults), "files": copy.deepcopy(self.files)}


# ---------------------------------------------------------------------------------------------
# The three services.


def find_account(data, account):
    for acc in data.get("accounts", []) or []:
        if acc.get("account") == account:
            return acc
    return None


def password_hash(acc):
    if acc.get("passwordMd5"):
        return acc["passwordMd5"].lower()
    return md5_hex(latin1_text(acc.get("password", "")))


def login_token(acc):
    return acc.get("loginToken") or "tok-" + md5_hex(("config:" + acc.get("account", "")).encode("utf-8"))[:20]


def ownership_token(acc):
    return acc.get("ownershipToken") or "own-" + md5_hex(("owner:" + acc.get("account", "")).encode("utf-8"))[:20]


def known_config_token(data, token):
    return any(login_token(a) == token for a in data.get("accounts", []) or [])


def account_by_ownership_token(data, token):
    for acc in data.get("accounts", []) or []:
        if ownership_token(acc) == token:
            return acc
    return None


def answer(ack, data=None, msg=None):
    out = {"ack": ack, "msg": msg if msg is not None else ("success" if ack == ACK_OK else "error")}
    if data is not None:
        out["data"] = data
    return out


def file_url(base, data, name_or_url):
    if not name_or_url:
        return ""
    if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*://", name_or_url):
        return name_or_url
    return base + FILES_PREFIX + urllib.parse.quote(name_or_url)


def handle_service(path, fields, query, data, base, may_offer=lambda tool_id, limit: True):
    """The answer object of one of SERVICE_PATHS. may_offer(tool_id, limit) answers whether a package
    that the version rule offers may go out (limit: the package's "offerTimes" or None)."""
    f = {}
    for name, value in fields:
        f.setdefault(name, value)
    check_config_token = bool(data.get("checkConfigToken", False))

    def need(*names):
        missing = [n for n in names if n not in f]
        return answer(ACK_MISSING_FIELD, msg="missing field: " + ",".join(missing)) if missing else None

    def config_token_refused():
        if check_config_token and not known_config_token(data, f.get("loginToken", "")):
            return answer(ACK_BAD_TOKEN, msg="loginToken invalid")
        return None

    if path == "ToolClientConfigManageApi/toolLogin":
        bad = need("account", "password")
        if bad:
            return bad
        acc = find_account(data, f["account"])
        if acc is None or password_hash(acc) != f["password"].lower():
            return answer(ACK_BAD_LOGIN, msg="account or password wrong")
        return answer(ACK_OK, {"loginToken": login_token(acc), "nickName": acc.get("nickName", acc["account"])})

    if path == "ToolClientConfigManageApi/getProToolLastUpgradePackage":
        bad = need("proToolId", "version") or config_token_refused()
        if bad:
            return bad
        tool = next((t for t in data.get("tools", []) or [] if str(t.get("proToolId")) == f["proToolId"]), None)
        if tool is None:
            return answer(ACK_NOT_FOUND, msg="tool not found")
        out = {"proToolUniqId": tool.get("proToolUniqId", ""), "versionUniqId": "", "versionNo": "",
               "versionRemark": "", "upgradePackageUrl": "", "forceUpgrade": 0}
        pkg = tool.get("package")
        if pkg:
            offer = pkg.get("offer", "newer")
            wanted, have = version_tuple(pkg.get("versionNo", "")), version_tuple(f["version"])
            if offer == "always":
                offered = True
            elif offer == "never":
                offered = False
            elif wanted is not None and have is not None:
                offered = wanted > have
            else:
                offered = pkg.get("versionNo", "") != f["version"]
            if offered:
                offered = may_offer(str(tool.get("proToolId")), pkg.get("offerTimes"))
            if offered:
                out.update({
                    "versionUniqId": pkg.get("versionUniqId", ""),
                    "versionNo": pkg.get("versionNo", ""),
                    "versionRemark": pkg.get("versionRemark", ""),
                    "upgradePackageUrl": file_url(base, data, pkg.get("url") or pkg.get("file", "")),
                    "forceUpgrade": pkg.get("forceUpgrade", 0),
                })
        return answer(ACK_OK, out)

    if path == "ToolClientConfigManageApi/recordProToolUpgrade":
        bad = need("loginToken", "proToolUniqId", "versionUniqId", "testMachineName", "beforeUpgradeVersion",
                   "afterUpgradeVersion", "upgradeTime") or config_token_refused()
        if bad:
            return bad
        if not re.fullmatch(r"\d+", f["upgradeTime"]):
            return answer(ACK_MISSING_FIELD, msg="upgradeTime is not a number")
        return answer(ACK_OK, {})

    if path == "ToolClientConfigManageApi/getProductConfigList":
        bad = need("releaseStatus") or config_token_refused()
        if bad:
            return bad
        pid, name = f.get("productId", ""), f.get("productName", "").lower()
        found = []
        for p in data.get("products", []) or []:
            if str(p.get("releaseStatus", "2")) != f["releaseStatus"]:
                continue
            if pid and p.get("productUniqId") != pid:
                continue
            if name and name not in p.get("productName", "").lower():
                continue
            item = {k: v for k, v in p.items() if k not in ("funList", "frontImg", "releaseStatus")}
            item["frontImgUrl"] = file_url(base, data, p.get("frontImgUrl") or p.get("frontImg", ""))
            found.append(item)
        start = int(f.get("startId") or 0) if (f.get("startId") or "0").isdigit() else 0
        count = int(f.get("count") or 100) if (f.get("count") or "100").isdigit() else 100
        return answer(ACK_OK, found[start:start + count])

    if path == "ToolClientConfigManageApi/getProductConfigDetail":
        bad = need("productUniqId") or config_token_refused()
        if bad:
            return bad
        p = next((p for p in data.get("products", []) or [] if p.get("productUniqId") == f["productUniqId"]), None)
        if p is None:
            return answer(ACK_NOT_FOUND, msg="product not found")
        return answer(ACK_OK, {"productUniqId": p["productUniqId"], "productName": p.get("productName", ""),
                               "funList": p.get("funList", [])})

    if path in ("CollectDeviceOwnership/toolLogin", "CollectDeviceOwnership/getDeviceOwnerList"):
        imei = data.get("toolImei")
        if imei and f.get("toolImei") != imei:
            return answer(ACK_UNKNOWN_TOOL_IMEI, msg="unknown toolImei")
        if path.endswith("toolLogin"):
            bad = need("account", "password")
            if bad:
                return bad
            acc = find_account(data, f["account"])
            if acc is None or password_hash(acc) != f["password"].lower():
                return answer(ACK_BAD_LOGIN, {}, msg="account or password wrong")
            return answer(ACK_OK, {"loginToken": ownership_token(acc)})
        acc = account_by_ownership_token(data, f.get("loginToken", ""))
        if acc is None:
            return answer(ACK_BAD_TOKEN, msg="loginToken invalid")
        return answer(ACK_OK, acc.get("dealers", []))

    if path == "ProductionApi/login":
        q = dict(query)
        pos, user = q.get("position_id", ""), q.get("user_id", "")
        for st in data.get("stations", []) or []:
            if st.get("position_id", "*") in ("*", pos) and st.get("user_id", "*") in ("*", user):
                return answer(st.get("ack", ACK_OK), st.get("data", {}), st.get("msg"))
        default = data.get("stationDefault", {}) or {}
        return answer(default.get("ack", ACK_BAD_TOKEN), None, default.get("msg", "position or employee unknown"))

    raise ValueError("no service at " + path)


# ---------------------------------------------------------------------------------------------
# Byte ranges of files.

# Pieces a file is handed to sendfile in, so that "sentBytes" stays close to what went out
# when the client leaves in the middle.
SENDFILE_PIECE = 256 * 1024
UNSATISFIABLE = "unsatisfiable"


def file_validators(st):
    """Strong ETag and Last-Modified of one version of a file: rewriting or replacing the file
    changes its size, modification time or inode, and with them the ETag."""
    etag = '"%x-%x-%x"' % (st.st_size, st.st_mtime_ns, st.st_ino)
    return etag, email.utils.formatdate(st.st_mtime, usegmt=True)


def if_range_holds(value, etag, st):
    """Whether a ranged answer may be given under "If-Range: value" (None: no such header).
    An entity tag must equal the file's, compared strongly (a weak tag never matches); a date
    must be the file's Last-Modified to the second."""
    if value is None:
        return True
    value = value.strip()
    if value.startswith('"') or value.startswith("W/"):
        return value == etag
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return False
    if when is None or when.tzinfo is None:
        return False
    return int(when.timestamp()) == int(st.st_mtime)


def parse_range(value, size):
    """(first, last) that "Range: value" asks of a file of size bytes, last clamped to the end;
    UNSATISFIABLE when it starts at or past the end; None when the header is to be ignored
    (malformed, another unit, or several ranges: the whole file is answered then)."""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", value or "")
    if not m or (not m.group(1) and not m.group(2)):
        return None
    if not m.group(1):  # "bytes=-S": the last S bytes
        suffix = int(m.group(2))
        if suffix == 0 or size == 0:
            return UNSATISFIABLE
        return max(0, size - suffix), size - 1
    first = int(m.group(1))
    if m.group(2) and int(m.group(2)) < first:
        return None
    if first >= size:
        return UNSATISFIABLE
    return first, min(int(m.group(2)), size - 1) if m.group(2) else size - 1


# ---------------------------------------------------------------------------------------------
# HTTP handling.


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devserver/1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("devserver: " + (fmt % args) + "\n")

    def do_GET(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_PUT(self):
        self.dispatch()

    def do_DELETE(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    # -- plumbing

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = b""
        while len(body) < length:
            chunk = self.rfile.read(length - len(body))
            if not chunk:
                break
            body += chunk
        return body

    def base_url(self):
        return "%s://127.0.0.1:%d/" % (self.server.scheme, self.server.server_address[1])

    def send(self, status, body=b"", content_type="application/json;charset=UTF-8", extra=None):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        if status not in (204, 304):
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        else:
            body = b""
        self.end_headers()
        if self.command != "HEAD" and body:
            self.wfile.write(body)

    def send_json(self, obj, status=200):
        self.send(status, json.dumps(obj, ensure_ascii=False))

    def end_by_closing(self):
        """Ends an answer whose end is the connection's end without a reset: bytes the client
        sent that nobody read (a TLS record, say) would turn the close into a reset, and a reset
        can destroy the answer's last bytes still on their way, so the client would take a
        shortened answer for the whole one."""
        self.close_connection = True
        try:
            self.wfile.flush()
            connection = self.connection
            connection.settimeout(2)
            if isinstance(connection, ssl.SSLSocket):
                # TLS says where the answer ends by its close alert; a bare close may cost the
                # last record at a client that reads it as a cut connection.
                try:
                    connection = connection.unwrap()
                except (OSError, ssl.SSLError, ValueError):
                    pass
            connection.shutdown(socket.SHUT_WR)
            while connection.recv(65536):
                pass
        except (OSError, ValueError):
            pass

    def drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def dispatch(self):
        state = self.server.state
        split = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(split.path).lstrip("/")
        body = self.read_body()
        if path.startswith(CONTROL_PREFIX):
            return self.control(path[len(CONTROL_PREFIX):], split.query, body)

        content_type = self.headers.get("Content-Type", "")
        parts = None
        if content_type.lower().startswith("multipart/form-data"):
            parts = parse_multipart(body, content_type) or []
        elif content_type.lower().startswith("application/x-www-form-urlencoded"):
            parts = [{"name": n, "value": v, "headers": {}}
                     for n, v in urllib.parse.parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)]
        fields = [(p["name"], p["value"]) for p in parts or []]
        query = urllib.parse.parse_qsl(split.query, keep_blank_values=True)

        rule = sign_rule_for(path)
        sign_ok = None
        expected = None
        if rule:
            expected = expected_sign(fields, rule == "pair")
            sent = [v for n, v in fields if n == "sign"]
            sign_ok = bool(sent) and sent[0].lower() == expected
        entry = {
            "method": self.command,
            "path": path,
            "scheme": self.server.scheme,
            "target": self.path,
            "query": split.query,
            "queryFields": [{"name": n, "value": v} for n, v in query],
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "contentType": content_type,
            "bodySize": len(body),
            "fields": [{"name": p["name"], "value": p["value"], "headers": p["headers"]} for p in parts or []],
            "signRule": rule,
            "signOk": sign_ok,
            "expectedSign": expected,
            "receivedMs": int(time.time() * 1000),
            # Filled in when answering; present from the start so that a concurrent copy of the
            # record list never sees the dict change size.
            "status": None,
            "ack": None,
            "sentBytes": None,
            "contentRange": None,
            "signatureMade": None,
        }
        if parts is None and body:
            entry["body"] = body.decode("utf-8", "replace")

        def value_of(name):
            # The first form field of that name, else the first query field (GET requests).
            for n, v in fields:
                if n == name:
                    return v
            for n, v in query:
                if n == name:
                    return v
            return None

        # Before the request is recorded: once a test sees it, its hold can be released.
        behaviour, gate = state.take_behaviour(path, value_of)
        chaos = self.server.chaos
        if chaos is not None and not behaviour:
            behaviour, entry["chaos"] = chaos.draw(path)
            gate = threading.Event()
        state.record(entry)
        if behaviour.get("hold"):
            state.hold(gate, int(behaviour.get("holdMs", 30000)))
        if behaviour.get("delayMs"):
            time.sleep(int(behaviour["delayMs"]) / 1000.0)
        if behaviour.get("drop"):
            entry["status"] = 0
            self.note_file_outcome(path, entry)
            return self.drop()
        if behaviour.get("redirect"):
            entry["status"] = int(behaviour.get("status", 302))
            self.note_file_outcome(path, entry)
            return self.send(entry["status"], "<html><body>moved</body></html>", "text/html",
                             {"Location": behaviour["redirect"]})
        if "status" in behaviour and int(behaviour["status"]) != 200:
            entry["status"] = int(behaviour["status"])
            self.note_file_outcome(path, entry)
            text = behaviour.get("body", "<html><body>%d</body></html>" % entry["status"])
            return self.send(entry["status"], text, "text/html")
        if "bodyBytes" in behaviour:
            entry["status"] = 200
            return self.send_filler(behaviour, entry, gate)
        if "body" in behaviour:
            entry["status"] = 200
            return self.send(200, behaviour["body"], behaviour.get("contentType", "text/plain;charset=UTF-8"))

        if path.startswith(FILES_PREFIX) and self.command in ("GET", "HEAD"):
            return self.serve_file(path[len(FILES_PREFIX):], behaviour, entry, gate)

        if path not in SERVICE_PATHS:
            entry["status"] = 404
            return self.send(404, "<html><body>not found</body></html>", "text/html")
        data = state.data  # replaced wholesale, never mutated in place
        if "json" in behaviour:
            result = None  # replaced below; the service is not asked, so no offer is used up
        elif rule and not sign_ok and data.get("checkSign", True) and not behaviour.get("ignoreSign"):
            result = answer(ACK_BAD_SIGN, msg="sign mismatch")
        else:
            # An offer counts only when the client gets it as the service made it.
            delivered = "data" not in behaviour and str(behaviour.get("ack", ACK_OK)) == ACK_OK \
                and isinstance(behaviour.get("ack", ACK_OK), str)
            offer = lambda tool_id, limit: state.take_offer(tool_id, limit, delivered)
            result = handle_service(path, fields, query, data, self.base_url(), offer)
        if "json" in behaviour:
            result = behaviour["json"]
        if isinstance(result, dict):
            if "ack" in behaviour:
                result["ack"] = behaviour["ack"]
            if "data" in behaviour:
                result["data"] = behaviour["data"]
        entry["status"] = 200
        entry["ack"] = result.get("ack") if isinstance(result, dict) else None
        if "cutFraction" in behaviour:
            return self.send_cut(json.dumps(result, ensure_ascii=False).encode("utf-8"), behaviour["cutFraction"],
                                 entry.get("chaos") == "dropMidBody")
        self.send_json(result)

    def send_cut(self, body, fraction, drop):
        """Part of an answer: announced whole and cut off by closing (drop), or announced and
        sent as the broken text it is."""
        part = body[:int(len(body) * fraction)]
        self.send_response(200)
        self.send_header("Content-Type", "application/json;charset=UTF-8")
        self.send_header("Content-Length", str(len(body) if drop else len(part)))
        self.end_headers()
        self.wfile.write(part)
        self.wfile.flush()
        if drop:
            self.drop()

    def send_filler(self, behaviour, entry, gate):
        """A large answer of filler bytes, streamed: announced with its length, without a length
        (ended by closing), or announced larger than sent (then held like "stallAfter")."""
        size = max(0, int(behaviour["bodyBytes"]))
        announced = int(behaviour.get("announceBytes", size))
        no_length = bool(behaviour.get("noLength"))
        self.send_response(200)
        self.send_header("Content-Type", behaviour.get("contentType", "text/plain;charset=UTF-8"))
        if no_length:
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(announced))
        self.end_headers()
        sent = 0
        try:
            while sent < size:
                piece = FILLER_PIECE[:min(len(FILLER_PIECE), size - sent)]
                self.wfile.write(piece)
                sent += len(piece)
            self.wfile.flush()
        except OSError:
            # The client went away: how far it let the answer come is what a test looks at.
            self.close_connection = True
            entry["sentBytes"] = sent
            return
        entry["sentBytes"] = sent
        if no_length:
            self.end_by_closing()
        elif announced > size:
            self.server.state.hold(gate, int(behaviour.get("holdMs", 30000)))
            self.drop()

    def note_file_outcome(self, path, entry):
        if self.server.chaos is not None and path.startswith(FILES_PREFIX):
            self.server.chaos.delivered(path[len(FILES_PREFIX):], entry.get("chaos") or "status")

    def serve_file(self, name, behaviour, entry, gate):
        full = safe_join(self.server.state.files_dir, name)
        signatures = self.server.state.signatures
        if signatures is not None and full is not None and full.endswith(".sig") \
                and not os.path.isfile(full) and os.path.isfile(full[:-4]):
            # A signature file lying in the folder wins (a test may put a wrong one there).
            try:
                full, entry["signatureMade"] = signatures.signature_file(full[:-4])
            except (packagesign.SigningError, OSError) as e:
                sys.stderr.write("devserver: cannot sign %s: %s\n" % (name[:-4], e))
                entry["status"] = 500
                return self.send(500, "<html><body>cannot sign</body></html>", "text/html")
        if full is None or not os.path.isfile(full):
            entry["status"] = 404
            return self.send(404, "<html><body>no such file</body></html>", "text/html")
        # Streamed from disk: packages may be larger than this server's memory.
        with open(full, "rb") as f:
            st = os.fstat(f.fileno())
            size = st.st_size
            if behaviour.get("thenReplaceWith"):
                # Replaced before the answer goes out, so that the client's next request finds
                # the new version; this answer still reads the old one through its open file.
                self.replace_file(full, behaviour["thenReplaceWith"])
            etag, last_modified = file_validators(st)
            ranged = self.headers.get("Range")
            if ranged is not None and behaviour.get("status416"):
                return self.send_unsatisfiable(entry, size)
            first, last, status = 0, size - 1, 200
            if ranged is not None and not behaviour.get("noRanges") \
                    and if_range_holds(self.headers.get("If-Range"), etag, st):
                wanted = parse_range(ranged, size)
                if wanted == UNSATISFIABLE:
                    return self.send_unsatisfiable(entry, size)
                if wanted is not None:
                    (first, last), status = wanted, 206
            length = last - first + 1
            entry["status"] = status
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(length))
            if status == 206:
                entry["contentRange"] = "bytes %d-%d/%d" % (first, last, size)
                self.send_header("Content-Range", entry["contentRange"])
            if not behaviour.get("noRanges"):
                self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", last_modified)
            self.end_headers()
            if self.command == "HEAD":
                return
            # Cuts count the bytes of this answer, from the first byte of its range.
            cut = behaviour.get("truncateAfter", behaviour.get("stallAfter"))
            for key in ("cutFraction", "stallFraction"):
                if key in behaviour:
                    cut = int(length * behaviour[key])
            count = length if cut is None else max(0, min(length, int(cut)))
            chaos = self.server.chaos
            entry["sentBytes"] = 0
            try:
                if "damageFraction" in behaviour:
                    # Whole length, one run of bytes inverted inside: a package with a damaged entry.
                    f.seek(first)
                    content = bytearray(f.read(length))
                    at = int(length * behaviour["damageFraction"])
                    for i in range(at, min(length, at + 16)):
                        content[i] ^= 0xFF
                    self.wfile.write(bytes(content))
                    entry["sentBytes"] = length
                else:
                    self.send_file_part(f, first, count, behaviour.get("trickle"), entry)
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
                self.close_connection = True
                if chaos is not None:
                    chaos.delivered(name, "aborted")
                return
        if chaos is not None:
            damaged = "damageFraction" in behaviour
            whole = cut is None and not damaged and last == size - 1
            # A ranged answer that reaches the end completes what the client had before it.
            chaos.delivered(name, "complete" if whole else entry.get("chaos") or ("cut" if cut is not None else "part"))
        if "stallAfter" in behaviour:
            # Keeps the connection open without sending more, as a hung server does.
            self.wfile.flush()
            self.server.state.hold(gate, int(behaviour.get("holdMs", 30000)))
            self.drop()
        elif cut is not None:
            self.wfile.flush()
            self.drop()

    def send_file_part(self, f, offset, count, trickle, entry):
        """count bytes of f from offset, slowly with trickle, counted in entry["sentBytes"]."""
        sent = 0
        if trickle:
            chunk = max(1, int(trickle.get("chunkBytes", 1024)))
            interval = int(trickle.get("intervalMs", 100)) / 1000.0
            f.seek(offset)
            while sent < count:
                piece = f.read(min(chunk, count - sent))
                if not piece:
                    break
                self.wfile.write(piece)
                self.wfile.flush()
                sent += len(piece)
                entry["sentBytes"] = sent
                if sent < count:
                    time.sleep(interval)
            return
        self.wfile.flush()
        while sent < count:
            n = self.connection.sendfile(f, offset + sent, min(SENDFILE_PIECE, count - sent))
            if not n:
                break  # the file got shorter under us
            sent += n
            entry["sentBytes"] = sent

    def send_unsatisfiable(self, entry, size):
        entry["status"] = 416
        entry["contentRange"] = "bytes */%d" % size
        self.send(416, "<html><body>range not satisfiable</body></html>", "text/html",
                  {"Content-Range": entry["contentRange"]})

    def replace_file(self, full, source_name):
        """Puts a copy of the files folder's source_name at full, as a new file (new inode)."""
        source = safe_join(self.server.state.files_dir, source_name)
        if source is None or not os.path.isfile(source):
            sys.stderr.write("devserver: thenReplaceWith: no file %s\n" % source_name)
            return
        tmp = full + ".replacing"
        shutil.copyfile(source, tmp)
        # A second later at least, so that Last-Modified tells the versions apart as well.
        mtime_ns = max(time.time_ns(), os.stat(full).st_mtime_ns + 1_000_000_000)
        os.utime(tmp, ns=(mtime_ns, mtime_ns))
        os.replace(tmp, full)

    # -- control endpoint

    def control(self, what, query, body):
        state = self.server.state
        try:
            payload = json.loads(body.decode("utf-8")) if body else {}
        except ValueError as e:
            return self.send_json({"ok": False, "error": "bad JSON: %s" % e}, 400)
        if what == "ping":
            return self.send_json({"ok": True, "ports": state.ports})
        if what == "behaviour" and self.command == "POST":
            keys = []
            if "behaviours" in payload:
                for p, b in payload["behaviours"].items():
                    keys += state.set_behaviour(p, b)
            else:
                if "path" not in payload:
                    return self.send_json({"ok": False, "error": "path missing"}, 400)
                keys = state.set_behaviour(payload["path"], payload.get("behaviour"))
            # The keys set (or removed), so that a caller learns the label a "when" was given.
            return self.send_json({"ok": True, "keys": keys})
        if what == "behaviour" and self.command == "GET":
            with state.lock:
                return self.send_json(dict(state.behaviours))
        if what == "release" and self.command == "POST":
            return self.send_json({"ok": True, "released": state.release(payload.get("path"))})
        if what == "quit" and self.command == "POST":
            # For callers that can neither signal the server nor close its input (wine).
            if state.quit is None:
                return self.send_json({"ok": False, "error": "not stoppable from here"}, 409)
            state.quit.set()
            return self.send_json({"ok": True})
        if what == "reset" and self.command == "POST":
            state.reset()
            return self.send_json({"ok": True})
        if what == "requests" and self.command == "GET":
            wanted = dict(urllib.parse.parse_qsl(query)).get("path")
            with state.lock:
                found = [r for r in state.requests if wanted is None or r["path"] == wanted.lstrip("/")]
                return self.send_json(copy.deepcopy(found))
        if (what == "requests/clear" and self.command == "POST") or (what == "requests" and self.command == "DELETE"):
            with state.lock:
                state.requests = []
            return self.send_json({"ok": True})
        if what == "offers" and self.command == "GET":
            with state.lock:
                return self.send_json(dict(state.offers))
        if what == "chaos" and self.command == "GET":
            chaos = self.server.chaos
            return self.send_json(chaos.snapshot() if chaos else {"ok": False, "error": "no chaos mode"})
        if what == "chaos" and self.command == "POST":
            if self.server.chaos is None or "rate" not in payload:
                return self.send_json({"ok": False, "error": "no chaos mode or no rate"}, 400)
            self.server.chaos.set_rate(payload["rate"])
            return self.send_json({"ok": True})
        if what == "data" and self.command == "GET":
            return self.send_json(state.snapshot())
        if what == "data" and self.command == "POST":
            if not isinstance(payload, dict):
                return self.send_json({"ok": False, "error": "data must be an object"}, 400)
            state.replace_data(payload)
            return self.send_json({"ok": True})
        return self.send_json({"ok": False, "error": "unknown control " + what}, 404)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, state, scheme, verbose, tls_context=None, chaos=None):
        self.state = state
        self.chaos = chaos
        self.scheme = scheme
        self.verbose = verbose
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", port), Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.tls_context is not None:
            # The handshake happens in the handler's thread, so a stalled client cannot block accepting.
            sock = self.tls_context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


# ---------------------------------------------------------------------------------------------


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Stand-in factory server (HTTP and HTTPS on loopback).")
    ap.add_argument("--port", type=int, default=0, help="HTTP port, 0 = a free one")
    ap.add_argument("--https-port", type=int, default=0, help="HTTPS port, 0 = a free one")
    ap.add_argument("--no-https", action="store_true", help="serve HTTP only")
    ap.add_argument("--expired-cert", action="store_true", help="serve HTTPS with an expired certificate")
    ap.add_argument("--ca-out", default=None, metavar="FILE",
                    help="issue the HTTPS certificate from a CA made at start and write its certificate (PEM) here")
    ap.add_argument("--data", default=os.path.join(here, "demo-data.json"), help="JSON data file")
    ap.add_argument("--files", default=None, help="folder of served files (default: a temporary folder)")
    ap.add_argument("--ready-file", default=None, help="write the chosen ports as JSON here when ready")
    ap.add_argument("--watch-stdin", action="store_true", help="exit when standard input closes")
    ap.add_argument("--verbose", action="store_true", help="log every request to stderr")
    ap.add_argument("--signing-key", default=None, metavar="KEY.pem",
                    help="answer files/<name>.sig, when only <name> is in the files folder, with its "
                         "signature made with this Ed25519 key")
    ap.add_argument("--chaos", type=int, default=None, metavar="SEED",
                    help="inject faults at random into requests, drawn from this seed")
    ap.add_argument("--chaos-rate", type=float, default=0.2, help="share of requests given a fault")
    ap.add_argument("--chaos-delay-ms", type=int, default=12000, help="longest injected delay")
    ap.add_argument("--chaos-stall-ms", type=int, default=125000, help="how long a stalled file hangs")
    args = ap.parse_args(argv)

    with open(args.data, encoding="utf-8") as f:
        data = json.load(f)

    workdir = tempfile.mkdtemp(prefix="devserver-")
    files_dir = os.path.abspath(args.files) if args.files else os.path.join(workdir, "files")
    os.makedirs(files_dir, exist_ok=True)
    state = State(data, files_dir)
    package_key = None
    if args.signing_key:
        try:
            package_key = packagesign.public_key_line(args.signing_key)
        except packagesign.SigningError as e:
            sys.stderr.write("devserver: unusable signing key: %s\n" % e)
            shutil.rmtree(workdir, ignore_errors=True)
            return 2
        state.signatures = packagesign.SignatureCache(os.path.abspath(args.signing_key),
                                                      os.path.join(workdir, "signatures"))

    chaos = None
    if args.chaos is not None:
        chaos = Chaos(args.chaos, args.chaos_rate, args.chaos_delay_ms, args.chaos_stall_ms)
    servers = [Server(args.port, state, "http", args.verbose, chaos=chaos)]
    if not args.no_https:
        try:
            cert, key = make_certificate(os.path.join(workdir, "tls"), args.expired_cert, args.ca_out)
        except (OSError, subprocess.CalledProcessError) as e:
            sys.stderr.write("devserver: cannot make a certificate with openssl: %s\n" % e)
            shutil.rmtree(workdir, ignore_errors=True)
            return 2
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        servers.append(Server(args.https_port, state, "https", args.verbose, ctx, chaos))

    ports = {"http": servers[0].server_address[1],
             "https": servers[1].server_address[1] if len(servers) > 1 else 0,
             "pid": os.getpid(), "files": files_dir}
    if package_key:
        ports["packageKey"] = package_key
    state.ports = ports

    stop = threading.Event()
    state.quit = stop
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    if args.watch_stdin:
        def watch():
            # The raw descriptor, not sys.stdin: a thread blocked inside the buffered reader
            # would abort the interpreter at exit.
            fd = sys.stdin.fileno()
            try:
                while os.read(fd, 4096):
                    pass
            except OSError:
                pass
            stop.set()
        threading.Thread(target=watch, daemon=True).start()

    line = json.dumps(ports)
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(line + "\n")
        os.replace(tmp, args.ready_file)
    sys.stdout.write(line + "\n")
    sys.stdout.flush()

    while not stop.wait(0.1):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
