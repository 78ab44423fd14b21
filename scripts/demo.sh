#!/usr/bin/env bash
# Demo: the Windows program (simulated build with the build's test key, under Wine) updates a
# simulated device from a local update server holding the sample manifest, signed with that key.
#
#   scripts/demo.sh            with DISPLAY set: the window opens on your display; you drive it
#   TOLVARIN_XVFB=1 scripts/demo.sh, or no DISPLAY: runs in Xvfb, driven through the update by
#                              tolvarin-driver, with screenshots in build/demo/screenshots, then
#                              opens the window once more at 192 DPI (200 %) for one more
#
# Builds what is missing, publishes samples/manifest.json into build/demo/server, serves it on
# 127.0.0.1 at the simulated build's update port (the build setting TOLVARIN_SIM_PORT, 18047 by
# default), creates a device at version 5120 in build/demo/device.state (the file existing = the
# device plugged in; deleting it = unplugging) and starts tolvarin-sim-signed.exe (tolvarin-sim.exe
# with the test key of build/<tree>/test-key compiled in) in its own Wine prefix,
# build/demo/wineprefix-win64. The build and the Wine loader are the ones the Wine tests use here
# (scripts/wine-env.sh): the i686 program, or its x86-64 build where 32-bit code cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=$root/build/demo
tool=$root/build/native/bin/tolvarin-tool
# Before the build is chosen: whether 32-bit Wine could be installed decides it.
case "${1:-}" in --drive | --drive-192) ;; *) scripts/install-deps.sh ;; esac
source scripts/wine-env.sh
tree=$TOLVARIN_WINE_TREE
bin=$root/build/$tree/bin
# The screen and Wine desktop of the 200 % screenshot: the window's 800 x 900 client area fits.
DPI_DESKTOP=1600x1200

if [ "${1:-}" != "--drive" ] && [ "${1:-}" != "--drive-192" ]; then
  echo "== building what is missing (the $tree build)"
  cmake --preset native >/dev/null
  cmake --build --preset native -j "$(nproc)" --target tolvarin-tool >/dev/null
  cmake --preset "$tree" >/dev/null
  cmake --build --preset "$tree" -j "$(nproc)" --target tolvarin-sim-signed tolvarin-driver >/dev/null
  port=$(sed -n 's/^TOLVARIN_SIM_PORT:[A-Z]*=//p' "build/$tree/CMakeCache.txt")

  echo "== server tree and device"
  rm -rf "$demo/server" "$demo/device.state" "$demo/device-192.state" "$demo/screenshots"
  mkdir -p "$demo/screenshots"
  # Signed with the key the program was built with: it refuses any file the record does not hold.
  key=$root/build/$tree/test-key/private.pem
  "$tool" publish samples/manifest.json --out "$demo/server" --key "$key"
  echo "signed with $key; the program verifies with its public half"
  "$tool" sim create --model-id 4D9C --version 5120 --state "$demo/device.state"
  # A device that takes 0.4 ms a request, so that the progress can be watched (about 4 s).
  "$tool" sim fault --state "$demo/device.state" --delay-us 400 >/dev/null

  server_pid=""
  own_prefix=""
  cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    # Only the demo prefix's wineserver, never one of the caller's.
    [ -n "$own_prefix" ] && wineserver -k >/dev/null 2>&1 || true
  }
  trap cleanup EXIT
  coproc SERVER { exec python3 tests/server/update_server.py --root "$demo/server" --port "$port"; }
  server_pid=$SERVER_PID
  read -r -t 10 ready <&"${SERVER[0]}" || true
  if [ "${ready:-}" != "READY $port" ]; then
    echo "the update server did not start on port $port (is it in use?)"
    exit 1
  fi
  echo "update server: http://127.0.0.1:$port/ serving $demo/server"

  if [ -n "${DISPLAY:-}" ] && [ -z "${TOLVARIN_XVFB:-}" ]; then
    # A prefix of its own (made once, ~15 s): the demo's desktop and wineserver are its own.
    source scripts/wine-prefix.sh "$demo"
    own_prefix=1
    echo "== tolvarin-sim-signed.exe on your display ($DISPLAY)"
    echo "   pick a version, press 開 始 更 新; when asked to unplug, close the box or run:"
    echo "   rm $demo/device.state"
    status=0
    (cd "$demo" && TOLVARIN_SIM_STATE="Z:${demo//\//\\}\\device.state" \
      wine "$bin/tolvarin-sim-signed.exe") || status=$?
    echo "== tolvarin-sim-signed.exe ended with exit status $status"
    if [ -f "$demo/device.state" ]; then "$tool" sim show --state "$demo/device.state"; fi
    exit "$status"
  fi
  status=0
  TOLVARIN_XVFB=1 scripts/with-display.sh "$0" --drive || status=$?
  [ "$status" -eq 0 ] || exit "$status"
  # The same window at 200 %, on a screen large enough to hold it.
  TOLVARIN_XVFB=1 TOLVARIN_XVFB_SCREEN=$DPI_DESKTOP scripts/with-display.sh "$0" --drive-192
  exit $?
