#!/usr/bin/env bash
# The README's test command: installs what is missing, builds, compile-checks the Windows
# platform files and runs every test. TOVARIN_SANITIZE=1 builds with ASan/UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
extra=()
if [ "${TOVARIN_SANITIZE:-0}" = 1 ]; then
    extra+=(-DTOVARIN_SANITIZE=ON)
    export BUILD_DIR=${BUILD_DIR:-build-asan}
    # Undefined behaviour stops the test; Qt's own leaks are suppressed (ours are not).
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/cmake/lsan-qt.supp:print_suppressions=0}
fi
scripts/build.sh "${extra[@]}"
scripts/check-windows.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
