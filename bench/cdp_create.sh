#!/usr/bin/env bash
# `createcdp` alone: about 206 MB in 1,000 files (333 generated assets of three files each: a
# timetable-like listing, a mesh and a texture cut from the tool's executable) packed by one
# installation, beside `tar czf` of the same asset folders in the same run. With CDP_BASELINE
# naming the build folder of an older tool, that tool packs the same assets in a second
# installation in the same run too. Prints each median as MB/s of asset bytes, the ratios, and
# the client's peak resident memory against the size of the asset set.
# Targets: at least 3 times the 58-66 MB/s that packing one asset at a time gave, and a client
# whose peak stays near the size of the asset set (it used to hold the package twice).
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-assets.sh"
build=$(cd "${1:?build folder}" && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "cdp_create: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
assets=${CDP_BENCH_ASSETS:-$(bench_size 333 12)}
file_bytes=${CDP_BENCH_FILE_BYTES:-$(bench_size 206000 20000)}
baseline=${CDP_BASELINE:-}

source=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-cdpc-source.XXXXXX")
roots=("$source")
[[ -n "$baseline" ]] && roots+=("$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-cdpc-baseline.XXXXXX")")
source "$(dirname "$0")/../scripts/bench-root.sh"
base="$source"
if [[ -n "$baseline" ]]; then
  bash "$(dirname "$0")/../scripts/make-install.sh" "$(cd "$baseline" && pwd)" "${roots[1]}"
fi

local_folder="$source/UserData/local"
generate_assets "$local_folder" "$assets" 400600 "$file_bytes" "$file_bytes" "$file_bytes" \
  "$build/KestroUtil"
if [[ -n "$baseline" ]]; then
  cp -R "$local_folder" "${roots[1]}/UserData/local"
fi
kuids=$(seq -f "'<kuid:400600:%g>'" 1 "$assets" | tr '\n' ' ')
set_bytes=$(find "$local_folder" -type f ! -name config.txt -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo "cdp_create: $((set_bytes / 1000000)) MB in $((assets * 3)) files of $assets assets"

# The first runs start the daemons and index the content; every measured run finds them running.
for r in "${roots[@]}"; do "$r/bin/KestroUtil" version >/dev/null; done
commands=(--command-name "createcdp"
  "$source/bin/KestroUtil createcdp '$base/assets.cdp' $kuids >/dev/null")
if [[ -n "$baseline" ]]; then
  commands+=(--command-name "createcdp (baseline)"
    "${roots[1]}/bin/KestroUtil createcdp '$base/baseline.cdp' $kuids >/dev/null")
fi
commands+=(--command-name "tar czf" "tar czf '$base/assets.tar.gz' -C '$local_folder' .")
hyperfine --style basic $(bench_runs 1 5) --export-csv "$base/create.csv" "${commands[@]}" \
  >/dev/null

# The client's peak memory, in a run of its own.
/usr/bin/time -f %M -o "$base/rss.txt" \
  "$source/bin/KestroUtil" createcdp "$base/assets.cdp" $(seq -f '<kuid:400600:%g>' 1 "$assets") \
  >/dev/null
rss_kb=$(cat "$base/rss.txt")
if [[ -n "$baseline" ]]; then
  /usr/bin/time -f %M -o "$base/rss-baseline.txt" "${roots[1]}/bin/KestroUtil" createcdp \
    "$base/baseline.cdp" $(seq -f '<kuid:400600:%g>' 1 "$assets") >/dev/null
  if cmp -s "$base/assets.cdp" "$base/baseline.cdp"; then same="identical"; else same="DIFFERENT"; fi
  echo "cdp_create: package bytes against the baseline's: $same"
  if [[ "$same" != identical ]]; then
    kept=$(mktemp -d "${TMPDIR:-/tmp}/kestro-cdpc-diff.XXXXXX")
    cp "$base/assets.cdp" "$base/baseline.cdp" "$kept/"
    echo "cdp_create: both packages kept in $kept"
    exit 1
  fi
fi
rss_baseline_kb=$(cat "$base/rss-baseline.txt" 2>/dev/null || echo 0)

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v bytes="$set_bytes" -v rss="$rss_kb" -v rss0="$rss_baseline_kb" \
  -v cdp="$(stat -c %s "$base/assets.cdp")" -v tgz="$(stat -c %s "$base/assets.tar.gz")" '
  NR > 1 { median[$1] = $4 }
  END {
    mb = bytes / 1e6
    ours = mb / median["createcdp"]
    tar = mb / median["tar czf"]
    printf "== cdp_create (%.0f MB of assets)\n", mb
    printf "createcdp:            %7.1f MB/s (median %.0f ms)\n", ours, median["createcdp"] * 1000
    if ("createcdp (baseline)" in median) {
      old = mb / median["createcdp (baseline)"]
      printf "createcdp (baseline): %7.1f MB/s (median %.0f ms)\n", old,
        median["createcdp (baseline)"] * 1000
    }
    printf "tar czf:              %7.1f MB/s (median %.0f ms)\n", tar, median["tar czf"] * 1000
    printf "createcdp / tar czf: %.2f\n", ours / tar
    if ("createcdp (baseline)" in median)
      printf "createcdp / baseline: %.2f (target: at least 3)\n", ours / old
    printf "createcdp / 62 MB/s (the one-at-a-time figure): %.2f (target: at least 3)\n", ours / 62
    printf "client peak RSS %.0f MB for %.0f MB of assets: %.2f of the set", rss / 1024, mb,
      rss * 1024 / bytes
    if (rss0 > 0) printf " (baseline %.0f MB: %.2f)", rss0 / 1024, rss0 * 1024 / bytes
    printf "\npackage %.1f MB, tar.gz %.1f MB, size ratio %.2f\n", cdp / 1e6, tgz / 1e6, cdp / tgz
  }' "$base/create.csv"
