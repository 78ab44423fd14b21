#!/usr/bin/env bash
# Prints which Windows build the Wine tests run here: win32 (the i686 programs users get) where
# this machine can run 32-bit code, win64 (the same sources for x86-64, in a 64-bit prefix) where
# it cannot (some kernels refuse i386 programs; Wine's 32-bit loader is one).
# TOLVARIN_WINE_TREE=win32|win64 makes the choice instead (to try the x86-64 path on a machine
# that runs 32-bit code).
set -euo pipefail
case "${TOLVARIN_WINE_TREE:-}" in
  win32 | win64) echo "$TOLVARIN_WINE_TREE"; exit 0 ;;
  "") ;;
  *) echo "TOLVARIN_WINE_TREE is win32 or win64, not $TOLVARIN_WINE_TREE" >&2; exit 2 ;;
esac
# 32-bit Wine's CNG verifies signatures through the i386 GnuTLS: without it, the x86-64 path too
# (scripts/install-deps.sh installs both when the package mirror has them).
if [ -x /usr/lib/wine/wine ] && [ -e /usr/lib/i386-linux-gnu/libgnutls.so.30 ] &&
  /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo win32
else
  echo win64
fi
