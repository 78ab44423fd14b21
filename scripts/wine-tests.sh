#!/usr/bin/env bash
# Runs the Windows builds' tests, under Wine in a 64-bit prefix (TOLVARIN_WINEARCH=win32: a 32-bit
# one). Call it with the X display already set (with-display.sh): the prefix's wineserver and
# desktop are bound to the display they start on. The i686 programs' file checks and signing need
# no Wine and always run; the Wine runs use the build and the loader scripts/wine-env.sh names.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
tree=$TOLVARIN_WINE_TREE
if [ "$tree" = win64 ]; then
  echo "== this machine cannot run 32-bit code: the i686 programs are checked and signed here, and"
  echo "   the Wine tests run the same sources built for x86-64 in a 64-bit prefix"
  # Straight from here: ctest would run every Wine test exe of the tree to list its cases.
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
  exes=(build/win32/bin/tolvarin.exe build/win32/bin/tolvarin-sim.exe build/win32/bin/tolvarin-sim-tls.exe
        build/win32/bin/tolvarin-local.exe build/win32/bin/tolvarin-sim-signed.exe)
  /usr/bin/python3 tests/wine/check_image.py --version "$version" "${exes[@]}"
  tests/release/sign_test.sh scripts/sign.sh build/win32/signed "${exes[@]}"
fi
source scripts/wine-prefix.sh "build/$tree"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --preset "$tree" -j "$(nproc)"
