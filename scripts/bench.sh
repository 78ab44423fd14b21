#!/usr/bin/env bash
# Runs every benchmark side by side and prints each figure beside its yardstick, as a ratio.
# Usage: scripts/bench.sh [smoke]
#   (none)  optimised build (preset bench): core path, whole updates of 1 MiB and 4 MiB with a
#           0.5 ms device delay (also through the Linux program, tolvarin-sim), 16 MiB download
#           against curl, peak memory of a 4 MiB update, and
#           the simulated Windows build's 1 MiB update under Wine against the native one (the
#           i686 build, or the x86-64 one where 32-bit code cannot run: the report names it), and
#           the sample release served at about 5 Mbit/s, Start pressed after the prefetch and at
#           once, against the same run on plain loopback
#   smoke   the same, short and on the native build, so that the benchmarks keep working
#           (scripts/test.sh runs it); its figures mean nothing
# Wall-clock figures depend on what else the machine runs; instruction counts (callgrind) do not.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
jobs=$(nproc)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

case "$mode" in
  full)
    preset=bench
    core_args=(--benchmark_repetitions=5 --benchmark_min_time=0.2)
    update_args=()
    memory_kib=4096
    wine_args=(--kib 1024 --reps 3)
    term_args=(--kib 1024 --reps 3)
    profile_sectors=256
    prefetch_args=(--reps 3)
    ;;
  smoke)
    preset=native
    core_args=(--benchmark_min_time=0.01)
    update_args=(--smoke)
    memory_kib=256
    wine_args=(--kib 64 --reps 1)
    term_args=(--kib 64 --reps 1)
    profile_sectors=16
    prefetch_args=(--smoke)
    ;;
  *)
    echo "usage: scripts/bench.sh [smoke]" >&2
    exit 2
    ;;
esac

echo "== building (preset $preset)"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs" --target tolvarin-core-bench tolvarin-update-bench \
  tolvarin-update-memory tolvarin-bench-fixture tolvarin-prefetch-bench tolvarin-sim >/dev/null
bin=build/$preset/bin

# Runs a step with its output kept aside; shows it when the step fails.
quiet() {
  if ! "$@" >"$out/step.log" 2>&1; then
    cat "$out/step.log" >&2
    echo "failed: $*" >&2
    exit 1
  fi
}

echo "== core path"
quiet "$bin/tolvarin-core-bench" "${core_args[@]}" --benchmark_out="$out/core.json" \
  --benchmark_out_format=json
echo "== whole updates and download"
quiet "$bin/tolvarin-update-bench" "${update_args[@]}" --benchmark_out="$out/update.json" \
  --benchmark_out_format=json
echo "== peak memory"
"$bin/tolvarin-update-memory" "$memory_kib" >"$out/memory.txt"

echo "== the sample release over a slow link"
"$bin/tolvarin-prefetch-bench" "${prefetch_args[@]}" >"$out/prefetch.txt"

echo "== the Linux program, on a terminal and piped"
quiet python3 scripts/bench_term.py --bin "$bin" --work "$out/term" \
  --server tests/server/update_server.py "${term_args[@]}" --out "$out/term.json"

echo "== instruction counts (callgrind)"
# Runs one profile under callgrind, counting only what the toggles name.
profile() {
  local name=$1
  shift
  if ! valgrind --tool=callgrind --callgrind-out-file="$out/cg.$name" "$@" >/dev/null \
    2>"$out/cg.$name.log"; then
    cat "$out/cg.$name.log" >&2
    exit 1
  fi
}
if command -v valgrind >/dev/null; then
  echo "$profile_sectors" >"$out/profile_sectors"
  profile core --toggle-collect='ProgramAndVerify*' "$bin/tolvarin-core-bench" profile \
    "$profile_sectors"
  profile floor --toggle-collect='*FloorPages*' "$bin/tolvarin-core-bench" profile-floor \
    "$profile_sectors"
  profile update --toggle-collect='IdentifyDevice*' --toggle-collect='RunUpdate*' \
    "$bin/tolvarin-update-memory" profile $((profile_sectors * 4))
fi

echo "== under Wine"
# A full run has its own Windows tree, update server port and Wine prefix: the tests may be using
# theirs at the same time, and a prefix serves one display at a time. The build is the one the
# Wine tests run here (scripts/wine-env.sh): the i686 program users get where this machine runs
# 32-bit code, else the same sources for x86-64 in a 64-bit prefix.
if command -v wine >/dev/null && command -v i686-w64-mingw32-g++ >/dev/null; then
  # The build and the loader, as for the Wine tests.
  source scripts/wine-env.sh
  tree=$TOLVARIN_WINE_TREE
  echo "$tree" >"$out/wine.build"
  if [ "$mode" = smoke ]; then
    # Only that it works: the tests' tree and prefix, which nothing else uses in that run.
    wine_build=build/$tree
  else
    wine_build=build/$tree-bench
    cmake --preset "$tree-bench" >/dev/null
  fi
  cmake --build "$wine_build" -j "$jobs" --target tolvarin-sim tolvarin-driver >/dev/null
  wine_port=$(sed -n 's/^TOLVARIN_SIM_PORT:STRING=//p' "$wine_build/CMakeCache.txt")
  # The prefix's wineserver and desktop start inside the display they are to use, and end with it.
  if ! scripts/with-display.sh bash -c 'source scripts/wine-prefix.sh "$0" || exit 1
      set +e
      python3 scripts/bench_wine.py --bin "$0/bin" "$@"
      status=$?
      wineserver -k >/dev/null 2>&1
      exit $status' "$wine_build" --port "$wine_port" \
    --native-bin "$bin" --work "$out/wine" --server tests/server/update_server.py \
    "${wine_args[@]}" --out "$out/wine.json" 2>"$out/wine.log"; then
    cat "$out/wine.log" >&2
    echo "the Wine run failed" >"$out/wine.status"
  fi
else
  echo "no Wine or no MinGW-w64 on this machine" >"$out/wine.status"
fi

python3 scripts/bench_report.py "$out" "$mode"
