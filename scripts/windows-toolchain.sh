#!/usr/bin/env bash
# Builds the Windows (x86_64-w64-mingw32) Qt, QuaZip and libsodium the Windows build links against, from
# Debian's own source packages, into one folder outside the repository. Runs once: a second run
# that finds the folder complete does nothing. Needs root for apt-get.
#
#   TOVARIN_WIN_PREFIX   where the toolchain goes (default /opt/tovarin-win64)
#   TOVARIN_WIN_WORK     where the sources are unpacked and built (default /var/tmp/tovarin-win64)
#   JOBS                 parallel compile jobs (default: number of processors)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
PREFIX="${TOVARIN_WIN_PREFIX:-/opt/tovarin-win64}"
WORK="${TOVARIN_WIN_WORK:-/var/tmp/tovarin-win64}"
JOBS="${JOBS:-$(nproc)}"
STAMP="$PREFIX/.tovarin-toolchain-complete"
started=$(date +%s)

elapsed() { local s=$(( $(date +%s) - started )); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
step() { echo "== [$(elapsed)] $*"; }

# A toolchain made before libsodium joined it gets libsodium added.
if [ -f "$STAMP" ] && [ -f "$PREFIX/.libsodium-installed" ]; then
    echo "Windows toolchain already complete in $PREFIX ($(cat "$STAMP")); nothing to do."
    exit 0
fi

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Source packages need a deb-src entry for the same archive the machine already uses.
step "apt: source entry, cross compiler, wine"
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    as_root tee /etc/apt/sources.list.d/tovarin-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev libz-mingw-w64 \
    wine64 wine dpkg-dev cmake make perl python3 xz-utils ca-certificates autoconf automake libtool >/dev/null

# The posix thread model: std::thread and std::mutex need it in mingw's libstdc++.
CROSS=x86_64-w64-mingw32-
for tool in gcc g++; do
    if ! "${CROSS}${tool}" --version >/dev/null 2>&1; then
        echo "missing ${CROSS}${tool}" >&2; exit 1
    fi
done

mkdir -p "$WORK" "$PREFIX"
cd "$WORK"

fetch_source() { # package -> prints the unpacked folder
    local pkg="$1" dir
    dir=$(find . -maxdepth 1 -type d -name "${pkg}-*" | head -n1)
    if [ -z "$dir" ]; then
        apt-get source -qq --download-only "$pkg" >/dev/null
        dpkg-source -x --no-copy "$(ls ${pkg}_*.dsc | head -n1)" >/dev/null
        dir=$(find . -maxdepth 1 -type d -name "${pkg}-*" | head -n1)
    fi
    echo "$WORK/${dir#./}"
}

# --- Qt base -------------------------------------------------------------------------------
QTBASE_SRC=$(fetch_source qtbase-opensource-src)
QTBASE_BUILD="$WORK/qtbase-build"
if [ ! -f "$PREFIX/.qtbase-installed" ]; then
    # mingw-w64 ships the Schannel import libraries in lower case; the Windows hosts the
    # project file was written for do not care, a Linux linker does.
    sed -i 's/-lSecur32/-lsecur32/g; s/-lCrypt32/-lcrypt32/g' "$QTBASE_SRC/src/network/ssl/ssl.pri"
    mkdir -p "$QTBASE_BUILD"
    cd "$QTBASE_BUILD"
    if [ ! -f Makefile ]; then
        step "qtbase: configure (a few minutes)"
        # Debian's source leaves out the tablet header the Windows platform plugin needs.
        "$QTBASE_SRC/configure" -prefix "$PREFIX" -extprefix "$PREFIX" \
            -opensource -confirm-license -release -shared \
            -xplatform win32-g++ -device-option CROSS_COMPILE=$CROSS \
            -schannel -no-openssl -no-opengl -no-dbus -no-icu \
            -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre -qt-harfbuzz \
            -no-feature-tabletevent -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
            -nomake examples -nomake tests -silent > "$WORK/qtbase-configure.log" 2>&1 \
            || { tail -n 40 "$WORK/qtbase-configure.log"; exit 1; }
    fi
    step "qtbase: build with $JOBS jobs (the long part: about half an hour on two cores)"
    make -j"$JOBS" > "$WORK/qtbase-build.log" 2>&1 || { tail -n 40 "$WORK/qtbase-build.log"; exit 1; }
    step "qtbase: install"
    make install > "$WORK/qtbase-install.log" 2>&1 || { tail -n 40 "$WORK/qtbase-install.log"; exit 1; }
    touch "$PREFIX/.qtbase-installed"
    cd "$WORK"
fi

# --- Qt Svg --------------------------------------------------------------------------------
if [ ! -f "$PREFIX/.qtsvg-installed" ]; then
    QTSVG_SRC=$(fetch_source qtsvg-opensource-src)
    mkdir -p "$WORK/qtsvg-build"
    cd "$WORK/qtsvg-build"
    step "qtsvg: build"
    "$PREFIX/bin/qmake" "$QTSVG_SRC" > "$WORK/qtsvg-build.log" 2>&1
    make -j"$JOBS" >> "$WORK/qtsvg-build.log" 2>&1 || { tail -n 40 "$WORK/qtsvg-build.log"; exit 1; }
    make install >> "$WORK/qtsvg-build.log" 2>&1
    touch "$PREFIX/.qtsvg-installed"
    cd "$WORK"
fi

# --- QuaZip --------------------------------------------------------------------------------
TOOLCHAIN="$here/../cmake/mingw-w64-toolchain.cmake"
if [ ! -f "$PREFIX/.quazip-installed" ]; then
    QUAZIP_SRC=$(fetch_source libquazip1-qt5)
    step "quazip: build"
    # Without these two switches QuaZip tries to clone bzip2 from the network.
    TOVARIN_WIN_PREFIX="$PREFIX" cmake -S "$QUAZIP_SRC" -B "$WORK/quazip-build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DQUAZIP_QT_MAJOR_VERSION=5 \
        -DQUAZIP_BZIP2=OFF -DQUAZIP_FETCH_LIBS=OFF -DQUAZIP_ENABLE_TESTS=OFF \
        -DBUILD_SHARED_LIBS=ON > "$WORK/quazip-build.log" 2>&1 || { tail -n 40 "$WORK/quazip-build.log"; exit 1; }
    cmake --build "$WORK/quazip-build" -j"$JOBS" >> "$WORK/quazip-build.log" 2>&1 || { tail -n 40 "$WORK/quazip-build.log"; exit 1; }
    cmake --install "$WORK/quazip-build" >> "$WORK/quazip-build.log" 2>&1
    touch "$PREFIX/.quazip-installed"
fi

# --- libsodium: package signatures -----------------------------------------------------------
if [ ! -f "$PREFIX/.libsodium-installed" ]; then
    SODIUM_SRC=$(fetch_source libsodium)
    step "libsodium: build"
    # Debian's source carries no generated configure script.
    [ -x "$SODIUM_SRC/configure" ] || (cd "$SODIUM_SRC" && autoreconf -fi > "$WORK/libsodium-autoreconf.log" 2>&1) \
        || { tail -n 40 "$WORK/libsodium-autoreconf.log"; exit 1; }
    mkdir -p "$WORK/sodium-build"
    cd "$WORK/sodium-build"
    "$SODIUM_SRC/configure" --host=x86_64-w64-mingw32 --prefix="$PREFIX" --enable-shared --disable-static \
        > "$WORK/sodium-build.log" 2>&1 || { tail -n 40 "$WORK/sodium-build.log"; exit 1; }
    make -j"$JOBS" >> "$WORK/sodium-build.log" 2>&1 || { tail -n 40 "$WORK/sodium-build.log"; exit 1; }
    make install >> "$WORK/sodium-build.log" 2>&1 || { tail -n 40 "$WORK/sodium-build.log"; exit 1; }
    touch "$PREFIX/.libsodium-installed"
    cd "$WORK"
fi

echo "built $(date -u +%Y-%m-%dT%H:%MZ) in $(elapsed)" > "$STAMP"
step "Windows toolchain complete in $PREFIX"
