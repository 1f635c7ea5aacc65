#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan and UBSan) into build-fuzz/ and feeds every
# parser of server answers and local files N malformed inputs (default 10000), each with a time
# limit (a hang counts as a finding). Prints one line per target and exits non-zero on any crash,
# sanitizer report or hang; the findings and logs stay in build-fuzz/fuzz-work/<target>/.
#   bash scripts/fuzz.sh [runs-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-10000}
TIMEOUT=${FUZZ_TIMEOUT:-30}
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
ROOT=$(pwd)

bash scripts/install-deps.sh clang libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVARIN_FUZZ=ON \
    -DTOVARIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target fuzz_all >"$BUILD_DIR/fuzz-build.log" 2>&1 ||
    { tail -40 "$BUILD_DIR/fuzz-build.log"; exit 1; }

# The targets install packages into scratch folders, and each installation flushes its file
# system to the disk: on a memory file system that costs nothing.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm/tovarin-fuzz
    rm -rf "$TMPDIR"
    mkdir -p "$TMPDIR"
fi
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$ROOT/cmake/lsan-qt.supp:print_suppressions=0

JOBS=${FUZZ_JOBS:-$(nproc)}

# Runs one target and leaves its summary line in its work folder.
fuzz_one() {
    local seeds=$1 target work log status runs hangs sanitizer crashes verdict
    target=$(basename "$seeds")
    work="$ROOT/$BUILD_DIR/fuzz-work/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/findings"
    log="$work/fuzz.log"
    # New inputs go into the work copy; the committed seeds stay as they are. Leaks are looked
    # for once, when the target ends: a check after every input stops the whole process each time.
    status=0
    (cd "$work" && "$ROOT/$BUILD_DIR/fuzz/$target" -runs="$RUNS" -timeout="$TIMEOUT" -rss_limit_mb=4096 -detect_leaks=0 \
        -artifact_prefix="$work/findings/" -print_final_stats=1 "$work/corpus" "$ROOT/$seeds") >"$log" 2>&1 ||
        status=$?
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    hangs=$(grep -c 'ERROR: libFuzzer: timeout' "$log" || true)
    sanitizer=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:' "$log" || true)
    crashes=$(grep -cE 'ERROR: libFuzzer: (deadly signal|out-of-memory|fuzz target exited)' "$log" || true)
    if [ "$status" -ne 0 ] && [ "$hangs" -eq 0 ] && [ "$sanitizer" -eq 0 ] && [ "$crashes" -eq 0 ]; then
        crashes=1
    fi
    verdict=ok
    if [ "$status" -ne 0 ] || [ "$runs" -lt "$RUNS" ]; then
        verdict="FAILED (see $BUILD_DIR/fuzz-work/$target/)"
    fi
    printf '%-27s inputs %6s  crashes %s  sanitizer reports %s  hangs %s  %s\n' \
        "$target" "$runs" "$crashes" "$sanitizer" "$hangs" "$verdict" >"$work/summary"
}

# Targets run side by side, JOBS at a time (FUZZ_JOBS; the number of processors by default).
targets=(tests/fuzz/corpus/*/)
# FUZZ_TARGETS="fuzz_zip fuzz_handoff" runs only those.
if [ -n "${FUZZ_TARGETS:-}" ]; then
    targets=()
    for name in $FUZZ_TARGETS; do targets+=("tests/fuzz/corpus/$name/"); done
fi
# The slowest start first, so the others fill in beside them.
slow=(fuzz_stationfiles fuzz_answer_catalogue fuzz_toolpackage fuzz_launcherpackage)
order=()
for name in "${slow[@]}"; do
    [[ " ${targets[*]} " == *" tests/fuzz/corpus/$name/ "* ]] && order+=("tests/fuzz/corpus/$name/")
done
for seeds in "${targets[@]}"; do
    [[ " ${slow[*]} " == *" $(basename "$seeds") "* ]] || order+=("$seeds")
done
for seeds in "${order[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do
        wait -n || true
    done
    fuzz_one "$seeds" &
done
wait

failed=0
for seeds in "${targets[@]}"; do
    summary="$BUILD_DIR/fuzz-work/$(basename "$seeds")/summary"
    cat "$summary"
    grep -q ' ok$' "$summary" || failed=1
done
[ -z "${TMPDIR:-}" ] || [ "$TMPDIR" != /dev/shm/tovarin-fuzz ] || rm -rf "$TMPDIR"
exit $failed
