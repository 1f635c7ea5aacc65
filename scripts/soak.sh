#!/usr/bin/env bash
# The reliability soak: the real launcher (its soak build, TovarinSoak, which holds the driver)
# and updater against a stand-in server that misbehaves at random, on a virtual display, for 30
# minutes (or 3 with --short). Prints one table and exits non-zero when any of its assertions
# fails.
#
#   scripts/soak.sh [--short] [--minutes N] [--seed N] [other options of scripts/soak.py]
#   SOAK_SEED, SOAK_MINUTES, SOAK_RATE  the same settings through the environment
#   SOAK_SKIP_BUILD=1                   use the programs already built
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
if ! command -v Xvfb >/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq xvfb xauth >/dev/null
fi
if [ "${SOAK_SKIP_BUILD:-0}" != 1 ]; then
    BUILD_DIR="$BUILD_DIR" scripts/build.sh
fi
export BUILD_DIR
exec python3 -B scripts/soak.py "$@"
