#!/usr/bin/env bash
# Parsing plus the declaration pass: `gsparse -q -s` (parse, then declare every class, function,
# parameter, local and define) on a generated GameScript program of 200,000 lines, beside
# `luac5.4 -p` on a Lua chunk of the same line count and shape, with `gsparse -q` (the parse
# alone) in the same run. Prints the means, lines per second and the ratios; the target for the
# declaration pass is a ratio within 2.5.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
lines=${GS_DECLARE_LINES:-$(bench_size 200000 2000)}
if ! command -v hyperfine >/dev/null || ! command -v luac5.4 >/dev/null; then
  echo "gs_declare: hyperfine or luac5.4 is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/gsparse" ]]; then
  echo "gs_declare: $build/gsparse is missing; skipped"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}"/kestro-bench-gsdeclare.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The program of gs_program.awk.
awk -v lines="$lines" -v gs="$work/unit.gs" -v lua="$work/unit.lua" -f "$(dirname "$0")/gs_program.awk"
[[ $(wc -l <"$work/unit.gs") -eq $lines && $(wc -l <"$work/unit.lua") -eq $lines ]]

# All must accept their input, or the timings mean nothing.
"$build/gsparse" -q -s "$work/unit.gs"
luac5.4 -p "$work/unit.lua"

hyperfine --style basic $(bench_runs 3 20) -N --export-csv "$work/times.csv" \
  --command-name "gsparse -q -s" "$build/gsparse -q -s $work/unit.gs" \
  --command-name "gsparse -q" "$build/gsparse -q $work/unit.gs" \
  --command-name "luac5.4 -p" "luac5.4 -p $work/unit.lua" >/dev/null 2>"$work/hyperfine.log" ||
  { cat "$work/hyperfine.log"; exit 1; }

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v lines="$lines" 'NR == 2 { declare = $2 } NR == 3 { parse = $2 } NR == 4 { lua = $2 }
  END {
    printf "== gs_declare (%d lines)\n", lines
    printf "gsparse -q -s: %8.2f ms  %12.0f lines/s\n", declare * 1000, lines / declare
    printf "gsparse -q:    %8.2f ms  %12.0f lines/s\n", parse * 1000, lines / parse
    printf "luac5.4 -p:    %8.2f ms  %12.0f lines/s\n", lua * 1000, lines / lua
    printf "ratio (parse + declare): %.2f (target within 2.5)\n", declare / lua
    printf "ratio (parse alone):     %.2f\n", parse / lua
  }' "$work/times.csv"
