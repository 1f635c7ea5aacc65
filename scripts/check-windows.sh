#!/usr/bin/env bash
# Compile-checks the platform files a Windows build compiles (the *_win.cpp files and the
# portable ones) with the mingw-w64 cross compiler against the installed Qt headers, so that the
# Windows side cannot rot on a Linux-only build.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=x86_64-w64-mingw32-g++-posix
QT_INC=$(dirname "$(find /usr/include -maxdepth 3 -type d -name QtCore -path '*qt5*' | head -n1)")
status=0
for f in platform/*.cpp; do
    [ -e "$f" ] || continue
    case "$f" in *_posix.cpp) continue ;; esac
    if $CXX -std=c++17 -fsyntax-only -Wno-attributes -DUNICODE -D_UNICODE -I"$QT_INC" -I"$QT_INC/QtCore" -Iplatform "$f"; then
        echo "windows compile-check ok: $f"
    else
        echo "windows compile-check FAILED: $f"
        status=1
    fi
done
exit $status
