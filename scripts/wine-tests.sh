#!/usr/bin/env bash
# Runs the win32 build's tests under Wine, in a 64-bit prefix (TOLVARIN_WINEARCH=win32: a 32-bit
# one). Call it with the X display already set (with-display.sh): the prefix's wineserver and
# desktop are bound to the display they start on.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-prefix.sh build/win32
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --preset win32 -j "$(nproc)"
