#!/usr/bin/env bash
# Runs every benchmark program in the given build folder.
set -euo pipefail
build=${1:?build folder}
for b in "$build"/*_bench; do
  [[ -x "$b" ]] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
