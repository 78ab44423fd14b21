#!/usr/bin/env bash
# Which Windows build runs under Wine on this machine, and with which loader: the Wine tests and
# the demo take both from here.
#   source scripts/wine-env.sh
# exports TOLVARIN_WINE_TREE, the build (scripts/wine-tree.sh decides): win32, the i686 programs
# users get, or win64, the same sources for x86-64 in a 64-bit prefix where this machine cannot
# run 32-bit code. For win64 it also puts first on PATH a `wine` that runs the 64-bit loader, so
# that every `wine` started from here on (wine-prefix.sh's, ctest's, the Python tests') is that
# one, and exports WINEARCH=win64.
TOLVARIN_WINE_TREE=$("$(dirname "${BASH_SOURCE[0]}")/wine-tree.sh")
export TOLVARIN_WINE_TREE
if [ "$TOLVARIN_WINE_TREE" = win64 ]; then
  tolvarin_wine_shim=$(realpath -m "$(dirname "${BASH_SOURCE[0]}")/../build/win64/wine-shim")
  mkdir -p "$tolvarin_wine_shim"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$tolvarin_wine_shim/wine"
  chmod +x "$tolvarin_wine_shim/wine"
  case ":$PATH:" in
    *":$tolvarin_wine_shim:"*) ;;
    *) export PATH="$tolvarin_wine_shim:$PATH" ;;
  esac
  export WINEARCH=win64
fi
