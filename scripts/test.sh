#!/usr/bin/env bash
# Runs every test: installs what is missing, checks formatting, builds the native and win32
# builds and runs their tests (the native ones also under ASan/UBSan, the win32 ones under Wine
# in Xvfb), gives the fuzz targets a short run and runs both demos headless.
# The Wine tests run in a 64-bit prefix; with --wine32 (or TOLVARIN_WINE32=1) again in a 32-bit one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
wine_arches=(win64)
[ -n "${TOLVARIN_WINE32:-}" ] && wine_arches+=(win32)
for arg in "$@"; do
  case "$arg" in
    --wine32) [ "${wine_arches[*]}" = win64 ] && wine_arches+=(win32) ;;
    *) echo "usage: scripts/test.sh [--wine32]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

echo "== formatting"
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests tools -name '*.cpp' -o -name '*.h')
if ! clang-format --dry-run --Werror $files; then
  echo "formatting differs from .clang-format (run: clang-format -i \$(git ls-files '*.cpp' '*.h'))"
  exit 1
fi

echo "== layers: no include points up a layer"
python3 scripts/check_layers.py

echo "== native build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

echo "== win32 build"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
if [ "$(scripts/wine-tree.sh)" = win64 ]; then
  echo "== win64 build (the Wine tests' build where 32-bit code cannot run)"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j "$jobs"
fi

echo "== native tests"
ctest --preset native -j "$jobs"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

echo "== fuzz targets: corpora replayed, then a short run each"
scripts/fuzz.sh smoke

tree=$(scripts/wine-tree.sh)
for arch in "${wine_arches[@]}"; do
  if [ "$tree" = win64 ] && [ "$arch" = win32 ]; then
    echo "== no 32-bit Wine prefix: this machine cannot run 32-bit code"
    continue
  fi
  echo "== Windows builds' tests under Wine ($tree build, $arch prefix)"
  # A wineserver left from an earlier run may be bound to another display; start afresh.
  WINEPREFIX="$root/build/$tree/wineprefix-$arch" wineserver -k >/dev/null 2>&1 || true
  TOLVARIN_WINEARCH=$arch scripts/with-display.sh scripts/wine-tests.sh
done
echo "== the README's first commands: both demos, headless (about 40 s)"
# Each must end with its closing box and leave its device updated: finishing commands and written
# sectors, as tolvarin-tool reads the state (the commands come only after a whole run).
demo_updated() {
  build/native/bin/tolvarin-tool sim show --state "$1" --json |
    python3 -c 'import json, sys; d = json.load(sys.stdin); sys.exit(not (d["commands"] and d["sectors"]))'
}
run_demo() {  # LOG STATE PATTERN COMMAND...: the log must hold PATTERN, the device be updated
  local log=$1 state=$2 pattern=$3
  shift 3
  if ! "$@" </dev/null >"$log" 2>&1 || ! grep -q "$pattern" "$log" || ! demo_updated "$state"; then
    tail -40 "$log"
    echo "$* did not end with its closing box and the device updated (whole log: $log)"
    exit 1
  fi
  echo "$*: closing box, device updated"
}
run_demo build/demo.log build/demo/device.state '^-- closing box' env TOLVARIN_XVFB=1 scripts/demo.sh
run_demo build/demo-term.log build/demo-term/device.state '^└' scripts/demo-term.sh --yes
echo "== benchmarks, short run"
scripts/bench.sh smoke
echo "== all tests passed"
