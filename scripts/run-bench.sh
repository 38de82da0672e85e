#!/usr/bin/env bash
# Runs every benchmark program in the given build folder, then every benchmark script under
# bench/. With --small (what `make bench-ci` runs), each runs once on a small input
# (KESTRO_BENCH_SMALL=1, see bench/bench_support.h and scripts/bench-size.sh), and one that exits
# with an error or reports an error for any of its benchmarks fails the run, naming it.
set -euo pipefail
small=false
if [[ "${1:-}" == --small ]]; then
  small=true
  shift
fi
build=${1:?build folder}
repo=$(cd "$(dirname "$0")/.." && pwd)

# Every benchmark works under a temporary folder of this run's own, removed at the end with what
# the benchmarks leave there: their scratch folders, and the discovery files that each
# installation's daemon and tool make in the runtime folder under TMPDIR.
# The benchmark commands are shell words joined into strings (hyperfine's), so the folder's path
# may hold no blank or other character a shell reads apart: such a TMPDIR gives way to /tmp.
parent=${TMPDIR:-/tmp}
if [[ "$parent" =~ [^A-Za-z0-9/._+-] ]]; then
  echo "run-bench: TMPDIR '$parent' holds characters the benchmark commands cannot carry; using /tmp"
  parent=/tmp
fi
work=$(mktemp -d "$parent"/kestro-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR="$work/tmp"

if ! $small; then
  for b in "$build"/*_bench; do
    [[ -x "$b" ]] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
  done
  for script in "$repo"/bench/*.sh; do bash "$script" "$build"; done
  exit 0
fi

export KESTRO_BENCH_SMALL=1
failed=()
for b in "$build"/*_bench; do
  [[ -x "$b" ]] || continue
  name=$(basename "$b")
  echo "== $name"
  # One iteration each: the smallest minimum time still runs every benchmark once.
  if ! "$b" --benchmark_min_time=0 --benchmark_out="$work/$name.json" \
      --benchmark_out_format=json >"$work/$name.log" 2>&1; then
    cat "$work/$name.log"
    failed+=("$name (exit status)")
  elif grep -q '"error_occurred": true' "$work/$name.json"; then
    cat "$work/$name.log"
    failed+=("$name (a benchmark reported an error)")
  fi
done
for script in "$repo"/bench/*.sh; do
  name=$(basename "$script")
  echo "== $name"
  if ! bash "$script" "$build" >"$work/$name.log" 2>&1; then
    cat "$work/$name.log"
    failed+=("$name")
  fi
done
if ((${#failed[@]})); then
  printf 'run-bench: failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "run-bench: every benchmark ran"
