#!/usr/bin/env bash
# A package round trip: `createcdp` of 1,000 generated assets (about 100 MB of text and binary
# files) in one installation, then `installcdp` of the package into a fresh one, beside `tar czf`
# and `tar xzf` of the same asset folders. Prints both medians, their ratio and the size ratio of
# the package to the archive; the targets are a round trip faster than tar and gzip, and a package
# at most 1.3 times the archive.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-assets.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "cdp_round_trip: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
assets=${CDP_BENCH_ASSETS:-$(bench_size 1000 20)}

source=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-cdp-source.XXXXXX")
target=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-cdp-target.XXXXXX")
roots=("$source" "$target")
source "$repo/scripts/bench-root.sh"
base="$source"

local_folder="$source/UserData/local"
generate_assets "$local_folder" "$assets" 400500 30000 40000 20000 "$build/KestroUtil"
kuids=$(seq -f "'<kuid:400500:%g>'" 1 "$assets" | tr '\n' ' ')
echo "cdp_round_trip: $(du -sm "$local_folder" | cut -f1) MB in $assets assets"

# The first runs start the daemons and index the content; every measured run finds them running.
"$source/bin/KestroUtil" version >/dev/null
"$target/bin/KestroUtil" version >/dev/null
reset_target="$target/bin/KestroUtil closepymdaemon >/dev/null; rm -rf '$target/UserData'; mkdir '$target/UserData'; $target/bin/KestroUtil version >/dev/null"

hyperfine --style basic $(bench_runs 1 5) --export-csv "$base/round_trip.csv" \
  --prepare "$reset_target" --prepare "rm -rf '$base/tar-out' '$base/assets.tar.gz'" \
  --command-name "createcdp + installcdp" \
  "$source/bin/KestroUtil createcdp '$base/assets.cdp' $kuids >/dev/null && $target/bin/KestroUtil installcdp '$base/assets.cdp' >/dev/null" \
  --command-name "tar czf + tar xzf" \
  "tar czf '$base/assets.tar.gz' -C '$local_folder' . && mkdir '$base/tar-out' && tar xzf '$base/assets.tar.gz' -C '$base/tar-out'" \
  >/dev/null

installed=$(find "$target/UserData/local" -name timetable.txt | wc -l)
cdp=$(stat -c %s "$base/assets.cdp")
tgz=$(stat -c %s "$base/assets.tar.gz")
# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v cdp="$cdp" -v tgz="$tgz" -v installed="$installed" \
  'NR == 2 { ours = $4 } NR == 3 { tar = $4 }
  END {
    printf "== cdp_round_trip (%d assets installed)\n", installed
    printf "createcdp + installcdp median: %.0f ms\ntar czf + tar xzf median:      %.0f ms\n", ours * 1000, tar * 1000
    printf "time ratio: %.2f (target: below 1)\n", ours / tar
    printf "package %.1f MB, archive %.1f MB, size ratio: %.2f (target: at most 1.3)\n", cdp / 1e6, tgz / 1e6, cdp / tgz
  }' "$base/round_trip.csv"
