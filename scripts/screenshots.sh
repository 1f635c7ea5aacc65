#!/usr/bin/env bash
# Renders every widget in every state to PNG files, headless.
#   scripts/screenshots.sh [output folder]      (default: <build>/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
OUT=${1:-$BUILD_DIR/screenshots}
scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target widgetgallery updatergallery -j2
cmake --build "$BUILD_DIR" --target cataloguegallery -j2
mkdir -p "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/widgetgallery" "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/updatergallery" "$OUT"
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8 "$BUILD_DIR/bin/cataloguegallery" "$OUT"
