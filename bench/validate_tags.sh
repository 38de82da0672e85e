#!/usr/bin/env bash
# Validating one large configuration: `tettool validate` of an asset whose config.txt holds 80,000
# tags (unknown tags, each a finding, and a KUID table) beside `souptool print` of the same file,
# in alternating rounds (scripts/bench-pair.sh); the target is a ratio within 20. Then the same
# validation of four times the tags beside the first; the target for that ratio is at most 5, so
# that the time grows with the tags and not with their square.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
tags=${VALIDATE_TAGS:-$(bench_size 80000 4000)}
if ! command -v hyperfine >/dev/null; then
  echo "validate_tags: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/tettool" || ! -x "$build/souptool" ]]; then
  echo "validate_tags: $build/tettool or $build/souptool is missing; skipped"
  exit 0
fi

work=$(mktemp -d /tmp/kestro-bench-validate-tags.XXXXXX)
trap 'rm -rf "$work"' EXIT

# An asset of n tags: half unknown top-level tags, half entries of a KUID table.
write_asset() {
  local folder=$1 n=$2
  mkdir -p "$folder"
  awk -v n="$n" 'BEGIN {
    printf "kuid <kuid:400100:1>\nusername \"Tags\"\nkind \"library\"\nkestro-build 3.5\n"
    for (i = 0; i < n / 2; ++i) printf "extra-%d \"%d\"\n", i, i
    printf "kuid-table\n{\n"
    for (i = 0; i < n - n / 2; ++i) printf "  %d <kuid:400100:%d>\n", i, i + 2
    printf "}\n"
  }' >"$folder/config.txt"
}
write_asset "$work/small" "$tags"
write_asset "$work/large" $((tags * 4))

validate="$build/tettool validate --tetdata $repo/data/TETData --data $repo/data/data"
# Every unknown tag is a finding: a validation that stopped early or skipped them is no measure.
count_line=$($validate "$work/small" | tail -n 1 || true)
[[ $count_line == "OK ($((tags / 2)) Errors, 0 Warnings)" ]] ||
  { echo "validate_tags: unexpected result: $count_line"; exit 1; }
"$build/souptool" print "$work/small/config.txt" >/dev/null

# tettool exits with 1 for the findings it prints; the count line above shows it ran through.
export BENCH_PAIR_OPTIONS=-i
result=$(bench_pair "$work/print" "tettool validate ($tags tags)" "$validate $work/small" \
  "souptool print ($tags tags)" "$build/souptool print $work/small/config.txt")
read -r validated printed ratio <<<"$result"
printf "== validate_tags (%d tags)\ntettool validate median: %.2f ms\nsouptool print median:   %.2f ms\n" \
  "$tags" "$validated" "$printed"
printf "ratio: %.2f (target: within 20)\n" "$ratio"

result=$(bench_pair "$work/scale" "tettool validate ($((tags * 4)) tags)" "$validate $work/large" \
  "tettool validate ($tags tags)" "$validate $work/small")
read -r large small ratio <<<"$result"
printf "== validate_tags scaling (%d and %d tags)\nlarge median: %.2f ms\nsmall median: %.2f ms\n" \
  "$((tags * 4))" "$tags" "$large" "$small"
printf "ratio: %.2f (target: at most 5)\n" "$ratio"
