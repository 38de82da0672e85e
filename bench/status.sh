#!/usr/bin/env bash
# One asset request end to end: `KestroUtil status <KUID>` beside `KestroUtil version`, both
# against a daemon that already runs over a few assets. Prints both medians and their ratio; the
# target is a ratio within 1.5.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "status: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root="/tmp/kestro-bench-status"
source "$repo/scripts/bench-root.sh"
for i in $(seq 1 50); do
  mkdir -p "$root/UserData/local/asset$i"
  printf 'kuid <kuid:400100:%d>\nusername "Asset %d"\nkind "scenery"\n' "$i" "$i" \
    > "$root/UserData/local/asset$i/config.txt"
done

# The first run starts the daemon; every measured run finds it running.
"$root/bin/KestroUtil" version >/dev/null

hyperfine --style basic $(bench_runs 5 100) -N --export-csv "$root/status.csv" \
  --command-name "KestroUtil status" "$root/bin/KestroUtil status <kuid:400100:7>" \
  --command-name "KestroUtil version" "$root/bin/KestroUtil version" >/dev/null

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, 'NR == 2 { status = $4 } NR == 3 { version = $4 }
  END {
    printf "== status\nKestroUtil status median:  %.2f ms\nKestroUtil version median: %.2f ms\n", status * 1000, version * 1000
    printf "ratio: %.2f (target: within 1.5)\n", status / version
  }' "$root/status.csv"
