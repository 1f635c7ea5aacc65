#!/usr/bin/env bash
# Runs the benchmarks against the stand-in server on loopback and prints each figure next to
# its reference tool measured in the same run. Then runs bench/install.sh when it is there, and
# bench/signature.sh, and the shift-start benchmark (bench/shiftstart.sh; SHIFTSTART=0 leaves
# it out).
#
#     bash bench/run.sh                 # uses (and if needed configures) build/
#     BUILD_DIR=out ROUNDS=5 bash bench/run.sh
#
# Big files live in a temporary folder that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
ROUNDS=${ROUNDS:-5}
SIZE_MIB=${SIZE_MIB:-1024}

for tool in curl python3 cmake; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" -j2 --target downloadbench installbench stallbench shiftstation >/dev/null
DOWNLOADBENCH=$ROOT/$BUILD_DIR/bin/downloadbench

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovarin-bench.XXXXXX")
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/files" "$WORK/out"

python3 devserver/devserver.py --no-https --files "$WORK/files" --ready-file "$WORK/ready" \
    >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 1 200); do [ -s "$WORK/ready" ] && break; sleep 0.1; done
[ -s "$WORK/ready" ] || { echo "bench: the stand-in server did not start" >&2; cat "$WORK/server.log" >&2; exit 1; }
PORT=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$WORK/ready")
URL="http://127.0.0.1:$PORT/files/big.bin"

echo "machine: $(nproc) cores, $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# ---------------------------------------------------------------------------------------------
# Download of SIZE_MIB MiB: Common::DownloadFiles against curl, alternating, ROUNDS times each.
dd if=/dev/zero of="$WORK/files/big.bin" bs=1M count="$SIZE_MIB" status=none
BYTES=$((SIZE_MIB * 1024 * 1024))

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

: >"$WORK/curl.times"
: >"$WORK/ours.times"
: >"$WORK/ours.memory"
: >"$WORK/ours.gaps"
echo "download of $SIZE_MIB MiB over loopback, $ROUNDS rounds each"
printf '  %-6s %-14s %-14s %-12s %-12s %s\n' round "curl s" "ours s" "ours user s" "ours sys s" "ours peak-idle MiB"
for round in $(seq 1 "$ROUNDS"); do
    curl_s=$(curl -s -o "$WORK/out/curl.bin" -w '%{time_total}' "$URL")
    [ "$(stat -c %s "$WORK/out/curl.bin")" -eq "$BYTES" ] || { echo "bench: curl got a short file" >&2; exit 1; }
    rm -f "$WORK/out/curl.bin"
    echo "$curl_s" >>"$WORK/curl.times"

    if ! "$DOWNLOADBENCH" "$URL" "$WORK/out" ours.bin >"$WORK/ours.txt" 2>"$WORK/ours.trace"; then
        echo "bench: the download failed" >&2; tail -5 "$WORK/ours.trace" >&2; exit 1
    fi
    [ "$(value bytes "$WORK/ours.txt")" -eq "$BYTES" ] || { echo "bench: our download is short" >&2; exit 1; }
    if [ "$round" -eq 1 ]; then
        cmp -s "$WORK/out/ours.bin" "$WORK/files/big.bin" || { echo "bench: our download differs" >&2; exit 1; }
    fi
    rm -f "$WORK/out/ours.bin"
    ours_s=$(value seconds "$WORK/ours.txt")
    above=$(awk -v p="$(value peak_kib "$WORK/ours.txt")" -v i="$(value idle_kib "$WORK/ours.txt")" \
        'BEGIN { printf "%.1f", (p - i) / 1024 }')
    echo "$ours_s" >>"$WORK/ours.times"
    echo "$above" >>"$WORK/ours.memory"
    value longest_gap_ms "$WORK/ours.txt" >>"$WORK/ours.gaps"
    printf '  %-6s %-14s %-14s %-12s %-12s %s\n' "$round" "$curl_s" "$ours_s" \
        "$(value user_seconds "$WORK/ours.txt")" "$(value system_seconds "$WORK/ours.txt")" "$above"
done

curl_med=$(median <"$WORK/curl.times")
ours_med=$(median <"$WORK/ours.times")
mem_max=$(sort -g "$WORK/ours.memory" | tail -1)
gap_max=$(sort -g "$WORK/ours.gaps" | tail -1)
awk -v c="$curl_med" -v o="$ours_med" -v b="$BYTES" -v m="$mem_max" -v g="$gap_max" 'BEGIN {
    printf "  median time        curl %.3f s (%.0f MiB/s)   ours %.3f s (%.0f MiB/s)\n", c, b / c / 1048576, o, b / o / 1048576
    printf "  throughput         ours / curl = %.2f x   (goal >= 0.80)\n", c / o
    printf "  peak memory        ours %.1f MiB above idle, highest of the rounds   (goal <= 64 MiB)\n", m
    printf "  longest stall      %.1f ms between ticks of a 10 ms timer on the waiting thread\n", g
}'
echo

rm -f "$WORK/files/big.bin"
kill "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=

# ---------------------------------------------------------------------------------------------
# GUI-thread stalls of the launcher: the tool page's check of 16 tools and 8 tool starts, with
# the blocking start of before as the reference (offscreen unless DISPLAY names a display).
"$ROOT/$BUILD_DIR/bin/stallbench" --rounds "$ROUNDS" 2>/dev/null
echo

# ---------------------------------------------------------------------------------------------
# Installation and packing figures, then the whole installation of a package signed and unsigned.
if [ -f bench/install.sh ]; then
    BUILD_DIR="$BUILD_DIR" bash bench/install.sh
else
    echo "(bench/install.sh not present: no installation figures)"
fi
echo
BUILD_DIR="$BUILD_DIR" ROUNDS="$ROUNDS" bash bench/signature.sh

# ---------------------------------------------------------------------------------------------
# Many stations fetching one package at once from nginx, with and without continuation.
if [ "${SHIFTSTART:-1}" != 0 ]; then
    echo
    BUILD_DIR="$BUILD_DIR" bash bench/shiftstart.sh
fi
