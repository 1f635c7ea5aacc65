#!/usr/bin/env bash
# The bundles a factory rolls out, into dist/ (or $DIST_DIR), each named with the launcher's
# version (CMakeLists.txt):
#   Tovarin-<version>-windows-x64.zip      a Windows station folder: the launcher, its DLLs and
#                                          plugins, Pellock/ with its own, the two .ini templates
#   Tovarin-<version>-linux-x86_64.tar.gz  the Linux station folder (Debian 12's Qt and QuaZip
#                                          packages provide the libraries)
#   Tovarin-<version>-upgrade-windows.zip  launcher upgrade packages to publish on the
#   Tovarin-<version>-upgrade-linux.zip    configuration service as the launcher's package:
#                                          "Tovarin/" holding the programs, Pellock/ and the
#                                          libraries, never the station's .ini files
#
#   RELEASE_SYSTEMS  "linux windows" (default) or one of them; Windows needs the toolchain of
#                    scripts/windows-toolchain.sh (built on first use: about half an hour)
#   TOVARIN_SIGNING_KEY  an Ed25519 key (PEM): each upgrade package gets its signature beside
#                    it (<package>.sig, scripts/sign-package.sh), to publish with the package
set -euo pipefail
# A key named relative to the caller's folder, before leaving it.
SIGNING_KEY=${TOVARIN_SIGNING_KEY:+$(realpath -m -- "$TOVARIN_SIGNING_KEY")}
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DIST_DIR=${DIST_DIR:-$ROOT/dist}
SYSTEMS=${RELEASE_SYSTEMS:-linux windows}
VERSION=$(sed -n 's/^project(Tovarin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$VERSION" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
# The key is checked before the long builds, not after them.
if [ -n "$SIGNING_KEY" ]; then
    [ -f "$SIGNING_KEY" ] || { echo "TOVARIN_SIGNING_KEY names no file: $SIGNING_KEY" >&2; exit 1; }
    public=$(openssl pkey -in "$SIGNING_KEY" -pubout -outform DER | tail -c 32 | base64 -w0) ||
        { echo "TOVARIN_SIGNING_KEY is no usable key: $SIGNING_KEY" >&2; exit 1; }
    echo "Upgrade packages are signed; the stations' PackageKeys must list $public"
else
    echo "TOVARIN_SIGNING_KEY is not set: the upgrade packages are not signed"
fi
sign() {
    if [ -n "$SIGNING_KEY" ]; then
        bash scripts/sign-package.sh "$SIGNING_KEY" "$1"
    else
        rm -f "$1.sig" # a signature of an earlier build would not match
    fi
}
mkdir -p "$DIST_DIR"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for system in $SYSTEMS; do
    case "$system" in
    linux)
        bash scripts/install-deps.sh
        BUILD_DIR=build-release bash scripts/build.sh -DCMAKE_BUILD_TYPE=Release -DTOVARIN_BUILD_TESTS=OFF
        station="$work/Tovarin-$VERSION"
        cmake --install build-release --prefix "$station" --strip >/dev/null
        tar -C "$work" -czf "$DIST_DIR/Tovarin-$VERSION-linux-x86_64.tar.gz" "Tovarin-$VERSION"
        bash scripts/package-folder.sh upgrade "$station" "$DIST_DIR/Tovarin-$VERSION-upgrade-linux.zip"
        sign "$DIST_DIR/Tovarin-$VERSION-upgrade-linux.zip"
        rm -rf "$station"
        ;;
    windows)
        BUILD_DIR=build-win-release bash scripts/build-windows.sh -DTOVARIN_BUILD_TESTS=OFF
        station="$work/Tovarin-$VERSION"
        cmake --install build-win-release --prefix "$station" --strip >/dev/null
        bash scripts/package-folder.sh bundle "$station" "$DIST_DIR/Tovarin-$VERSION-windows-x64.zip" "Tovarin-$VERSION"
        bash scripts/package-folder.sh upgrade "$station" "$DIST_DIR/Tovarin-$VERSION-upgrade-windows.zip"
        sign "$DIST_DIR/Tovarin-$VERSION-upgrade-windows.zip"
        rm -rf "$station"
        ;;
    *)
        echo "unknown system: $system" >&2
        exit 1
        ;;
    esac
done
ls -l "$DIST_DIR"
