#!/usr/bin/env bash
# The Windows build: Tovarin.exe, Pellock.exe, the demo tool, the Windows test programs and the
# soak's build of the launcher (TovarinSoak.exe, for the smoke run's self-update; built with the
# test programs, never installed into the station folder), cross-built with mingw-w64 against
# the Qt and QuaZip of scripts/windows-toolchain.sh (built first when missing: about half an
# hour on two cores, once). The picture renderer runs under wine during the build. Ends with a
# station folder, laid out by `cmake --install` with the DLLs and plugins the programs load, in
# $BUILD_DIR/station.
#
#   BUILD_DIR            build folder (default build-win)
#   TOVARIN_WIN_PREFIX   the Windows toolchain (default /opt/tovarin-win64)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build-win}
export TOVARIN_WIN_PREFIX=${TOVARIN_WIN_PREFIX:-/opt/tovarin-win64}
started=$(date +%s)

bash scripts/install-deps.sh
bash scripts/windows-toolchain.sh
# The wine prefix is made once, before anything runs in it in parallel.
bash scripts/wine-run.sh >/dev/null 2>&1

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR="$ROOT/scripts/wine-run.sh" \
    -DTOVARIN_WIN_PREFIX="$TOVARIN_WIN_PREFIX" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
rm -rf "$BUILD_DIR/station"
cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/station" >/dev/null
echo "Windows build done in $(( $(date +%s) - started )) s; station folder: $BUILD_DIR/station"
