#!/usr/bin/env bash
# Signed package installation: a station's whole installation of the 200 MiB / 2,000-file tool
# package (download from a package server on loopback, then the tool folder replaced), the
# launcher's way, unsigned and signed (digest while downloading, signature fetched and checked)
# in turn, ROUNDS rounds each, each over a fresh copy of the same older tool folder.
# Goal: signed / unsigned <= 1.05 (medians of the same run).
# Usage: bench/signature.sh [build dir]   (the build must contain bin/installbench)
# The package holds bench/install.sh's tree stored (ZIP_LEVEL=0), so that the zip, and what is
# hashed, is 200 MiB; ZIP_LEVEL=6 packs it as install.sh does (about 100 MiB).
# TREE names the older tool folder installed over (bench/tooltree.sh): "rebuild" (default), every
# file replaced, or "upgrade", the previous build, where most files stay as they were and the
# installation is so short that the digest's own time weighs more.
# The package server is nginx when installed (as a plain process of ours, files and logs in the
# temporary folder), the stand-in server otherwise (or with NGINX=none).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-${BUILD_DIR:-build}}
BENCH=$BUILD_DIR/bin/installbench
[ -x "$BENCH" ] || { echo "build $BENCH first (cmake --build $BUILD_DIR --target installbench)" >&2; exit 1; }
for tool in zip unzip python3 openssl curl bc; do command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 1; }; done
ROUNDS=${ROUNDS:-5}
ZIP_LEVEL=${ZIP_LEVEL:-0}
GOAL=1.05

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sigbench.XXXXXX")
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

source bench/tooltree.sh
make_tool_tree "$WORK" "${TREE:-rebuild}"
mkdir -p "$WORK/files"
(cd "$WORK/new" && zip -r -q "-$ZIP_LEVEL" "$WORK/files/tool.zip" tool)
rm -rf "$WORK/new"
openssl genpkey -algorithm ed25519 -out "$WORK/key.pem" 2>/dev/null
openssl genpkey -algorithm ed25519 -out "$WORK/other.pem" 2>/dev/null
keyline() { openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 -w0; }
KEYS=$(keyline "$WORK/key.pem")
OTHER=$(keyline "$WORK/other.pem")
bash scripts/sign-package.sh "$WORK/key.pem" "$WORK/files/tool.zip"
PACKAGE_BYTES=$(stat -c %s "$WORK/files/tool.zip")
FILES=$(unzip -Z1 "$WORK/files/tool.zip" | grep -vc '/$')

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# NGINX=none takes the stand-in server even where nginx is installed.
NGINX=${NGINX:-$(command -v nginx || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true)}
[ "$NGINX" != none ] || NGINX=
if [ -n "$NGINX" ]; then
    mkdir -p "$WORK/nginx"
    for _ in 1 2 3; do
        PORT=$(free_port)
        cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    fastcgi_temp_path $WORK/nginx/fastcgi;
    uwsgi_temp_path $WORK/nginx/uwsgi;
    scgi_temp_path $WORK/nginx/scgi;
    default_type application/octet-stream;
    sendfile on;
    server { listen 127.0.0.1:$PORT; root $WORK/files; }
}
EOF
        "$NGINX" -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" &
        SERVER_PID=$!
        for _ in $(seq 1 50); do
            curl -sf -o /dev/null "http://127.0.0.1:$PORT/tool.zip.sig" && break
            kill -0 "$SERVER_PID" 2>/dev/null || break
            sleep 0.1
        done
        curl -sf -o /dev/null "http://127.0.0.1:$PORT/tool.zip.sig" && break
        kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=
    done
    [ -n "$SERVER_PID" ] || { echo "nginx did not start" >&2; cat "$WORK/nginx/error.log" >&2; exit 1; }
    SERVER="nginx $("$NGINX" -v 2>&1 | sed 's/.*nginx\///')"
    URL="http://127.0.0.1:$PORT/tool.zip"
else
    # The .sig beside the package is served as it is (no signing key given to the server).
    python3 devserver/devserver.py --no-https --files "$WORK/files" --ready-file "$WORK/ready" \
        >"$WORK/server.log" 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 200); do [ -s "$WORK/ready" ] && break; sleep 0.1; done
    [ -s "$WORK/ready" ] || { echo "the stand-in server did not start" >&2; cat "$WORK/server.log" >&2; exit 1; }
    PORT=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$WORK/ready")
    SERVER="the stand-in server (devserver.py: nginx not found or not wanted)"
    URL="http://127.0.0.1:$PORT/files/tool.zip"
fi

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# A fresh station: the same older tool folder, nothing staged.
fresh_station() {
    rm -rf "$WORK/station"
    mkdir -p "$WORK/station"
    cp -a "$WORK/old/tool" "$WORK/station/tool"
    sync
}
run_station() { # mode [keys]
    local keys=()
    [ "$1" = signed ] && keys=(--keys "$2")
    "$BENCH" station "$URL" "$WORK/station" "${keys[@]}" 2>"$WORK/station.log"
}
val() { echo "$out" | sed -n "s/^$1=//p"; }

