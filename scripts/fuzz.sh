#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs them on their committed corpora.
#   smoke  each target for a few seconds after replaying its whole corpus (part of scripts/test.sh)
#   long   each target for 10 million executions; prints executions, exec/s and findings
#   seeds  rewrites the generated seed files of tests/fuzz/corpus with the publisher's builders
# Inputs found during a run go to build/fuzz/work, never into the committed corpus; findings go to
# build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
# FUZZ_TARGETS="a b" runs only those (e.g. to split a long run over two shells).
read -r -a targets <<<"${FUZZ_TARGETS:-fuzz_update_file fuzz_catalogue fuzz_identity fuzz_format fuzz_sim_request}"
case "$mode" in
  smoke | long | seeds) ;;
  *)
    echo "usage: $0 [smoke|long|seeds]" >&2
    exit 2
    ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
bin=build/fuzz/bin
corpus=tests/fuzz/corpus
findings=build/fuzz/findings
mkdir -p "$findings"

if [ "$mode" = seeds ]; then
  "$bin/fuzz_make_seeds" "$corpus"
  echo "seed corpora written under $corpus"
  exit 0
fi

# Index files run past 2048 bytes and images carry page data: allow inputs of up to 8 KiB.
common=(-max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# The simulated device's state files are written per execution: keep them in memory when we can.
[ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

failed=0
summary=()
for target in "${targets[@]}"; do
  if [ "$mode" = smoke ]; then
    work=$(mktemp -d)
    limit=(-max_total_time="${FUZZ_SMOKE_SECONDS:-8}")
  else
    work=build/fuzz/work/$target
    mkdir -p "$work"
    limit=(-runs="${FUZZ_LONG_RUNS:-10000000}")
  fi
  log=build/fuzz/$target.$mode.log
  before=$(find "$findings" -name "$target-*" | wc -l)
  start=$(date +%s)
  status=0
  nice -n 10 "$bin/$target" "${common[@]}" "${limit[@]}" -artifact_prefix="$findings/$target-" \
    "$work" "$corpus/$target" >"$log" 2>&1 || status=$?
  seconds=$(($(date +%s) - start))
  [ "$mode" = smoke ] && rm -rf "$work"
  found=$(($(find "$findings" -name "$target-*" | wc -l) - before))
  [ "$status" -ne 0 ] && [ "$found" -eq 0 ] && found=1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  line=$(printf '%-18s %10s runs  %7s exec/s  %5ss  findings %s' "$target" "${runs:-?}" \
    "${rate:-?}" "$seconds" "$found")
  echo "$line"
  summary+=("$line")
  if [ "$status" -ne 0 ]; then
    failed=1
    grep -E "ERROR|SUMMARY|invariant broken|Test unit written" "$log" | head -5 || true
    echo "(full output: $log)"
  fi
done

echo "== fuzz $mode summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
