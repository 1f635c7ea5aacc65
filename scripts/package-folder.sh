#!/usr/bin/env bash
# Zips a station folder the way releases ship it.
#   package-folder.sh bundle  STATION ZIP TOP   every file below STATION under TOP/
#   package-folder.sh upgrade STATION ZIP       the launcher upgrade package: the programs and
#                                               libraries under "Tovarin/", never the station's
#                                               .ini files, which the upgrade must not overwrite
# Modes are kept (the updater installs the programs executable).
set -euo pipefail
mode=$1 station=$2 target=$3
case "$mode" in
bundle) top=$4; exclude="" ;;
upgrade) top=Tovarin; exclude=ini ;;
*) echo "usage: $0 bundle|upgrade STATION ZIP [TOP]" >&2; exit 2 ;;
esac
python3 -B - "$station" "$target" "$top" "$exclude" <<'PY'
import os, sys, zipfile
folder, target, top, exclude = sys.argv[1], sys.argv[2], sys.argv[3] + "/", sys.argv[4]
with zipfile.ZipFile(target + ".part", "w", zipfile.ZIP_DEFLATED) as z:
    info = zipfile.ZipInfo(top, date_time=(2026, 1, 1, 0, 0, 0))
    info.external_attr = (0o40755 << 16) | 0x10
    z.writestr(info, b"")
    for base, dirs, files in os.walk(folder):
        dirs.sort()
        rel = os.path.relpath(base, folder)
        if rel != ".":
            z.write(base, top + rel + "/")
        for name in sorted(files):
            # The station's own settings sit beside the launcher; templates deeper down ship.
            if exclude and rel == "." and name.lower().endswith("." + exclude):
                continue
            z.write(os.path.join(base, name), top + os.path.normpath(os.path.join(rel, name)))
os.replace(target + ".part", target)
PY