# A signature by another key must be refused and leave the tool as it was; this run also
# brings the package into the page cache for both modes alike.
fresh_station
set +e
out=$(run_station signed "$OTHER")
status=$?
set -e
if [ "$status" -ne 3 ] || [ "$(val verdict)" != 3 ] || ! grep -q 'station=7' "$WORK/station/tool/conf/station.ini"; then
    echo "a package signed by another key was not refused (exit $status)" >&2; echo "$out" >&2; exit 1
fi

declare -a pair u_total s_total u_dl s_dl s_sig u_inst s_inst u_user s_user u_stall s_stall
for round in $(seq "$ROUNDS"); do
    for mode in unsigned signed; do
        fresh_station
        if ! out=$(run_station "$mode" "$KEYS"); then
            echo "$mode installation failed" >&2; echo "$out" >&2; tail -5 "$WORK/station.log" >&2; exit 1
        fi
        [ "$(val signed)" = "$([ $mode = signed ] && echo 1 || echo 0)" ] || { echo "wrong mode" >&2; exit 1; }
        [ "$(head -c 14 "$WORK/station/tool/tool.exe" | tail -c 9)" = "new build" ] &&
            [ -x "$WORK/station/tool/tool.exe" ] || { echo "$mode: tool not replaced" >&2; exit 1; }
        [ ! -e "$WORK/station/UpgradePackage/ToolApp/tool.zip" ] &&
            [ ! -e "$WORK/station/UpgradePackage/ToolApp/tool.zip.sig" ] || { echo "$mode: staging left" >&2; exit 1; }
        if [ $mode = unsigned ]; then
            u_total+=("$(val total_s)"); u_dl+=("$(val download_s)"); u_inst+=("$(val install_s)")
            u_user+=("$(val user_s)"); u_stall+=("$(val stall_ms)")
        else
            s_total+=("$(val total_s)"); s_dl+=("$(val download_s)"); s_sig+=("$(val signature_s)")
            s_inst+=("$(val install_s)"); s_user+=("$(val user_s)"); s_stall+=("$(val stall_ms)")
            pair+=("$(awk -v s="${s_total[-1]}" -v u="${u_total[-1]}" 'BEGIN { printf "%.3f", s / u }')")
        fi
    done
done
rm -rf "$WORK/station"
# What the digest alone costs on this processor, for reading the figures.
t0=$(date +%s.%N); openssl dgst -sha256 "$WORK/files/tool.zip" >/dev/null; t1=$(date +%s.%N)

ut=$(median "${u_total[@]}"); st=$(median "${s_total[@]}")
echo "== Signed package installation: $FILES files, $(echo "scale=1; $PACKAGE_BYTES / 1048576" | bc) MiB zip (zip -$ZIP_LEVEL) from $SERVER on 127.0.0.1 over the ${TREE:-rebuild} (median of $ROUNDS rounds, A B A B)"
printf '  %-30s %9s %9s\n' "" unsigned signed
printf '  %-30s %9s %9s\n' "total" "$ut" "$st" \
    "— download (digest if signed)" "$(median "${u_dl[@]}")" "$(median "${s_dl[@]}")" \
    "— signature GET and check" "-" "$(median "${s_sig[@]}")" \
    "— installation" "$(median "${u_inst[@]}")" "$(median "${s_inst[@]}")" \
    "user CPU s" "$(median "${u_user[@]}")" "$(median "${s_user[@]}")" \
    "longest stall ms (10 ms timer)" "$(median "${u_stall[@]}")" "$(median "${s_stall[@]}")"
awk -v s="$st" -v u="$ut" -v g="$GOAL" 'BEGIN {
    r = s / u
    printf "  signed / unsigned = %.3f   (goal <= %.2f): %s\n", r, g, (r <= g) ? "PASS" : "FAIL"
}'
awk -v sd="$(median "${s_dl[@]}")" -v ud="$(median "${u_dl[@]}")" -v sg="$(median "${s_sig[@]}")" -v u="$ut" 'BEGIN {
    printf "  verification itself: download %+.3f s (digest), signature %.3f s = %.1f %% of unsigned\n", \
        sd - ud, sg, 100 * (sd - ud + sg) / u
}'
echo "  median of the rounds' own ratios: $(median "${pair[@]}")   (rounds: ${pair[*]})"
printf '  openssl dgst -sha256 of the package: %.3f s\n' "$(echo "$t1 - $t0" | bc)"
echo "  a signature by another key: refused, tool folder untouched"
echo "  all rounds: unsigned ${u_total[*]} / signed ${s_total[*]}"
echo "              installation unsigned ${u_inst[*]} / signed ${s_inst[*]}"
echo "              download unsigned ${u_dl[*]} / signed ${s_dl[*]} / signature ${s_sig[*]}"
