#!/usr/bin/env bash
# One asset request end to end: `KestroUtil status <KUID>` beside `KestroUtil version`, both
# against a daemon that already runs over a few assets. Prints both medians and their ratio
# (scripts/bench-pair.sh); the target is a ratio within 1.5.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "status: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-status.XXXXXX")
source "$repo/scripts/bench-root.sh"
for i in $(seq 1 50); do
  mkdir -p "$root/UserData/local/asset$i"
  printf 'kuid <kuid:400100:%d>\nusername "Asset %d"\nkind "scenery"\n' "$i" "$i" \
    > "$root/UserData/local/asset$i/config.txt"
done

# The first run starts the daemon; every measured run finds it running.
"$root/bin/KestroUtil" version >/dev/null

result=$(bench_pair "$root/status" "KestroUtil status" "$root/bin/KestroUtil status <kuid:400100:7>" \
  "KestroUtil version" "$root/bin/KestroUtil version")
read -r status version ratio <<<"$result"
printf "== status\nKestroUtil status median:  %s ms\nKestroUtil version median: %s ms\n" "$status" "$version"
printf "ratio: %s (target: within 1.5)\n" "$ratio"
