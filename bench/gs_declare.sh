#!/usr/bin/env bash
# Parsing plus the declaration pass: `gsparse -q -s` (parse, then declare every class, function,
# parameter, local and define) on a generated GameScript program of 200,000 lines, beside
# `luac5.4 -p` on a Lua chunk of the same line count and shape, with `gsparse -q` (the parse
# alone) in the same run. Prints the means, lines per second and the ratios; the target for the
# declaration pass is a ratio within 2.5.
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
lines=${GS_DECLARE_LINES:-200000}
if ! command -v hyperfine >/dev/null || ! command -v luac5.4 >/dev/null; then
  echo "gs_declare: hyperfine or luac5.4 is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/gsparse" ]]; then
  echo "gs_declare: $build/gsparse is missing; skipped"
  exit 0
fi

work=$(mktemp -d /tmp/kestro-bench-gsdeclare.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Blocks of 20 lines: a class (in chains of four) with fields, a define, a prototype and its
# definition holding locals in nested blocks, and two overloads. A short last block is filled
# with comment lines.
awk -v lines="$lines" -v gs="$work/unit.gs" -v lua="$work/unit.lua" 'BEGIN {
  for (n = 0; n + 20 <= lines; n += 20) {
    c = n / 20
    if (c % 4 == 0) {
      printf "class C%d {\n", c > gs
      printf "C%d = {}\n", c > lua
    } else {
      printf "class C%d isclass C%d {\n", c, c - 1 > gs
      printf "C%d = setmetatable({}, {__index = C%d})\n", c, c - 1 > lua
    }
    printf "  int count, total;\n  define int K%d = %d * 2 + 1;\n  string name;\n  float ratio;\n", c, c > gs
    printf "  public int Step(int a, float b);\n  public int Step(int a, float b) {\n" > gs
    printf "    int i = a * 2 + 1;\n    float f = b * 0.5;\n    string s = \"text\";\n" > gs
    printf "    while (i > 0) {\n      int j = i - 1;\n" > gs
    printf "      if (j > 3) { int k = j; count = count + k; }\n      i = i - 1;\n    }\n" > gs
    printf "    return count;\n  }\n  void Reset(int n) { int m = n; total = m; }\n" > gs
    printf "  void Reset(float n) { float m = n; }\n};\n" > gs

    printf "C%d.count = 0\nC%d.total = 0\nC%d.K = %d * 2 + 1\nC%d.name = \"\"\n", c, c, c, c, c > lua
    printf "-- Step(a, b)\nfunction C%d.Step(a, b)\n", c > lua
    printf "  local i = a * 2 + 1\n  local f = b * 0.5\n  local s = \"text\"\n" > lua
    printf "  while i > 0 do\n    local j = i - 1\n" > lua
    printf "    if j > 3 then local k = j; C%d.count = C%d.count + k end\n", c, c > lua
    printf "    i = i - 1\n  end\n  return C%d.count\nend\n", c > lua
    printf "function C%d.ResetI(n) local m = n; C%d.total = m end\n", c, c > lua
    printf "function C%d.ResetF(n) local m = n end\n-- end of C%d\n", c, c > lua
  }
  for (; n < lines; ++n) {
    print "// filler" > gs
    print "-- filler" > lua
  }
}'
[[ $(wc -l <"$work/unit.gs") -eq $lines && $(wc -l <"$work/unit.lua") -eq $lines ]]

# All must accept their input, or the timings mean nothing.
"$build/gsparse" -q -s "$work/unit.gs"
luac5.4 -p "$work/unit.lua"

hyperfine --style basic --warmup 3 --runs 20 -N --export-csv "$work/times.csv" \
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
