#!/usr/bin/env bash
# `installcdp` of one asset whose 20,000 small files share one folder, beside `tar xf` of the
# same files. Finding each new file's name without regard to case once read the whole folder, so
# installs grew with the square of the files; the target is at most 2 times tar. The two run in
# alternating rounds (scripts/bench-pair.sh).
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "install_one_folder: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
files=${INSTALL_BENCH_FILES:-$(bench_size 20000 500)}

source=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-install-source.XXXXXX")
target=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-install-target.XXXXXX")
roots=("$source" "$target")
source "$repo/scripts/bench-root.sh"
base="$source"

folder="$source/UserData/local/many"
mkdir -p "$folder"
printf 'kuid <kuid:400600:1>\nusername "Many files"\nkind "scenery"\nkestro-build 3.5\n' \
  >"$folder/config.txt"
LC_ALL=C awk -v n="$files" -v dir="$folder" 'BEGIN {
  for (i = 1; i <= n; i++) { f = dir "/f" i ".txt"; printf "file %d\n", i > f; close(f) }
}'
"$source/bin/KestroUtil" createcdp "$base/many.cdp" "<kuid:400600:1>" >/dev/null
tar cf "$base/many.tar" -C "$source/UserData/local" many

"$target/bin/KestroUtil" version >/dev/null
reset_target="$target/bin/KestroUtil closepymdaemon >/dev/null; rm -rf '$target/UserData'; mkdir '$target/UserData'; $target/bin/KestroUtil version >/dev/null"
result=$(bench_pair "$base/install" \
  "installcdp" "$target/bin/KestroUtil installcdp '$base/many.cdp' >/dev/null" \
  "tar xf" "tar xf '$base/many.tar' -C '$base/tar-out'" \
  "$reset_target" "rm -rf '$base/tar-out'; mkdir '$base/tar-out'")
read -r ours tar ratio <<<"$result"

installed=$(find "$target/UserData/local" -name 'f*.txt' | wc -l)
printf "== install_one_folder (%d of %d files installed)\n" "$installed" "$files"
printf "installcdp median: %s ms\ntar xf median:     %s ms\n" "$ours" "$tar"
printf "time ratio: %s (target: at most 2)\n" "$ratio"
((installed == files)) || { echo "install_one_folder: not every file was installed"; exit 1; }
