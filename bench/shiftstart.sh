#!/usr/bin/env bash
# Shift start: STATIONS stations (separate processes) fetch one tool package at the same moment
# from nginx on loopback, each connection held to a rate at which the whole package takes
# TRANSFER_S seconds while one download attempt may last LIMIT_S. Run twice: with downloads
# continued where they were cut, then with continuation off (the reference).
#
#     bash bench/shiftstart.sh                       # 20 stations, 60 MiB, 20 s limit, 30 s transfer
#     STATIONS=10 SIZE_MIB=30 bash bench/shiftstart.sh
#
# Needs nginx (Debian's nginx-light), python3, cmake, sha256sum; builds bin/shiftstation into
# BUILD_DIR (default build/). Everything lives in a temporary folder removed at the end
# (KEEP_WORK=1 keeps nginx's logs and the stations' outputs there; the packages go in any case).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
STATIONS=${STATIONS:-20}
SIZE_MIB=${SIZE_MIB:-60}
LIMIT_S=${LIMIT_S:-20}
TRANSFER_S=${TRANSFER_S:-30}
TRIES=${TRIES:-3}

for tool in python3 cmake sha256sum; do
    command -v "$tool" >/dev/null || { echo "shiftstart: $tool is needed" >&2; exit 1; }
done
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" -j2 --target shiftstation >/dev/null
STATION=$ROOT/$BUILD_DIR/bin/shiftstation

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovarin-shiftstart.XXXXXX")
NGINX_PID=
STATION_PIDS=()
cleanup() {
    for p in "${STATION_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
    if [ "${KEEP_WORK:-0}" = 1 ]; then echo "kept: $WORK (logs, station outputs)"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
mkdir -p "$WORK/root"

BYTES=$((SIZE_MIB * 1024 * 1024))
# nginx may let up to the first second's worth of an answer go at once, then keeps to the rate.
RATE=$((BYTES / (TRANSFER_S + 1)))
head -c "$BYTES" /dev/urandom >"$WORK/root/pkg.zip"
SHA=$(sha256sum "$WORK/root/pkg.zip" | cut -d' ' -f1)

echo "machine: $(nproc) cores, $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "shift start: $STATIONS stations, package $SIZE_MIB MiB of random bytes, nginx on 127.0.0.1 at $RATE bytes/s"
echo "  per connection (whole package in $TRANSFER_S s), download limit $LIMIT_S s per attempt, up to $TRIES tries per station"
echo

# run MODE [--no-resume]: one shift start; its summary lands in $WORK/MODE/summary.json.
run() {
    local mode=$1 flag=${2:-} dir=$WORK/$1 port
    mkdir -p "$dir/logs"
    python3 -B scripts/nginx-loopback.py "$WORK/root" "$dir/port" "$RATE" --logs "$dir/logs" \
        >"$dir/nginx.out" 2>"$dir/nginx.err" &
    NGINX_PID=$!
    for _ in $(seq 1 200); do
        [ -s "$dir/port" ] && break
        kill -0 "$NGINX_PID" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$dir/port" ] || { echo "shiftstart: nginx did not start" >&2; cat "$dir/nginx.err" >&2; exit 1; }
    port=$(cat "$dir/port")
    # Every station waits for the same moment, so that process start-up does not spread them.
    local start_at=$(($(date +%s%3N) + 2000))
    STATION_PIDS=()
    for i in $(seq 1 "$STATIONS"); do
        mkdir -p "$dir/s$i/staging"
        # Each in a folder of its own: the download's log lines go under its working folder.
        (cd "$dir/s$i" && exec "$STATION" "http://127.0.0.1:$port/pkg.zip" "$dir/s$i/staging" pkg.zip \
            --tries "$TRIES" --limit-ms $((LIMIT_S * 1000)) --start-at "$start_at" $flag \
            >"$dir/s$i/out.txt" 2>"$dir/s$i/trace.txt") &
        STATION_PIDS+=($!)
    done
    for p in "${STATION_PIDS[@]}"; do wait "$p" || true; done
    STATION_PIDS=()
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=
    python3 -B bench/shiftstart/summary.py "$dir" "$BYTES" "$SHA" "$STATIONS" >"$dir/summary.json"
    rm -rf "$dir"/s*/staging
}

echo "running with continuation ..."
run resume
echo "running without continuation (reference) ..."
run reference --no-resume
echo

python3 - "$WORK/resume/summary.json" "$WORK/reference/summary.json" "$BYTES" <<'EOF'
import json, sys
on, off = (json.load(open(p)) for p in sys.argv[1:3])
size = int(sys.argv[3])
n = on["stations"]
def last(s):
    return "%.1f s" % s["lastFinishedS"] if s["lastFinishedS"] >= 0 else "none (all gave up by %.1f s)" % s["lastEndedS"]
rows = [
    ("stations finished (package intact)", lambda s: "%d of %d (%d)" % (s["finished"], n, s["intact"])),
    ("DownloadFiles calls (tries)", lambda s: str(s["tries"])),
    ("requests to nginx", lambda s: str(s["requests"])),
    ("  of them ranged", lambda s: str(s["ranged"])),
    ("  statuses", lambda s: " ".join("%s:%d" % kv for kv in sorted(s["statuses"].items()))),
    ("bytes sent (nginx $body_bytes_sent)", lambda s: "%.1f MiB" % (s["bytesSent"] / 1048576.0)),
    ("  beyond N x package (%d x %.0f MiB)" % (n, size / 1048576.0),
     lambda s: "%d bytes" % (s["bytesSent"] - n * size)),
    ("  against N x package", lambda s: "%.4f x" % s["bytesRatio"]),
    ("time until the last station finished", last),
]
print("%-42s %-26s %s" % ("", "with continuation", "without (reference)"))
for name, f in rows:
    print("%-42s %-26s %s" % (name, f(on), f(off)))
for s, label in ((on, "with"), (off, "without")):
    if s["errors"]:
        print("errors %s continuation: %s" % (label, "; ".join(e for e in s["errors"] if e)))
print()
goals = [
    ("every station finishes", on["intact"] == n),
    ("bytes sent <= 1.05 x N x size", on["bytesRatio"] <= 1.05),
    ("without continuation no station finishes", off["finished"] == 0),
]
for name, ok in goals:
    print("goal: %-44s %s" % (name, "met" if ok else "NOT met"))
EOF
