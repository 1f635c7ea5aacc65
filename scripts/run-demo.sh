#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, lays out a demo station folder,
# starts the stand-in factory server with the demo data and starts the launcher there.
# Without a display the launcher runs on a virtual one (Xvfb) and screenshots are saved.
#
#   DEMO_DIR          station folder (default: demo/station in the repository, git-ignored)
#   BUILD_DIR         build folder (default: build)
#   DEMO_LAYOUT_ONLY  1: lay out the station and the server's packages, then stop
#   DEMO_SKIP_BUILD   1: use the programs already built (no install, no build)
#   DEMO_SELF_UPDATE  1: the server also offers launcher 1.2.0.0 (once), a package of the built
#                     Tovarin and Pellock: the launcher upgrades itself through Pellock
# Every layout makes a new demo key pair (run/demo-signing-key.pem, never committed): the
# station lists its public key in CONFIGSET.ini [Tovarin] PackageKeys, and the server signs the
# packages it serves with it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=${DEMO_DIR:-$ROOT/demo/station}
RUN_DIR=$(dirname "$DEMO_DIR")/run

if [ "${DEMO_SKIP_BUILD:-0}" != 1 ]; then
    scripts/install-deps.sh
    BUILD_DIR="$BUILD_DIR" scripts/build.sh
fi
BIN="$ROOT/$BUILD_DIR/bin"
[ -d "$BIN" ] || BIN="$BUILD_DIR/bin"

# --- the station folder ------------------------------------------------------------------
# The tools of the launcher's table, in its order; ids as in devserver/demo-data.json.
TOOLS=(IPCProductCheck BPC IPCamSuite IPCTestMulti MACSetting WifiModuleTest XVRProductCheck
       PPCFocus PPCAirTight CompareLabel PrintSNLabel BoxWeightCheck PPCPackage WeightCheck
       WifiConnectTool JBM)

# The tool update check on the tool page: every installed tool carries 1.0.0.0. The server
# (devserver/demo-data.json) offers BPC 1.5.0.0 as a forced upgrade, IPCProductCheck 2.1.0.0
# and IPCamSuite 3.0.2.0 as optional ones ("全部更新"), and PPCFocus 1.1.0.0, whose folder is
# missing, as a first install; the other tools of the page are up to date. The packages carry
# the demo tool patched to their version, so once installed nothing is offered again.
INSTALLED_VERSION=1.0.0.0
FIRST_INSTALL=PPCFocus
PACKAGES=(BPC:1.5.0.0 IPCProductCheck:2.1.0.0 IPCamSuite:3.0.2.0 PPCFocus:1.1.0.0)
# The station's selection: the four above and four tools that are up to date (what the server
# offers this selection is checked by tests/devserver/test_devserver.py).
SELECTED_IDS=(101 102 103 108 109 110 115 116)

rm -rf "$DEMO_DIR" "$RUN_DIR"
mkdir -p "$DEMO_DIR" "$RUN_DIR" "$RUN_DIR/files"
SIGNING_KEY="$RUN_DIR/demo-signing-key.pem"
openssl genpkey -algorithm ed25519 -out "$SIGNING_KEY"
PACKAGE_KEY=$(openssl pkey -in "$SIGNING_KEY" -pubout -outform DER | tail -c 32 | base64 -w0)
python3 -B devserver/toolpackage.py exe --binary "$BIN/demotool" --version "$INSTALLED_VERSION" \
    -o "$RUN_DIR/demotool-$INSTALLED_VERSION"
