#!/usr/bin/env bash
# A 3-file `installfrompath` and a `commit` of a 3-file asset while another program's data, 1 GB
# not yet written back, waits on the same file system, each beside the same command on an idle
# disk. A change that made its files durable by syncing their whole file system waited for all of
# it: 10 to 15 times as long. The target is at most 1.5 times the idle run. The pairs run in
# alternating rounds (scripts/bench-pair.sh); a small run leaves 64 MB unwritten. On a loop file
# system with direct I/O where one can be made (scripts/bench-loop.sh).
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "changes_beside_writer: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
megabytes=${WRITER_BENCH_MB:-$(bench_size 1024 64)}

bench_name=changes_beside_writer
source "$repo/scripts/bench-loop.sh"
root=$(mktemp -d "$bench_parent/kestro-bench-writer.XXXXXX")
source "$repo/scripts/bench-root.sh"
kuid="<kuid:400620:1>"
folder="$root/asset"
mkdir "$folder"
printf 'kuid %s\nusername "Three files"\nkind "scenery"\nkestro-build 3.5\n' "$kuid" \
  >"$folder/config.txt"
printf 'one\n' >"$folder/one.txt"
printf 'two\n' >"$folder/two.txt"

# The other program's file, written without a sync just before each timed run and removed before
# the next one, so that its data never reaches the disk; the idle runs start from a synced disk.
unwritten="$root/unwritten"
busy="rm -f '$unwritten'; sync -f '$root'; dd if=/dev/zero of='$unwritten' bs=1M count=$megabytes status=none"
idle="rm -f '$unwritten'; sync -f '$root'"
tool="$root/bin/KestroUtil"
reset="$tool closepymdaemon >/dev/null; rm -rf '$root/UserData'; mkdir '$root/UserData'; $tool version >/dev/null"

result=$(bench_pair "$root/install" \
  "installfrompath beside a writer" "$tool installfrompath '$folder' >/dev/null" \
  "installfrompath" "$tool installfrompath '$folder' >/dev/null" \
  "$reset; $busy" "$reset; $idle")
read -r install_busy install_idle install_ratio <<<"$result"

# Each run commits an editing copy made just before it.
eval "$reset"
"$tool" installfrompath "$folder" >/dev/null
result=$(bench_pair "$root/commit" \
  "commit beside a writer" "$tool commit '$kuid' >/dev/null" \
  "commit" "$tool commit '$kuid' >/dev/null" \
  "$tool edit '$kuid' >/dev/null; $busy" "$tool edit '$kuid' >/dev/null; $idle")
read -r commit_busy commit_idle commit_ratio <<<"$result"
rm -f "$unwritten"

printf "== changes_beside_writer with %d MB of another program's data unwritten\n" "$megabytes"
printf "installfrompath beside a writer median: %s ms\ninstallfrompath median:                %s ms\n" \
  "$install_busy" "$install_idle"
printf "time ratio: %s (target: at most 1.5)\n" "$install_ratio"
printf "commit beside a writer median:          %s ms\ncommit median:                         %s ms\n" \
  "$commit_busy" "$commit_idle"
printf "time ratio: %s (target: at most 1.5)\n" "$commit_ratio"
"$tool" closepymdaemon >/dev/null
