# Sourced by the installation benchmarks: make_tool_tree WORK writes WORK/new/tool, a 200 MiB /
# 2,002-file tool tree (half random bytes, half text; dot-files and an executable among them),
# and WORK/old/tool, the older installation of it: same names, other bytes, the station's own
# settings.
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
    mkdir -p "$work/old"
    cp -a "$work/new/tool" "$work/old/tool"
    find "$work/old/tool" -name 'file00[0-4]*.bin' -exec sh -c 'printf old > "$1"' _ {} \;
    printf 'station=7\n' >"$work/old/tool/conf/station.ini"
}
