#!/usr/bin/env bash
# Renders every widget in every state and the main window's pages to PNG files, headless.
# With Xvfb at hand the main window is also shown on a virtual display and taken from its
# screen ("screen_*.png"): that is what a desktop without a compositor really draws.
#   scripts/screenshots.sh [output folder]      (default: <build>/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
OUT=${1:-$BUILD_DIR/screenshots}
scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target widgetgallery updatergallery windowgallery cataloguegallery -j2
mkdir -p "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/widgetgallery" "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/updatergallery" "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/windowgallery" "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/cataloguegallery" "$OUT"

if command -v Xvfb >/dev/null; then
    run=$(mktemp -d)
    Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$run/display" >"$run/xvfb.log" 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true; rm -rf "$run"' EXIT
    for _ in $(seq 1 100); do
        [ -s "$run/display" ] && break
        sleep 0.1
    done
    if [ -s "$run/display" ]; then
        DISPLAY=":$(head -n1 "$run/display")" QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 \
            "$BUILD_DIR/bin/windowgallery" --screen "$OUT"
    else
        echo "The virtual display did not start; no screen pictures (see $run/xvfb.log)" >&2
    fi
fi
