# Sourced by the installation benchmarks. make_tool_tree WORK [KIND] writes WORK/new/tool, a
# 200 MiB / 2,002-file tool tree (half random bytes, half text; dot-files and an executable among
# them), and WORK/old/tool, the older installation of it with the station's own settings. KIND
# says how old it is:
#   upgrade  (default) the previous build: 1 file in 10 and the executable have other bytes, of
#            the same size, the difference in their last bytes (the costliest to find); the
#            others are the same
#   rebuild  every file has other bytes of the same size, from the first byte on
make_tool_tree() {
    local work=$1
    python3 - "$work/new" <<'PY'
import os, sys, random
root = os.path.join(sys.argv[1], "tool")
rng = random.Random(10)
total, count = 200 * 1024 * 1024, 2000
size = total // count
line = b"factory station test result line 0123456789 abcdefghijklmnopqrstuvwxyz\n"
for i in range(count):
    folder = os.path.join(root, "data%02d" % (i % 40), "sub%d" % (i % 3))
    os.makedirs(folder, exist_ok=True)
    name = (".cfg%04d" if i % 100 == 0 else "file%04d.bin") % i
    body = os.urandom(size) if i % 2 else (line * (size // len(line) + 1))[:size]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(body)
os.makedirs(os.path.join(root, "conf"), exist_ok=True)
with open(os.path.join(root, "conf", "station.ini"), "w") as f:
    f.write("station=default\n")
with open(os.path.join(root, "tool.exe"), "wb") as f:
    f.write(b"\x7fELF new build")
os.chmod(os.path.join(root, "tool.exe"), 0o755)
PY
    make_old_tool "$work" "${2:-upgrade}"
}

# make_old_tool WORK KIND writes WORK/old/tool again from WORK/new/tool.
make_old_tool() {
    local work=$1
    rm -rf "$work/old"
    mkdir -p "$work/old"
    cp -a "$work/new/tool" "$work/old/tool"
    python3 - "$work/old/tool" "$2" <<'PY'
import os, sys
root, kind = sys.argv[1], sys.argv[2]
if kind not in ("upgrade", "rebuild"):
    sys.exit("unknown kind of older installation: " + kind)
def change(path, at_start):
    with open(path, "r+b") as f:
        size = f.seek(0, 2)
        n = min(size, 4096)
        f.seek(0 if at_start else size - n)
        f.write(b"\xa5" * n)
for i in range(2000):
    if kind == "rebuild" or i % 10 == 0:
        folder = os.path.join(root, "data%02d" % (i % 40), "sub%d" % (i % 3))
        name = (".cfg%04d" if i % 100 == 0 else "file%04d.bin") % i
        change(os.path.join(folder, name), kind == "rebuild")
change(os.path.join(root, "tool.exe"), kind == "rebuild")
PY
    printf 'station=7\n' >"$work/old/tool/conf/station.ini"
}
