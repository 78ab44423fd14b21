#!/usr/bin/env bash
# Runs every test: installs what is missing, checks formatting, builds the native and Windows
# builds and runs their tests (the native suite under ASan/UBSan, the Windows one under Wine in
# Xvfb, the Linux program on a QEMU guest's kernel), gives the fuzz targets a short run, runs both
# demos headless and the benchmarks briefly. Prints each stage's wall and CPU time at the end.
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

# Stages that mostly wait run in background lanes, each in a process group of its own with its
# output in build/LANE.log; the run fails when a lane does, and a failure anywhere stops them all.
declare -A lanes=()
start_lane() {  # NAME FUNCTION
  echo "== in the background: $1 (output: build/$1.log)"
  set -m
  "$2" </dev/null >"build/$1.log" 2>&1 &
  lanes[$1]=$!
  set +m
}
join_lane() {  # NAME: waits for the lane, shows its output, fails the run if it failed
  local status=0
  wait "${lanes[$1]}" || status=$?
  unset "lanes[$1]"
  cat "build/$1.log"
  if [ "$status" -ne 0 ]; then
    echo "$1 failed (output above: build/$1.log)"
    exit 1
  fi
}
stop_lanes() {  # every process a lane started, the Wine tests' Xvfb and wineservers too
  local name
  for name in "${!lanes[@]}"; do
    kill -TERM -- "-${lanes[$name]}" 2>/dev/null || true
    wait "${lanes[$name]}" 2>/dev/null || true
    echo "(stopped: $name; its output so far: build/$name.log)"
  done
  if [ ${#lanes[@]} -gt 0 ]; then
    for arch in "${wine_arches[@]}"; do
      WINEPREFIX="$root/build/$tree/wineprefix-$arch" wineserver -k >/dev/null 2>&1 || true
    done
  fi
}

# Each stage's wall time and CPU time (user+sys of the stage and what it waited for), printed as a
# table at the end, also when a stage fails.
timing=$(mktemp -d)
run_start=$(date +%s.%N)
trap 'print_times' EXIT
print_times() {
  local status=$?
  stop_lanes
  times >"$timing/run"
  echo "== stage times: start (from the run's start), wall, and CPU (user+sys of its processes)"
  printf '%-44s %7s %8s %8s\n' stage start wall CPU
  sort -t$'\t' -k2 -n "$timing/stages" |
    awk -F'\t' '{ printf "%-44s %6.0fs %7.1fs %7.1fs\n", $1, $2, $3, $4 }'
  awk -v s="$run_start" -v e="$(date +%s.%N)" -v c="$(cpu_seconds <"$timing/run")" \
    'BEGIN { printf "%-44s %7s %7.1fs %7.1fs\n", "whole run", "", e - s, c }'
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
      printf "%s\t%s\t%s\t%s\n" "$name" "$(awk -v r="$run_start" -v s="$start" "BEGIN { print s - r }")" \
        "$(awk -v s="$start" -v e="$(date +%s.%N)" "BEGIN { print e - s }")" \
        "$(cpu_seconds <"$cpu")" >>"$timing/stages"' EXIT
    "$@"
  ) &
  wait $! || status=$?
  return "$status"
}

stage setup scripts/install-deps.sh
# After the set-up: whether 32-bit Wine could be installed is part of the answer.
tree=$(scripts/wine-tree.sh)

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

build() {  # PRESET [TARGET...]
  local preset=$1
  shift
  [ $# -gt 0 ] && set -- --target "$@"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "$@"
}
# The native suite runs in the sanitizer build; the plain one builds only what the stages run from
# it: the QEMU guest's program and disk, the tool that writes the Wine runs' servers and devices
# and the demos', the demos' and the benchmarks' programs.
stage "native build: programs, tool, benchmarks" build native tolvarin-programs tolvarin-tool \
  tolvarin-usb-gadget tolvarin-core-bench tolvarin-update-bench tolvarin-update-memory \
  tolvarin-bench-fixture
if [ "$tree" = win64 ]; then
  # This machine cannot run 32-bit code: the i686 programs are only checked and signed, and the
  # Wine tests run the same sources built for x86-64.
  stage "win32 build: the programs" build win32 tolvarin-programs
  stage "win64 build" build win64
else
  stage "win32 build" build win32
fi

# The Wine tests mostly wait on windows and timers: they run in a background lane beside the
# sanitizer build and tests, and after them in the same lane the QEMU guest, then what shares
# their prefix and port or sets the native tree up again (the demos, the benchmarks).
wine_tests() {
  for arch in "${wine_arches[@]}"; do
    if [ "$tree" = win64 ] && [ "$arch" = win32 ]; then
      echo "== no 32-bit Wine prefix: this machine cannot run 32-bit code"
      continue
    fi
    # A wineserver left from an earlier run may be bound to another display; start afresh.
    WINEPREFIX="$root/build/$tree/wineprefix-$arch" wineserver -k >/dev/null 2>&1 || true
    stage "Wine tests ($tree build, $arch prefix)" \
      env TOLVARIN_WINEARCH="$arch" scripts/with-display.sh scripts/wine-tests.sh
  done
}
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
wine_lane() {
  wine_tests
  # What the sanitizer build leaves out: the Linux program on a QEMU guest's kernel.
  stage "native tests: QEMU guest" ctest --preset native -L qemu
  stage "demos, headless" demos
  stage "benchmarks, short run" scripts/bench.sh smoke
}
fuzz_lane() {
  stage "fuzz smoke" scripts/fuzz.sh smoke
}
mkdir -p build
cmake --preset asan >/dev/null
start_lane wine wine_lane
# The Wine tests poll their windows and time their runs, as do the sanitizer tests: the build
# beside them leaves them the processor first.
stage "asan build" nice -n 10 cmake --build --preset asan -j "$jobs"
# The fuzz smoke keeps one core busy; the sanitizer tests mostly wait on servers, devices and
# timers, two cases per core at a time.
start_lane fuzz-smoke fuzz_lane
stage "asan tests" ctest --preset asan -j "$((jobs * 2))"
join_lane fuzz-smoke
join_lane wine
echo "== all tests passed"
