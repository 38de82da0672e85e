#!/usr/bin/env bash
# Changes of one asset of one-byte files, at 500 and 5,000 files: `vnyparse` of its package beside
# `installcdp` of it, and `installfrompath` of its folder, `edit` of the installed asset and
# `commit` of the editing copy each beside `cp -a` of the same folder and one `sync -f`. A change
# once made each file durable on its own, which took 4 to 14 times as long; the targets are at
# most 3 times installcdp for vnyparse and at most 2 times cp -a and a sync for the others. On a
# loop file system with direct I/O where one can be made (scripts/bench-loop.sh). The pairs run in
# alternating rounds (scripts/bench-pair.sh); a small run takes 200 files. Each preparation ends
# with a sync of every file system, so that every run starts on an idle disk.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "package_copies: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
sizes=${PACKAGE_BENCH_FILES:-$(bench_size "500 5000" 200)}

bench_name=package_copies
source "$repo/scripts/bench-loop.sh"
source=$(mktemp -d "$bench_parent/kestro-bench-copies-source.XXXXXX")
target=$(mktemp -d "$bench_parent/kestro-bench-copies-target.XXXXXX")
roots=("$source" "$target")
source "$repo/scripts/bench-root.sh"
base="$source"
kuid="<kuid:400610:1>"
tool="$target/bin/KestroUtil"
installed="$target/UserData/local/kuid 400610 1 0"
editing="$target/UserData/editing/kuid 400610 1 0"
reset_target="$tool closepymdaemon >/dev/null; rm -rf '$target/UserData'; mkdir '$target/UserData'; $tool version >/dev/null; sync"
# The comparison: the same folder copied and its file system synced once.
copy_of() { echo "cp -a '$1' '$base/copy' && sync -f '$base/copy'"; }
uncopy="rm -rf '$base/copy'; sync"

# Prints a pair's medians and ratio, read from bench_pair's "A_MS B_MS RATIO".
report() {
  local a b ratio
  read -r a b ratio <<<"$5"
  printf "%-24s %s ms\n%-24s %s ms\ntime ratio: %s (target: at most %s)\n" "$1 median:" "$a" \
    "$2 median:" "$b" "$ratio" "$4"
}

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
  # The folder is what installfrompath installs.
  rm -rf "$base/folder$files"
  mv "$folder" "$base/folder$files"
  folder="$base/folder$files"

  parse=$(bench_pair "$base/parse$files" \
    "vnyparse" "$tool vnyparse '$package' >/dev/null" \
    "installcdp" "$tool installcdp '$package' >/dev/null" \
    "$reset_target" "$reset_target")

  install=$(bench_pair "$base/install$files" \
    "installfrompath" "$tool installfrompath '$folder' >/dev/null" \
    "cp -a + sync -f" "$(copy_of "$folder")" \
    "$reset_target" "$uncopy")

  eval "$reset_target"
  "$tool" installcdp "$package" >/dev/null
  count=$(find "$installed" -name 'f*.txt' | wc -l)
  edit=$(bench_pair "$base/edit$files" \
    "edit" "$tool edit '$kuid' >/dev/null" \
    "cp -a + sync -f" "$(copy_of "$installed")" \
    "$tool revert '$kuid' >/dev/null 2>&1; sync" "$uncopy")

  # Each commit commits an editing copy made just before it.
  commit=$(bench_pair "$base/commit$files" \
    "commit" "$tool commit '$kuid' >/dev/null" \
    "cp -a + sync -f" "$(copy_of "$editing")" \
    "$tool edit '$kuid' >/dev/null; sync" "$tool edit '$kuid' >/dev/null; $uncopy")

  printf "== package_copies at %d one-byte files (%d installed)\n" "$files" "$count"
  report vnyparse installcdp "" 3 "$parse"
  report installfrompath "cp -a + sync -f" "" 2 "$install"
  report edit "cp -a + sync -f" "" 2 "$edit"
  report commit "cp -a + sync -f" "" 2 "$commit"
  ((count == files)) || { echo "package_copies: not every file was installed"; exit 1; }
  "$tool" revert "$kuid" >/dev/null 2>&1 || true
done
