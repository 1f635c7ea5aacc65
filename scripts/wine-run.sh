#!/usr/bin/env bash
# Runs a program of the Windows build under wine: its DLLs (Qt, QuaZip, zlib, the mingw runtime)
# and Qt's plugins are found without copying them next to it. The build uses it to run its
# picture renderer and CTest to run the Windows test programs.
set -euo pipefail
PREFIX="${TOVARIN_WIN_PREFIX:-/opt/tovarin-win64}"
export WINEPREFIX="${WINEPREFIX:-/var/tmp/tovarin-wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
winpath() { echo "Z:${1//\//\\}"; }
gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
export WINEPATH="$(winpath "$PREFIX/bin");$(winpath "$gccdir");$(winpath /usr/x86_64-w64-mingw32/lib)"
export QT_PLUGIN_PATH="$(winpath "$PREFIX/plugins")"
# The tests start the stand-in server, a program of this machine, with paths it must read:
# how wine's drives map to the machine's folders (temporary files are on C:).
# With its drive: a bare "\usr\bin\python3" is looked up on the caller's current drive.
export TOVARIN_PYTHON="${TOVARIN_PYTHON:-$(winpath "$(python3 -c 'import sys; print(sys.executable)')")}"
export TOVARIN_HOST_DRIVES="C:=$WINEPREFIX/drive_c;Z:="
if [ "$#" -eq 0 ]; then
    # No program: just make sure the prefix exists (its first start takes a while).
    exec /usr/lib/wine/wine64 wineboot -i
fi
if [ "${TOVARIN_QTEST_TO_FILE:-0}" = 1 ]; then
    # A QtTest program's own output does not come through wine's standard output; its log
    # file does.
    log=$(mktemp)
    status=0
    # Wine does not hand QT_* variables to Windows programs: the platform goes as an argument.
    platform=()
    # Only a program with a GUI application takes it; QtTest refuses an unknown option.
    if [ -n "${QT_QPA_PLATFORM:-}" ] && [[ "$(x86_64-w64-mingw32-objdump -p "$1" 2>/dev/null)" == *"DLL Name: Qt5Gui.dll"* ]]; then
        platform=(-platform "$QT_QPA_PLATFORM")
    fi
    # Wine can neither signal nor close the input of the stand-in servers a test starts (they
    # are programs of this machine): the ones left behind are found by this run's mark.
    export TOVARIN_WINE_RUN="$$-$RANDOM"
    # Its standard streams go to files, not to CTest's pipes: a program the test started (a tool
    # through "start", a console host) that outlives it would otherwise hold CTest waiting.
    /usr/lib/wine/wine64 "$@" "${platform[@]}" -o "$(winpath "$log"),txt" </dev/null >"$log.out" 2>&1 \
        || status=$?
    for proc in /proc/[0-9]*; do
        if grep -qzx "TOVARIN_WINE_RUN=$TOVARIN_WINE_RUN" "$proc/environ" 2>/dev/null \
            && grep -qz 'devserver\.py' "$proc/cmdline" 2>/dev/null; then
            kill "${proc#/proc/}" 2>/dev/null || true
        fi
    done
    cat "$log" "$log.out"
    rm -f "$log" "$log.out"
    exit $status
fi
exec /usr/lib/wine/wine64 "$@"
