#!/usr/bin/env bash
# Start-up cost of the tool: `KestroUtil version` against a daemon that already runs, beside
# pym_ping, which only finds the same daemon and exchanges one handshake with it. Prints both
# medians and their ratio (scripts/bench-pair.sh); the target is a ratio within 2.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "startup: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-startup.XXXXXX")
source "$repo/scripts/bench-root.sh"

# The first run starts the daemon; both programs then find it running.
"$root/bin/KestroUtil" version >/dev/null
"$build/pym_ping" "$root"

result=$(bench_pair "$root/startup" "KestroUtil version" "$root/bin/KestroUtil version" \
  "pym_ping" "$build/pym_ping $root")
read -r tool ping ratio <<<"$result"
printf "== startup\nKestroUtil version median: %s ms\npym_ping median:           %s ms\n" "$tool" "$ping"
printf "ratio: %s (target within 2)\n" "$ratio"
