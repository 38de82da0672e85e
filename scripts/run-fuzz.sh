#!/usr/bin/env bash
# Runs every fuzz target in the given build folder for a bounded time each, as many at once as
# there are cores (FUZZ_JOBS), each target's output in its own log, printed when it fails.
set -euo pipefail
build=${1:?build folder}
seconds=${2:-30}
jobs=${FUZZ_JOBS:-$(nproc)}
status=0
# A target whose source is here but whose program is not was left out of the build.
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  if [[ ! -x "$build/$name" ]]; then
    echo "== $name: not built"
    status=1
  fi
done
run_target() {
  local target=$1 name corpus seeds args
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/corpus/$name"
  args=("$corpus")
  [[ -d "$seeds" ]] && args+=("$seeds")
  if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="$build/$name-" "${args[@]}" 2>"$build/$name.log"; then
    echo "== $name (${seconds}s): ok"
  else
    echo "== $name (${seconds}s): FAILED"
    tail -n 40 "$build/$name.log"
    return 1
  fi
}
running=0
for target in "$build"/*_fuzz; do
  [[ -x "$target" ]] || continue
  if ((running >= jobs)); then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
