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

# Each stage's wall time and CPU time (user+sys of the stage and what it waited for), printed as a
# table at the end, also when a stage fails.
timing=$(mktemp -d)
run_start=$(date +%s.%N)
trap 'print_times' EXIT
print_times() {
  local status=$?
  echo "== stage times (wall, and CPU: user+sys of the stage's processes)"
  awk -F'\t' '{ printf "%-34s %8.1f s %8.1f s\n", $1, $2, $3; w += $2; c += $3 }
    END { printf "%-34s %8s   %8.1f s\n", "(sum of the stages)", "", c }' "$timing/stages"
  awk -v s="$run_start" -v e="$(date +%s.%N)" 'BEGIN { printf "%-34s %8.1f s\n", "whole run (wall)", e - s }'
  rm -rf "$timing"
  exit "$status"
}
cpu_seconds() {  # the output of `times`: the shell's and its children's user and sys times
  tr ' ' '\n' | awk '{ split($0, p, /[ms]/); t += p[1] * 60 + p[2] } END { printf "%.1f", t }'
}
stage() {  # NAME COMMAND...: runs COMMAND in a child shell, recording its wall and CPU time
  local name=$1 status=0
  shift
  echo "== $name"
  (
    start=$(date +%s.%N)
    # `times` in this shell itself: in a pipe or $(...) it would speak for a new one.
    cpu=$timing/$BASHPID
    trap 'times >"$cpu"
      printf "%s\t%s\t%s\n" "$name" "$(awk -v s="$start" -v e="$(date +%s.%N)" "BEGIN { print e - s }")" \
        "$(cpu_seconds <"$cpu")" >>"$timing/stages"' EXIT
    "$@"
  ) &
  wait $! || status=$?
  return "$status"
}

stage setup scripts/install-deps.sh

format_and_layers() {
  local files
  files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests tools -name '*.cpp' -o -name '*.h')
  if ! clang-format --dry-run --Werror $files; then
    echo "formatting differs from .clang-format (run: clang-format -i \$(git ls-files '*.cpp' '*.h'))"
    exit 1
  fi
  echo "-- layers: no include points up a layer"
  python3 scripts/check_layers.py
}
stage "formatting and layers" format_and_layers

build() {  # PRESET
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}
stage "native build" build native
stage "win32 build" build win32
if [ "$(scripts/wine-tree.sh)" = win64 ]; then
  # The Wine tests' build where 32-bit code cannot run.
  stage "win64 build" build win64
fi
stage "native tests" ctest --preset native -j "$jobs"
stage "asan build" build asan
stage "asan tests" ctest --preset asan -j "$jobs"
stage "fuzz smoke" scripts/fuzz.sh smoke

wine_tests() {  # ARCH: the prefix's architecture
  # A wineserver left from an earlier run may be bound to another display; start afresh.
  WINEPREFIX="$root/build/$tree/wineprefix-$1" wineserver -k >/dev/null 2>&1 || true
  TOLVARIN_WINEARCH=$1 scripts/with-display.sh scripts/wine-tests.sh
}
tree=$(scripts/wine-tree.sh)
for arch in "${wine_arches[@]}"; do
  if [ "$tree" = win64 ] && [ "$arch" = win32 ]; then
    echo "== no 32-bit Wine prefix: this machine cannot run 32-bit code"
    continue
  fi
  stage "Wine tests ($tree build, $arch prefix)" wine_tests "$arch"
done

# Each demo must end with its closing box and leave its device updated: finishing commands and
# written sectors, as tolvarin-tool reads the state (the commands come only after a whole run).
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
demos() {
  run_demo build/demo.log build/demo/device.state '^-- closing box' env TOLVARIN_XVFB=1 scripts/demo.sh
  run_demo build/demo-term.log build/demo-term/device.state '^└' scripts/demo-term.sh --yes
}
stage "demos, headless" demos
stage "benchmarks, short run" scripts/bench.sh smoke
echo "== all tests passed"
