#!/usr/bin/env bash
# The Windows tests: builds with scripts/build-windows.sh (the first run builds the Windows Qt,
# about half an hour), runs the Windows test programs under wine with the offscreen platform
# (CTest starts each through scripts/wine-run.sh), then a smoke run of the real Tovarin.exe
# under wine on a virtual display against the stand-in server (scripts/windows-smoke.py), which
# ends with the launcher's self-update.
#
#   BUILD_DIR   build folder (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-win}
export BUILD_DIR

bash scripts/build-windows.sh
# One test runs as a Chinese-locale station, whose code page wine takes from the host's locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
    as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq locales >/dev/null
    as_root sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    as_root locale-gen >/dev/null
fi
# Wine's own processes (its server and services) start with the first program of a prefix and
# keep that program's output pipes open, so CTest would wait for them long after the test ended:
# they are started first, detached, and ended at the end.
export WINEPREFIX=${WINEPREFIX:-/var/tmp/tovarin-wineprefix}
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true
bash scripts/wine-run.sh </dev/null >/dev/null 2>&1 || true
trap '/usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true' EXIT
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" || status=1
# The smoke run ends with the launcher upgrading itself with a package of this build, made as
# the release command makes it; the soak's build of the launcher (its driver) accepts the offer.
bash scripts/package-folder.sh upgrade "$BUILD_DIR/station" "$BUILD_DIR/upgrade-windows.zip"
python3 -B scripts/windows-smoke.py "$BUILD_DIR/station" "$BUILD_DIR/smoke" "$BUILD_DIR/bin/grabscreen.exe" \
    "$BUILD_DIR/upgrade-windows.zip" "$BUILD_DIR/bin/TovarinSoak.exe" || status=1
exit $status
