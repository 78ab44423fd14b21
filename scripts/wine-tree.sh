#!/usr/bin/env bash
# Prints which Windows build the Wine tests run here: win32 (the i686 programs users get) where
# this machine can run 32-bit code, win64 (the same sources for x86-64, in a 64-bit prefix) where
# it cannot (some kernels refuse i386 programs; Wine's 32-bit loader is one).
set -euo pipefail
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo win32
else
  echo win64
fi
