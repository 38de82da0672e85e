#!/usr/bin/env bash
# The whole compile to a library: `gsc -s` (parse, declare, check, generate code and write the
# .gsl file) on the generated GameScript program of gs_program.awk, 200,000 lines, beside
# `luac5.4 -o` writing the byte code of a Lua chunk of the same line count and shape, in one
# run. Prints both means, lines per second and their ratio; the target is a ratio within 1.5.
# Then the peak resident memory of each (the most of three runs, from /usr/bin/time), per line
# of source and as a ratio; the target is under 0.3 KB (KiB) a line for gsc.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
lines=${GS_COMPILE_LINES:-$(bench_size 200000 2000)}
if ! command -v hyperfine >/dev/null || ! command -v luac5.4 >/dev/null ||
  [[ ! -x /usr/bin/time ]]; then
  echo "gs_compile: hyperfine, luac5.4 or time is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/gsc" ]]; then
  echo "gs_compile: $build/gsc is missing; skipped"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}"/kestro-bench-gscompile.XXXXXX)
trap 'rm -rf "$work"' EXIT

awk -v lines="$lines" -v gs="$work/unit.gs" -v lua="$work/unit.lua" -f "$(dirname "$0")/gs_program.awk"
[[ $(wc -l <"$work/unit.gs") -eq $lines && $(wc -l <"$work/unit.lua") -eq $lines ]]

# Both must accept their input and write their output, or the timings mean nothing.
"$build/gsc" -s "$work/unit.gs"
[[ -s "$work/unit.gsl" ]]
luac5.4 -o "$work/unit.luac" "$work/unit.lua"

hyperfine --style basic $(bench_runs 3 20) -N --export-csv "$work/times.csv" \
  --command-name "gsc -s" "$build/gsc -s $work/unit.gs" \
  --command-name "luac5.4 -o" "luac5.4 -o $work/unit.luac $work/unit.lua" >/dev/null \
  2>"$work/hyperfine.log" || { cat "$work/hyperfine.log"; exit 1; }

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v lines="$lines" 'NR == 2 { gs = $2 } NR == 3 { lua = $2 }
  END {
    printf "== gs_compile (%d lines)\n", lines
    printf "gsc -s:     %8.2f ms  %12.0f lines/s\n", gs * 1000, lines / gs
    printf "luac5.4 -o: %8.2f ms  %12.0f lines/s\n", lua * 1000, lines / lua
    printf "ratio: %.2f (target within 1.5)\n", gs / lua
  }' "$work/times.csv"

# Peak resident set in KiB: the most of `runs` runs of the command.
peak_rss() {
  local most=0 rss
  for ((run = 0; run < $(bench_size 3 1); ++run)); do
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
    rss=$(tail -n 1 "$work/rss")
    ((rss > most)) && most=$rss
  done
  echo "$most"
}
gs_rss=$(peak_rss "$build/gsc" -s "$work/unit.gs")
lua_rss=$(peak_rss luac5.4 -o "$work/unit.luac" "$work/unit.lua")
awk -v lines="$lines" -v gs="$gs_rss" -v lua="$lua_rss" 'BEGIN {
  printf "peak memory, gsc -s:     %8d KB  %6.3f KB a line (target under 0.3)\n", gs, gs / lines
  printf "peak memory, luac5.4 -o: %8d KB  %6.3f KB a line\n", lua, lua / lines
  printf "memory ratio: %.2f\n", gs / lua
}'
