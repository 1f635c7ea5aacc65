#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, lays out a demo station folder,
# starts the stand-in factory server with the demo data and starts the launcher there.
# Without a display the launcher runs on a virtual one (Xvfb) and screenshots are saved.
#
#   DEMO_DIR     station folder (default: demo/station in the repository, git-ignored)
#   BUILD_DIR    build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=${DEMO_DIR:-$ROOT/demo/station}
RUN_DIR=$(dirname "$DEMO_DIR")/run

scripts/install-deps.sh
BUILD_DIR="$BUILD_DIR" scripts/build.sh
BIN="$ROOT/$BUILD_DIR/bin"
[ -d "$BIN" ] || BIN="$BUILD_DIR/bin"

# --- the station folder ------------------------------------------------------------------
# The tools of the launcher's table, in its order; ids as in devserver/demo-data.json.
TOOLS=(IPCProductCheck BPC IPCamSuite IPCTestMulti MACSetting WifiModuleTest XVRProductCheck
       PPCFocus PPCAirTight CompareLabel PrintSNLabel BoxWeightCheck PPCPackage WeightCheck
       WifiConnectTool JBM)

rm -rf "$DEMO_DIR" "$RUN_DIR"
mkdir -p "$DEMO_DIR" "$RUN_DIR"
cp "$BIN/Tovarin" "$DEMO_DIR/Tovarin"
if [ -x "$BIN/Pellock" ]; then
    mkdir -p "$DEMO_DIR/Pellock"
    cp "$BIN/Pellock" "$DEMO_DIR/Pellock/Pellock"
fi

{
    printf '[MainConfig]\r\nbEmpWorkCheck=false\r\n\r\n'
    printf '[Tovarin]\r\nID=100\r\nExe=Tovarin\r\n\r\n'
    printf '[AbandonID]\r\n\r\n'
    id=101
    for key in "${TOOLS[@]}"; do
        printf '[%s]\r\nID=%s\r\nPath=./%s/\r\nExe=%s\r\n\r\n' "$key" "$id" "$key" "$key"
        printf '[%sUnupdate]\r\nfile1=config.ini\r\n\r\n' "$key"
        mkdir -p "$DEMO_DIR/$key"
        cp "$BIN/demotool" "$DEMO_DIR/$key/$key"
        printf '[Demo]\r\nTool=%s\r\n' "$key" >"$DEMO_DIR/$key/config.ini"
        id=$((id + 1))
    done
} >"$DEMO_DIR/CONFIGSET.ini"

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
python3 devserver/devserver.py --ready-file "$ready" --files "$RUN_DIR/files" \
    >"$RUN_DIR/devserver.log" 2>&1 &
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
base="http://127.0.0.1:$port/"
printf '[ServerDomainName]\r\nDomainName=%s\r\n\r\n[ServerManagerName]\r\nDomainName=%s\r\n\r\n[ServerPPCName]\r\nDomainName=%s\r\n' \
    "$base" "$base" "$base" >"$DEMO_DIR/serverConfig.ini"

echo "Demo station:      $DEMO_DIR"
echo "Stand-in server:   $base  (log: $RUN_DIR/devserver.log)"
echo "Demo account:      operator   password: 123456"

# --- the launcher --------------------------------------------------------------------------
export LANG=${LANG:-C.UTF-8}
cd "$DEMO_DIR"
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
