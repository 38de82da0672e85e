#!/usr/bin/env bash
# Scanning and parsing speed: `gsparse -q` on a generated GameScript unit of 200,000 lines beside
# `luac5.4 -p` on a Lua chunk of the same line count and shape (classes or tables with a field,
# a comment and one method of locals, a loop, a branch, a call and a return). Prints both
# means, lines per second and their ratio; the target is a ratio within 2.
# Then, in one run, an ordinary source of about 8 MB beside units of the same size that are one
# long token each (blanks, a block comment, a string, a name); the target for each is within 2
# of the ordinary source.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
lines=${GS_PARSE_LINES:-$(bench_size 200000 2000)}
token_bytes=${GS_PARSE_TOKEN_BYTES:-$(bench_size 8388608 65536)}
if ! command -v hyperfine >/dev/null || ! command -v luac5.4 >/dev/null; then
  echo "gs_parse: hyperfine or luac5.4 is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/gsparse" ]]; then
  echo "gs_parse: $build/gsparse is missing; skipped"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}"/kestro-bench-gsparse.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Both blocks have 15 lines; a short last block is filled with comment lines.
awk -v lines="$lines" -v gs="$work/unit.gs" -v lua="$work/unit.lua" 'BEGIN {
  for (n = 0; n + 15 <= lines; n += 15) {
    c = n / 15
    printf "class C%d isclass Base {\n  int count;\n  // state of block %d\n", c, c > gs
    printf "  public int Step(int a, float b) {\n    int i = a * 2 + 1;\n" > gs
    printf "    string s = \"text \" + a;\n    while (i > 0) {\n" > gs
    printf "      if (i %% 3 == 0) count = count + i;\n      else count = count - 1;\n" > gs
    printf "      i = i - 1;\n    }\n    Print(s, b * 0.5);\n    return count;\n  }\n};\n" > gs

    # Lua closes a class with no line of its own, so its table gets a second field.
    printf "C%d = {}\nC%d.count = 0\nC%d.name = \"C%d\"\n", c, c, c, c > lua
    printf "-- state of block %d\n", c > lua
    printf "function C%d.Step(a, b)\n  local i = a * 2 + 1\n", c > lua
    printf "  local s = \"text \" .. a\n  while i > 0 do\n" > lua
    printf "    if i %% 3 == 0 then C%d.count = C%d.count + i\n", c, c > lua
    printf "    else C%d.count = C%d.count - 1 end\n", c, c > lua
    printf "    i = i - 1\n  end\n  Print(s, b * 0.5)\n  return C%d.count\nend\n", c > lua
  }
  for (; n < lines; ++n) {
    print "// filler" > gs
    print "-- filler" > lua
  }
}'
[[ $(wc -l <"$work/unit.gs") -eq $lines && $(wc -l <"$work/unit.lua") -eq $lines ]]

# Both must accept their input, or the timings mean nothing.
"$build/gsparse" -q "$work/unit.gs"
luac5.4 -p "$work/unit.lua"

hyperfine --style basic $(bench_runs 3 20) -N --export-csv "$work/times.csv" \
  --command-name "gsparse -q" "$build/gsparse -q $work/unit.gs" \
  --command-name "luac5.4 -p" "luac5.4 -p $work/unit.lua" >/dev/null 2>"$work/hyperfine.log" ||
  { cat "$work/hyperfine.log"; exit 1; }

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v lines="$lines" 'NR == 2 { gs = $2 } NR == 3 { lua = $2 }
  END {
    printf "== gs_parse (%d lines)\n", lines
    printf "gsparse -q: %8.2f ms  %12.0f lines/s\n", gs * 1000, lines / gs
    printf "luac5.4 -p: %8.2f ms  %12.0f lines/s\n", lua * 1000, lines / lua
    printf "ratio: %.2f (target within 2)\n", gs / lua
  }' "$work/times.csv"

# The ordinary source: the unit above, repeated, up to the first class end past the size.
copies=()
for ((i = 0; i <= token_bytes / $(stat -c %s "$work/unit.gs"); ++i)); do copies+=("$work/unit.gs"); done
awk -v target="$token_bytes" '{ print; bytes += length($0) + 1 }
  bytes >= target && $0 == "};" { exit }' "${copies[@]}" >"$work/ordinary.gs"
size=$(stat -c %s "$work/ordinary.gs")
"$build/gsparse" -q "$work/ordinary.gs"

# Writes a unit of exactly $size bytes: head, one token of a repeated character, tail.
long_token_unit() {
  local out=$1 head=$2 fill=$3 tail=$4
  local count=$((size - ${#head} - ${#tail}))
  { printf '%s' "$head"; head -c "$count" /dev/zero | tr '\0' "$fill"; printf '%s' "$tail"; } >"$out"
  [[ $(stat -c %s "$out") -eq $size ]]
}
long_token_unit "$work/blanks.gs" 'class A {' ' ' $'};\n'
long_token_unit "$work/comment.gs" 'class A { /*' 'c' $'*/ };\n'
long_token_unit "$work/string.gs" 'class A { void f() { s = "' 'x' $'"; } };\n'
long_token_unit "$work/name.gs" 'class A { int ' 'n' $'; };\n'

kinds=(ordinary blanks comment string name)
commands=()
for kind in "${kinds[@]}"; do
  "$build/gsparse" -q "$work/$kind.gs"
  commands+=(--command-name "$kind" "$build/gsparse -q $work/$kind.gs")
done
hyperfine --style basic $(bench_runs 2 10) -N --export-csv "$work/tokens.csv" "${commands[@]}" \
  >/dev/null 2>"$work/hyperfine.log" || { cat "$work/hyperfine.log"; exit 1; }

awk -F, -v size="$size" 'NR == 2 { base = $2 } NR >= 2 { name[NR] = $1; mean[NR] = $2 }
  END {
    printf "== gs_parse long tokens (%d bytes a unit)\n", size
    for (i = 2; i <= NR; ++i) {
      printf "%-8s %8.2f ms", name[i], mean[i] * 1000
      if (i > 2) printf "  ratio to ordinary: %.2f (target within 2)", mean[i] / base
      printf "\n"
    }
  }' "$work/tokens.csv"
