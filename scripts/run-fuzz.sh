#!/usr/bin/env bash
# Runs every fuzz target in the given build folder for a bounded time each.
set -euo pipefail
build=${1:?build folder}
seconds=${2:-30}
status=0
# A target whose source is here but whose program is not was left out of the build.
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  if [[ ! -x "$build/$name" ]]; then
    echo "== $name: not built"
    status=1
  fi
done
for target in "$build"/*_fuzz; do
  [[ -x "$target" ]] || continue
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/corpus/$name"
  echo "== $name (${seconds}s)"
  args=("$corpus")
  [[ -d "$seeds" ]] && args+=("$seeds")
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 -artifact_prefix="$build/$name-" "${args[@]}" 2>"$build/$name.log"; then
    tail -n 40 "$build/$name.log"
    status=1
  fi
done
exit $status