for package in "${PACKAGES[@]}"; do
    key=${package%%:*}
    version=${package#*:}
    python3 -B devserver/toolpackage.py zip --binary "$BIN/demotool" --version "$version" \
        --folder "$key" --exe "$key" -o "$RUN_DIR/files/$key-$version.zip" \
        --file "config.ini=[Demo]
Tool=$key
Package=$version
" --file "README.txt=$key $version: demo package of the stand-in server.
"
done
cp "$BIN/Tovarin" "$DEMO_DIR/Tovarin"
if [ -x "$BIN/Pellock" ]; then
    mkdir -p "$DEMO_DIR/Pellock"
    cp "$BIN/Pellock" "$DEMO_DIR/Pellock/Pellock"
fi

{
    printf '[MainConfig]\r\nbEmpWorkCheck=false\r\n\r\n'
    printf '[Tovarin]\r\nID=100\r\nExe=Tovarin\r\nPackageKeys=%s\r\n\r\n' "$PACKAGE_KEY"
    printf '[AbandonID]\r\n\r\n'
    id=101
    for key in "${TOOLS[@]}"; do
        printf '[%s]\r\nID=%s\r\nPath=./%s/\r\nExe=%s\r\n\r\n' "$key" "$id" "$key" "$key"
        printf '[%sUnupdate]\r\nfile1=config.ini\r\n\r\n' "$key"
        id=$((id + 1))
        [ "$key" = "$FIRST_INSTALL" ] && continue # installed by the launcher at the first check
        mkdir -p "$DEMO_DIR/$key"
        cp "$RUN_DIR/demotool-$INSTALLED_VERSION" "$DEMO_DIR/$key/$key"
        printf '[Demo]\r\nTool=%s\r\n' "$key" >"$DEMO_DIR/$key/config.ini"
    done
} >"$DEMO_DIR/CONFIGSET.ini"

# The station as configured on its setup page: station W01 and its tools.
{
    printf '[UserInfo]\r\nUserPosition=FT01\r\nUserLinePosition=L01\r\nUserWorkPosition=W01\r\nEmployeeNumber=E1001\r\n\r\n'
    printf '[SelectedTools]\r\n'
    i=1
    for id in "${SELECTED_IDS[@]}"; do
        printf 'tool%d=%s\r\n' "$i" "$id"
        i=$((i + 1))
    done
} >"$DEMO_DIR/MAINSET.ini"

# Local product configurations for the two product-test tools. Low-power configurations are
# entries without an extension (the launcher lists no others); the mains ones: a dealer of the
# demo account (locks the customer), one the account does not have (refused), and one that
# leaves the customer to the operator.
mkdir -p "$DEMO_DIR/IPCProductCheck/conf" "$DEMO_DIR/BPC/Configs"
printf '[PPCSet]\r\nCustomBrand=NORVEXA\r\nCustomIDFlag=OrlemBrand\r\n\r\n[IdBelongSet]\r\nDealerName=华东经销商\r\nDealerCode=1001\r\n' \
    >"$DEMO_DIR/IPCProductCheck/conf/DemoBulletCamera.ini"
printf '[PPCSet]\r\nCustomBrand=NORVEXA\r\nCustomIDFlag=Orlem\r\n\r\n[IdBelongSet]\r\nDealerName=外部经销商\r\nDealerCode=2999\r\n' \
    >"$DEMO_DIR/IPCProductCheck/conf/DemoDomeCamera.ini"
printf '[PPCSet]\r\nCustomBrand=NORVEXA\r\nCustomIDFlag=Single\r\n\r\n[IdBelongSet]\r\nDealerName=\r\nDealerCode=\r\n' \
    >"$DEMO_DIR/IPCProductCheck/conf/DemoTurretCamera.ini"
printf '[PPCSet]\r\nCustomBrand=NORVEXA\r\nCustomIDFlag=Orlem\r\n' >"$DEMO_DIR/BPC/Configs/DemoBatteryCamera"
printf '[PPCSet]\r\nCustomBrand=NORVEXA\r\n' >"$DEMO_DIR/BPC/Configs/DemoBatteryCamera.bak"

# The launcher's own upgrade, on request: a package of this build's launcher and updater laid
# out as published ("Tovarin/Tovarin", "Tovarin/Pellock/Pellock"), with a note that shows the
# new launcher's folder came from it. Offered once, so the restarted launcher is up to date.
DATA_FILE=devserver/demo-data.json
if [ "${DEMO_SELF_UPDATE:-0}" = 1 ]; then
    DATA_FILE="$RUN_DIR/demo-data.json"
    python3 -B - "$BIN" "$RUN_DIR/files/Tovarin-1.2.0.0.zip" devserver/demo-data.json "$DATA_FILE" <<'PY'
import json, os, sys, zipfile
binary, out, data_in, data_out = sys.argv[1:5]
def add(z, name, path=None, text=None, mode=0o644):
    info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
    info.external_attr = ((0o40755 if name.endswith("/") else 0o100000 | mode) << 16)
    info.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(info, open(path, "rb").read() if path else (text or "").encode("utf-8"))
with zipfile.ZipFile(out, "w") as z:
    add(z, "Tovarin/")
    add(z, "Tovarin/Tovarin", os.path.join(binary, "Tovarin"), mode=0o755)
    add(z, "Tovarin/UPGRADED.txt", text="Launcher 1.2.0.0, installed by Pellock.\n")
    add(z, "Tovarin/Pellock/")
    add(z, "Tovarin/Pellock/Pellock", os.path.join(binary, "Pellock"), mode=0o755)
data = json.load(open(data_in, encoding="utf-8"))
for tool in data["tools"]:
    if tool["proToolId"] == "100":
        tool["package"] = {"versionNo": "1.2.0.0", "versionUniqId": "V-100-1200", "forceUpgrade": 0,
                           "versionRemark": "演示: 主程序自升级\n安装后由Pellock重新启动",
                           "file": "Tovarin-1.2.0.0.zip", "offer": "always", "offerTimes": 1}
json.dump(data, open(data_out, "w", encoding="utf-8"), ensure_ascii=False, indent=1)
PY
fi

if [ "${DEMO_LAYOUT_ONLY:-0}" = 1 ]; then
    echo "Demo station laid out: $DEMO_DIR (packages: $RUN_DIR/files)"
    exit 0
fi

# --- the stand-in server -----------------------------------------------------------------
children=()
cleanup() {
    for pid in "${children[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ready="$RUN_DIR/server-ports.json"
python3 devserver/devserver.py --ready-file "$ready" --files "$RUN_DIR/files" --data "$DATA_FILE" \
    --signing-key "$SIGNING_KEY" >"$RUN_DIR/devserver.log" 2>&1 &
children+=($!)
for _ in $(seq 1 200); do
    [ -s "$ready" ] && break
    sleep 0.1
done
if [ ! -s "$ready" ]; then
    echo "The stand-in server did not start; see $RUN_DIR/devserver.log" >&2
    exit 1
fi
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$ready")
# The packages come over a slow line, so the tiles' progress can be watched (about 3 s each).
for package in "${PACKAGES[@]}"; do
    python3 - "$port" "files/${package%%:*}-${package#*:}.zip" <<'PY'
import json, sys, urllib.request
body = json.dumps({"path": sys.argv[2], "behaviour": {"trickle": {"chunkBytes": 32768, "intervalMs": 250}}})
urllib.request.urlopen(urllib.request.Request("http://127.0.0.1:%s/__control/behaviour" % sys.argv[1],
                                              data=body.encode(), method="POST"), timeout=5).read()
PY
done
base="http://127.0.0.1:$port/"
printf '[ServerDomainName]\r\nDomainName=%s\r\n\r\n[ServerManagerName]\r\nDomainName=%s\r\n\r\n[ServerPPCName]\r\nDomainName=%s\r\n' \
    "$base" "$base" "$base" >"$DEMO_DIR/serverConfig.ini"

echo "Demo station:      $DEMO_DIR"
echo "Stand-in server:   $base  (log: $RUN_DIR/devserver.log)"
echo "Demo account:      operator   password: 123456"

# --- the launcher --------------------------------------------------------------------------
export LANG=${LANG:-C.UTF-8}
cd "$DEMO_DIR"
STATION=$(pwd -P)
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    ./Tovarin
    exit $?
fi

# No display: a virtual one, with screenshots of it. The server picks a free display number
# itself; -noreset keeps it from refusing clients while it resets after the last one left
# (the launcher restarted by its updater would be turned away).
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 3>"$RUN_DIR/display" \
    >"$RUN_DIR/xvfb.log" 2>&1 &
children+=($!)
for _ in $(seq 1 100); do
    [ -s "$RUN_DIR/display" ] && break
    sleep 0.1
done
[ -s "$RUN_DIR/display" ] || { echo "The virtual display did not start; see $RUN_DIR/xvfb.log" >&2; exit 1; }
display=":$(head -n1 "$RUN_DIR/display")"
export DISPLAY=$display
export QT_QPA_PLATFORM=xcb

./Tovarin &
launcher=$!
children+=($launcher)
shots="$RUN_DIR/screenshots"
mkdir -p "$shots"
# The screenshot is taken once the login window is up (at most 20 s).
for _ in $(seq 1 100); do
    xdotool search --all --onlyvisible --pid "$launcher" --name NORVEXA >/dev/null 2>&1 && break
    sleep 0.2
done
sleep 0.3
"$BIN/grabscreen" "$shots/login.png" && echo "Screenshot of the login window: $shots/login.png"
cat <<MSG

The launcher runs on the virtual display $display (no display was found).
Take a screenshot at any time with:
    DISPLAY=$display $BIN/grabscreen /tmp/screen.png
Press Ctrl+C to stop the launcher and the stand-in server.
MSG
wait "$launcher" || true
# A launcher that handed over to its updater comes back as a new process: wait for that one too.
station_launcher_running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = "$STATION/Tovarin" ] && return 0
        [ "$(readlink "$exe" 2>/dev/null)" = "$STATION/Pellock/Pellock" ] && return 0
    done
    return 1
}
while station_launcher_running; do
    sleep 1
done