fi

# --drive: inside Xvfb, a person's steps through the driver, with screenshots. The prefix is set up
# here, so that its desktop opens on this display.
source scripts/wine-prefix.sh "$demo"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
driver() { wine "$bin/tolvarin-driver.exe" "$@"; }
shot() {
  import -window root "$demo/screenshots/$1.png"
  echo "   screenshot $demo/screenshots/$1.png"
}

if [ "$1" = "--drive-192" ]; then
  # The display at 200 % (192 DPI) and a desktop as large as this screen, for this run only.
  echo "== tolvarin-sim-signed.exe at 192 DPI, with another device at version 5120"
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$DPI_DESKTOP" /f >/dev/null 2>&1
  restore() {
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1 || true
  }
  trap restore EXIT
  # Wine closes a desktop about a second after its last program; the next opens at the new size.
  sleep 2.5
  # Its own state file: the updated device of the run above stays as it is.
  "$tool" sim create --model-id 4D9C --version 5120 --state "$demo/device-192.state" >/dev/null
  cd "$demo"
  TOLVARIN_SIM_STATE="Z:${demo//\//\\}\\device-192.state" wine "$bin/tolvarin-sim-signed.exe" &
  program=$!
  driver wait-window 10000
  driver wait-enabled 112 1 30000 || true
  driver geometry | python3 -c '
import json, sys
g = json.load(sys.stdin)
print("   %d DPI: client %dx%d; Start at %s" % (
    g["dpi"], g["client"][0], g["client"][1], g["controls"][5]["rect"]))
'
  shot 4-offer-192dpi
  driver click 113
  wait "$program" || true
  exit 0
fi
show() {  # the window's texts as a person reads them
  driver state | python3 -c '
import json, sys
s = json.load(sys.stdin)
c = s["controls"]
print("   title        :", s["title"])
print("   your version :", c["116"]["text"])
print("   latest       :", c["117"]["text"])
print("   versions     :", " | ".join(s["lines"]) or "-", "(selected %d)" % s["selection"])
print("   Start        : %s (%s)" % (c["112"]["text"], "enabled" if c["112"]["enabled"] else "disabled"))
for d in s["dialogs"]:
    print("   box          : [%s] %s" % (d["caption"], d["text"].replace("\n", " / ")))
'
}
started=$(date +%s.%N)
elapsed() { python3 -c "import time; print('%.1f s' % (time.time() - $started))"; }

echo "== tolvarin-sim-signed.exe in Xvfb, driven through the signed update"
cd "$demo"
TOLVARIN_SIM_STATE="Z:${demo//\//\\}\\device.state" wine "$bin/tolvarin-sim-signed.exe" &
program=$!
driver wait-window 10000
echo "-- window open ($(elapsed))"
if ! driver wait-enabled 112 1 30000; then
  echo "-- Start never became enabled:"; show; shot 1-no-offer; kill "$program"; exit 1
fi
echo "-- device identified, update offered ($(elapsed))"
show
shot 1-offer
driver select 0
driver click 112
echo "-- picked line 0, pressed Start"
# Start's caption shows the programming progress ("C -   123 -", "Verify C -   123 -").
driver wait-text 112 202d20 30000 || true
sleep 0.5
show
shot 2-progress
if ! driver wait-box 300000 >/dev/null; then
  echo "-- no closing box"; show; shot 3-timeout; kill "$program"; exit 1
fi
echo "-- closing box ($(elapsed))"
show
shot 3-closing-box
driver close-box
status=0
wait "$program" || status=$?
echo "== tolvarin-sim-signed.exe ended with exit status $status ($(elapsed)); the device now holds:"
"$tool" sim show --state "$demo/device.state" | grep -E '^(commands|sectors|modelId)' || true
echo "screenshots: $demo/screenshots/"
exit "$status"
