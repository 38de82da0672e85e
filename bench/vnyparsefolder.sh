#!/usr/bin/env bash
# The repository export end to end: `KestroUtil vnyparsefolder` over 1,000 generated asset folders
# against a running daemon. Prints records per second and how the CPU time splits between the
# daemon and the tool (no target yet).
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
count=$(bench_size 1000 20)

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-vnyparsefolder.XXXXXX")
source "$repo/scripts/bench-root.sh"
tree="$root/tree"
for i in $(seq 1 "$count"); do
  folder="$tree/group$((i % 10))/asset$i"
  mkdir -p "$folder"
  printf 'kuid <kuid2:400200:%d:1>\nusername "Asset %d"\nkind "scenery"\ncategory-class "BD;BI"\ncategory-era "1950"\ncategory-region "GB"\ndescription "A building"\nkuid-table {\n  0 <kuid:400200:%d>\n}\n' \
    "$i" "$i" "$((i + count))" > "$folder/config.txt"
  head -c 4096 /dev/urandom > "$folder/body.bin"
  printf 'jpg' > "$folder/thumbnail.jpg"
done

# The first run starts the daemon; the measured run finds it running.
"$root/bin/KestroUtil" version >/dev/null
daemon=""
for p in /proc/[0-9]*; do
  [[ "$(readlink "$p/exe" 2>/dev/null)" == "$root/bin/PymDaemon" ]] && daemon=${p#/proc/}
done
[[ -n "$daemon" ]] || { echo "vnyparsefolder: the daemon did not start"; exit 1; }
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

daemon_before=$(ticks "$daemon")
start=$(date +%s.%N)
# The tool's own CPU time comes from the child times of this subshell.
tool=$(cd "$root" && { "$root/bin/KestroUtil" vnyparsefolder "$tree" >"$root/export.log"; times; } |
  tail -1 | awk '{ split($1, u, /[ms]/); split($2, s, /[ms]/); print u[1] * 60 + u[2] + s[1] * 60 + s[2] }')
end=$(date +%s.%N)
daemon_after=$(ticks "$daemon")

records=$(wc -l < "$root/Kestro Asset Parse/kuids.txt")
awk -v n="$records" -v start="$start" -v end="$end" -v tool="$tool" \
  -v dticks="$((daemon_after - daemon_before))" -v hz="$(getconf CLK_TCK)" 'BEGIN {
    wall = end - start; daemon = dticks / hz
    printf "== vnyparsefolder over %d assets\nwall: %.2f s, %.0f records per second\n", n, wall, n / wall
    printf "CPU: daemon %.2f s, tool %.2f s; daemon share %.0f%% (no target)\n", daemon, tool,
      100 * daemon / (daemon + tool)
  }'
