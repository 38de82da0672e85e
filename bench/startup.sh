#!/usr/bin/env bash
# Start-up cost of the tool: `KestroUtil version` against a daemon that already runs, beside
# pym_ping, which only finds the same daemon and exchanges one handshake with it. Prints both
# medians and their ratio; the target is a ratio within 2.
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

# The two run in alternating rounds, so that a change in the machine's load between the two
# programs' runs falls on both: the ratio is the median of the rounds' ratios.
rounds=$(bench_size 5 1)
rm -f "$root"/startup-*.csv
for ((r = 1; r <= rounds; r++)); do
  hyperfine --style basic $(bench_runs 2 20) -N --export-csv "$root/startup-$r.csv" \
    --command-name "KestroUtil version" "$root/bin/KestroUtil version" \
    --command-name "pym_ping" "$build/pym_ping $root" >/dev/null
done

# Columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, 'function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  FNR == 2 { tool[++n] = $4 } FNR == 3 { ping[n] = $4; ratio[n] = tool[n] / $4 }
  END {
    printf "== startup\nKestroUtil version median: %.2f ms\npym_ping median:           %.2f ms\n", median(tool, n) * 1000, median(ping, n) * 1000
    printf "ratio: %.2f (target within 2)\n", median(ratio, n)
  }' "$root"/startup-*.csv
