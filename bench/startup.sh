#!/usr/bin/env bash
# Start-up cost of the tool: `KestroUtil version` against a daemon that already runs, beside
# pym_ping, which only finds the same daemon and exchanges one handshake with it. Prints both
# medians and their ratio; the target is a ratio within 5.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "startup: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root="/tmp/kestro-bench-startup"
source "$repo/scripts/bench-root.sh"

# The first run starts the daemon; both programs then find it running.
"$root/bin/KestroUtil" version >/dev/null
"$build/pym_ping" "$root"

hyperfine --style basic $(bench_runs 5 100) -N --export-csv "$root/startup.csv" \
  --command-name "KestroUtil version" "$root/bin/KestroUtil version" \
  --command-name "pym_ping" "$build/pym_ping $root" >/dev/null

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, 'NR == 2 { tool = $4 } NR == 3 { ping = $4 }
  END {
    printf "== startup\nKestroUtil version median: %.2f ms\npym_ping median:           %.2f ms\n", tool * 1000, ping * 1000
    ratio = tool / ping
    printf "ratio: %.2f (target within 5)\n", ratio
  }' "$root/startup.csv"
