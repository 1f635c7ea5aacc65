#!/usr/bin/env python3
"""Serves a folder with Debian's nginx on a free port of 127.0.0.1, as a factory's file server
would, for tests and benchmarks.

    python3 scripts/nginx-loopback.py ROOT_DIR PORT_FILE [RATE] [--logs DIR] [--watch-stdin]

ROOT_DIR is served at "/" (http://127.0.0.1:PORT/<name>), with nginx's own byte ranges,
If-Range, ETag and Last-Modified. RATE (bytes per second) limits every connection
(limit_rate). Once nginx accepts connections the port is written to PORT_FILE (a temporary
name renamed, so the file is whole once it exists) and one JSON line is printed:

    {"port": 40121, "pid": 1234, "accessLog": "...", "errorLog": "..."}

The access log has one JSON object a line (msec, status, bytes = $body_bytes_sent, request,
range, ifRange, requestTime, connection), written when a request ends. Logs go to --logs DIR
when given (kept), else into the temporary folder (removed at the end).

Stops, and nginx with it, on SIGTERM or SIGINT, and with --watch-stdin when standard input
closes. Exit code 3: no nginx found (NGINX names the binary, else the path and /usr/sbin are
searched); 1: nginx did not start (its error log is copied to stderr).

Python 3 standard library only.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

START_LIMIT_S = 10
STOP_LIMIT_S = 5
PORT_TRIES = 5

CONFIG = """daemon off;
master_process off;
worker_processes 1;
pid {pid};
error_log {error_log} warn;
events {{ worker_connections 1024; }}
http {{
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 65;
    log_format loopback escape=json '{{"msec":"$msec","status":$status,"bytes":$body_bytes_sent,'
        '"request":"$request","range":"$http_range","ifRange":"$http_if_range",'
        '"requestTime":$request_time,"connection":$connection}}';
    access_log {access_log} loopback;
    client_body_temp_path {body};
    proxy_temp_path {proxy};
    fastcgi_temp_path {fastcgi};
    uwsgi_temp_path {uwsgi};
    scgi_temp_path {scgi};
    server {{
        listen 127.0.0.1:{port};
        server_name _;
        root {root};
        location / {{
            {rate}
        }}
    }}
}}
"""


def find_nginx():
    named = os.environ.get("NGINX")
    if named:
        return named if os.access(named, os.X_OK) else None
    search = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/usr/local/sbin", "/sbin"])
    return shutil.which("nginx", path=search)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def quoted(path):
    # nginx takes a double-quoted string with backslash escapes.
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def start_nginx(nginx, tmp, logs, root, rate):
    """(process, port) of an nginx that accepts connections, or (None, error text)."""
    error_log = os.path.join(logs, "error.log")
    for _ in range(PORT_TRIES):
        port = free_port()
        with open(os.path.join(tmp, "nginx.conf"), "w", encoding="utf-8") as f:
            in_tmp = lambda name: quoted(os.path.join(tmp, name))
            f.write(CONFIG.format(pid=in_tmp("nginx.pid"), error_log=quoted(error_log),
                                  access_log=quoted(os.path.join(logs, "access.log")),
                                  body=in_tmp("body"), proxy=in_tmp("proxy"), fastcgi=in_tmp("fastcgi"),
                                  uwsgi=in_tmp("uwsgi"), scgi=in_tmp("scgi"), root=quoted(root), port=port,
                                  rate="limit_rate %d;" % rate if rate else ""))
        proc = subprocess.Popen([nginx, "-p", tmp, "-c", os.path.join(tmp, "nginx.conf"), "-e", error_log],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + START_LIMIT_S
        while proc.poll() is None and time.monotonic() < deadline:
            if accepts(port):
                return proc, port
            time.sleep(0.05)
        if proc.poll() is None:
            stop_nginx(proc)
        detail = proc.stderr.read().decode("utf-8", "replace")
        try:
            with open(error_log, encoding="utf-8", errors="replace") as f:
                detail += f.read()
        except OSError:
            pass
        # The port was free when picked; another program may have taken it since.
        if "Address already in use" not in detail:
            return None, detail or "nginx did not start"
    return None, "no free port after %d tries" % PORT_TRIES


def stop_nginx(proc):
    if proc.poll() is None:
        proc.terminate()  # fast shutdown: transfers under a rate limit would hold a graceful one
        try:
            proc.wait(STOP_LIMIT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Serve a folder with nginx on 127.0.0.1.")
    ap.add_argument("root", help="folder served at /")
    ap.add_argument("port_file", help="the port is written here once nginx accepts connections")
    ap.add_argument("rate", nargs="?", type=int, default=0, help="bytes per second per connection (0: no limit)")
    ap.add_argument("--logs", default=None, help="folder for access.log and error.log (kept)")
    ap.add_argument("--watch-stdin", action="store_true", help="stop when standard input closes")
    args = ap.parse_args(argv)

    nginx = find_nginx()
    if not nginx:
        sys.stderr.write("nginx-loopback: no nginx found (apt-get install nginx-light)\n")
        return 3
    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        sys.stderr.write("nginx-loopback: no folder %s\n" % root)
        return 1
    tmp = tempfile.mkdtemp(prefix="nginx-loopback-")
    logs = os.path.abspath(args.logs) if args.logs else tmp
    os.makedirs(logs, exist_ok=True)
    try:
        proc, port = start_nginx(nginx, tmp, logs, root, max(0, args.rate))
        if proc is None:
            sys.stderr.write("nginx-loopback: nginx did not start: %s\n" % port)
            return 1
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        if args.watch_stdin:
            def watch():
                fd = sys.stdin.fileno()
                try:
                    while os.read(fd, 4096):
                        pass
                except OSError:
                    pass
                stop.set()
            threading.Thread(target=watch, daemon=True).start()

        tmp_port = args.port_file + ".tmp"
        with open(tmp_port, "w", encoding="utf-8") as f:
            f.write("%d\n" % port)
        os.replace(tmp_port, args.port_file)
        print(json.dumps({"port": port, "pid": proc.pid, "accessLog": os.path.join(logs, "access.log"),
                          "errorLog": os.path.join(logs, "error.log")}), flush=True)

        while not stop.wait(0.1):
            if proc.poll() is not None:
                sys.stderr.write("nginx-loopback: nginx ended by itself (exit code %d)\n" % proc.returncode)
                return proc.returncode or 1
        stop_nginx(proc)
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
