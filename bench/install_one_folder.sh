#!/usr/bin/env bash
# `installcdp` of one asset whose 20,000 small files share one folder, beside `tar xf` of the
# same files. Finding each new file's name without regard to case once read the whole folder, so
# installs grew with the square of the files; the target is at most 2 times tar.
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "install_one_folder: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
files=${INSTALL_BENCH_FILES:-20000}

source="/tmp/kestro-bench-install-source"
target="/tmp/kestro-bench-install-target"
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
hyperfine --style basic --warmup 1 --runs 5 --export-csv "$base/install.csv" \
  --prepare "$reset_target" --prepare "rm -rf '$base/tar-out'; mkdir '$base/tar-out'" \
  --command-name "installcdp" "$target/bin/KestroUtil installcdp '$base/many.cdp' >/dev/null" \
  --command-name "tar xf" "tar xf '$base/many.tar' -C '$base/tar-out'" \
  >/dev/null

installed=$(find "$target/UserData/local" -name 'f*.txt' | wc -l)
# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v installed="$installed" -v files="$files" \
  'NR == 2 { ours = $4 } NR == 3 { tar = $4 }
  END {
    printf "== install_one_folder (%d of %d files installed)\n", installed, files
    printf "installcdp median: %.0f ms\ntar xf median:     %.0f ms\n", ours * 1000, tar * 1000
    printf "time ratio: %.2f (target: at most 2)\n", ours / tar
  }' "$base/install.csv"
