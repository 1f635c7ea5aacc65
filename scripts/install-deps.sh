#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (only those missing),
# and any further packages named as arguments.
set -euo pipefail
PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5svg5-dev libquazip1-qt5-dev libxcb1-dev libsodium-dev libssl-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    python3 openssl nginx-light
    fonts-noto-cjk
    xvfb xauth xdotool
    "$@"
)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
