#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each for the given seconds (default 60).
# A longer run: scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/bootstrap.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in fuzz_v80_receive fuzz_v80_transmit; do
  mkdir -p "fuzz-corpus/$target"
  echo "== $target for ${seconds}s"
  log="build/fuzz/$target.log"
  rc=0
  "build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 "fuzz-corpus/$target" >"$log" 2>&1 || rc=$?
  grep -E '^(stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|invariant)' "$log" || true
  if [ "$rc" -ne 0 ]; then tail -40 "$log"; exit "$rc"; fi
done
