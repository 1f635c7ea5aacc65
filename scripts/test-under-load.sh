#!/usr/bin/env bash
# Runs the whole test suite N times in a row (default 5) while two busy loops keep both
# processors of a small machine loaded, and stops at the first failing run. Shows that no test
# depends on having the machine to itself. Builds first if needed; BUILD_DIR as for build.sh.
#   bash scripts/test-under-load.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
BUILD_DIR=${BUILD_DIR:-build}
[ -f "$BUILD_DIR/CTestTestfile.cmake" ] || BUILD_DIR=$BUILD_DIR scripts/build.sh

busy=()
stop_busy() {
    for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait "${busy[@]}" 2>/dev/null || true
}
trap stop_busy EXIT
for _ in 1 2; do
    (while :; do :; done) &
    busy+=($!)
done
echo "busy loops: ${busy[*]}"

for run in $(seq 1 "$RUNS"); do
    start=$(date +%s)
    if ctest --test-dir "$BUILD_DIR" -j2 --output-on-failure >"$BUILD_DIR/under-load-$run.log" 2>&1; then
        echo "run $run/$RUNS: $(grep 'tests passed' "$BUILD_DIR/under-load-$run.log"), $(($(date +%s) - start)) s"
    else
        echo "run $run/$RUNS: FAILED, see $BUILD_DIR/under-load-$run.log"
        grep -E 'tests passed|\*\*\*Failed|Failed  |Timeout' "$BUILD_DIR/under-load-$run.log" || true
        exit 1
    fi
done
echo "all $RUNS runs passed under load"
