#!/usr/bin/env bash
# Installation benchmark: a 200 MiB / 2,000-file package installed over an existing tool folder
# with a keep-list of a file and a folder, against `unzip -o -q` of the same package into a copy
# of the same folder; then compressDir against `zip -r -q` of the same tree. The installation's
# time ends when install() returns; the deletion of the replaced files that follows is timed apart.
# Two older folders in turn (bench/tooltree.sh): "upgrade", the previous build, where 1 file in 10
# changed, and "rebuild", where every file did (KINDS="upgrade" runs one).
# Usage: bench/install.sh [build dir]   (the build must contain bin/installbench)
#        TMPDIR=/dev/shm bench/install.sh   measures on tmpfs
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-${BUILD_DIR:-build}}
BENCH=$BUILD_DIR/bin/installbench
[ -x "$BENCH" ] || { echo "build $BENCH first (cmake --build $BUILD_DIR --target installbench)" >&2; exit 1; }
for tool in zip unzip python3; do command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 1; }; done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/installbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

source bench/tooltree.sh
make_tool_tree "$WORK"

ROUNDS=${ROUNDS:-3}
KINDS=${KINDS:-upgrade rebuild}
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { echo "scale=2; $1 / $2" | bc; }
declare -a zip_s compress_s
run_unzip() {
    local t0 t1
    t0=$(now); unzip -o -q "$WORK/package.zip" -d "$WORK/unzipped"; t1=$(now)
    unzip_s+=("$(echo "$t1 - $t0" | bc)")
    sync
}
run_install() {
    local out
    out=$("$BENCH" install "$WORK/consumed.zip" "$WORK/installed" tool/conf/station.ini tool/data00)
    val() { echo "$out" | sed -n "s/^$1=//p"; }
    [ "$(val install_ok)" = 1 ] || { echo "installation failed" >&2; echo "$out" >&2; exit 1; }
    [ "$(val cleaned)" = 1 ] || { echo "the replaced files were not all deleted" >&2; exit 1; }
    grep -q 'station=7' "$WORK/installed/tool/conf/station.ini" || { echo "keep-list not honoured" >&2; exit 1; }
    [ -x "$WORK/installed/tool/tool.exe" ] || { echo "executable mode lost" >&2; exit 1; }
    # Every file outside the kept folder as packed.
    diff -r -q -x station.ini -x data00 "$WORK/new/tool" "$WORK/installed/tool" >/dev/null ||
        { echo "the installed folder differs from the package" >&2; exit 1; }
    install_s+=("$(val install_s)"); unpack_s+=("$(val unpack_s)"); move_s+=("$(val move_in_s)")
    clean_s+=("$(val cleanup_s)"); background_s+=("$(val background_s)"); stall_ms+=("$(val stall_ms)")
    sync
}
files=$(find "$WORK/new/tool" -type f | wc -l)
mib=$(du -sm --apparent-size "$WORK/new/tool" | cut -f1)
for kind in $KINDS; do
    make_old_tool "$WORK" "$kind"
    unzip_s=(); install_s=(); unpack_s=(); move_s=(); clean_s=(); background_s=(); stall_ms=()
    # Each round runs the reference and our own installation, so that load from elsewhere on
    # the machine hits both alike; the medians are reported. Which runs first alternates: the
    # files one deletes make the other's new files slower to create on some file systems (ext4
    # without a journal passes over inodes freed in the last minutes).
    for round in $(seq "$ROUNDS"); do
        rm -f "$WORK/package.zip" "$WORK/compressed.zip"
        sync
        t0=$(now); (cd "$WORK/new" && zip -r -q "$WORK/package.zip" tool); t1=$(now)
        zip_s+=("$(echo "$t1 - $t0" | bc)")
        compress_s+=("$("$BENCH" compress "$WORK/compressed.zip" "$WORK/new/tool" 2>/dev/null |
            sed -n 's/^compress_s=//p')")

        rm -rf "$WORK/unzipped" "$WORK/installed"
        cp -a "$WORK/old" "$WORK/unzipped"
        cp -a "$WORK/old" "$WORK/installed"
        cp "$WORK/package.zip" "$WORK/consumed.zip" # the installation consumes its package
        sync
        if [ $((round % 2)) = 1 ]; then run_unzip; run_install; else run_install; run_unzip; fi
    done

    inst=$(median "${install_s[@]}"); unz=$(median "${unzip_s[@]}")
    echo "== Installation over the $kind: $files files, $mib MiB, keep-list of a file and a folder" \
        "(median of $ROUNDS rounds)"
    printf '%-34s %8s s   unzip -o -q %6.3f s   ratio %s (goal <= 0.50)\n' "install total" "$inst" "$unz" \
        "$(ratio "$inst" "$unz")"
    printf '  %-32s %8s s\n' "unpack and verify (journal)" "$(median "${unpack_s[@]}")" \
        "move into place" "$(median "${move_s[@]}")" "package removed, journal aside" "$(median "${clean_s[@]}")"
    printf '%-34s %8s s   (after install() returned, not in its time)\n' "replaced files deleted" \
        "$(median "${background_s[@]}")"
    printf '%-34s %8s ms  (worst round %s ms, goal <= 100)\n' "longest GUI-thread stall" \
        "$(median "${stall_ms[@]}")" "$(printf '%s\n' "${stall_ms[@]}" | sort -g | tail -1)"
    echo "   all rounds: install ${install_s[*]} / unzip ${unzip_s[*]}"
    echo "   unpack ${unpack_s[*]} / move in ${move_s[*]} / deleted after ${background_s[*]}"
done
comp=$(median "${compress_s[@]}"); zp=$(median "${zip_s[@]}")
echo "== Compression of the tree (median of all rounds)"
printf '%-34s %8s s   zip -r -q   %6.3f s   ratio %s\n' "compressDir" "$comp" "$zp" "$(ratio "$comp" "$zp")"
echo "   all rounds: compressDir ${compress_s[*]} / zip ${zip_s[*]}"
