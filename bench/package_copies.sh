#!/usr/bin/env bash
# A package of one asset of one-byte files, at 5,000 and at 65,536 files (the most a package
# holds): `vnyparse` of it beside `installcdp` of it, and `edit` of the installed asset beside
# `cp -a` of its folder and one `sync -f`. A copy once synced each file on its own, so that
# vnyparse took 4 to 14 times installcdp; the targets are at most 2 times installcdp for
# vnyparse and at most 2 times cp -a and a sync for edit. The pairs run in alternating rounds
# (scripts/bench-pair.sh); a small run takes 200 files.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "package_copies: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
sizes=${PACKAGE_BENCH_FILES:-$(bench_size "5000 65536" 200)}

source=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-copies-source.XXXXXX")
target=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-copies-target.XXXXXX")
roots=("$source" "$target")
source "$repo/scripts/bench-root.sh"
base="$source"
kuid="<kuid:400610:1>"
installed="$target/UserData/local/kuid 400610 1 0"
# Each preparation ends with a sync, so that no run pays for writing back what the one before
# left behind.
reset_target="$target/bin/KestroUtil closepymdaemon >/dev/null; rm -rf '$target/UserData'; mkdir '$target/UserData'; $target/bin/KestroUtil version >/dev/null; sync -f '$target'"

for files in $sizes; do
  # The source's daemon reads the new folder at its start.
  "$source/bin/KestroUtil" closepymdaemon >/dev/null
  folder="$source/UserData/local/copies$files"
  mkdir -p "$folder" "$base/package$files"
  printf 'kuid %s\nusername "One-byte files"\nkind "scenery"\nkestro-build 3.5\n' "$kuid" \
    >"$folder/config.txt"
  LC_ALL=C awk -v n="$files" -v dir="$folder" 'BEGIN {
    for (i = 1; i <= n; i++) { f = dir "/f" i ".txt"; printf "x" > f; close(f) }
  }'
  # vnyparse writes its one-asset package beside the input, so each size has a folder of its own.
  package="$base/package$files/copies.cdp"
  "$source/bin/KestroUtil" createcdp "$package" "$kuid" >/dev/null
  "$source/bin/KestroUtil" closepymdaemon >/dev/null
  rm -rf "$folder"

  result=$(bench_pair "$base/install$files" \
    "vnyparse" "$target/bin/KestroUtil vnyparse '$package' >/dev/null" \
    "installcdp" "$target/bin/KestroUtil installcdp '$package' >/dev/null" \
    "$reset_target" "$reset_target")
  read -r parse install parse_ratio <<<"$result"

  eval "$reset_target"
  "$target/bin/KestroUtil" installcdp "$package" >/dev/null
  count=$(find "$installed" -name 'f*.txt' | wc -l)
  result=$(bench_pair "$base/edit$files" \
    "edit" "$target/bin/KestroUtil edit '$kuid' >/dev/null" \
    "cp -a + sync -f" "cp -a '$installed' '$base/copy' && sync -f '$base/copy'" \
    "$target/bin/KestroUtil revert '$kuid' >/dev/null 2>&1; sync -f '$target'" \
    "rm -rf '$base/copy'; sync -f '$base'")
  read -r edit copy edit_ratio <<<"$result"

  printf "== package_copies at %d one-byte files (%d installed)\n" "$files" "$count"
  printf "vnyparse median:        %s ms\ninstallcdp median:      %s ms\n" "$parse" "$install"
  printf "time ratio: %s (target: at most 2)\n" "$parse_ratio"
  printf "edit median:            %s ms\ncp -a + sync -f median: %s ms\n" "$edit" "$copy"
  printf "time ratio: %s (target: at most 2)\n" "$edit_ratio"
  ((count == files)) || { echo "package_copies: not every file was installed"; exit 1; }
done
