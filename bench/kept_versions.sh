#!/usr/bin/env bash
# 30 `installfrompath` of one installed asset in a row, a 100 MB file whose last byte differs
# each time, so that each install keeps the version it replaces beside the earlier ones of the
# day, all of the same names and sizes. An install that read every version kept that day to know
# whether one held its files already grew with each install: the 30th took 19 times the 1st. The
# target is the 30th within 1.5 times the 2nd (the first to compare with a kept version). Each
# series starts from a UserData that holds the asset alone; a full run makes five and takes the
# medians, a small run one series of a 1 MB file.
#
# Then the first install after a start of the daemon, over 100 and 300 small versions kept that
# day, all of the same names and sizes: it signs each of them, which once took three walks of
# each. With KEPT_BENCH_BASE, a release build folder of another commit, it is timed beside that
# build's in alternating rounds (scripts/bench-pair.sh), and the ratio is this build's over it.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
megabytes=${KEPT_BENCH_MB:-$(bench_size 100 1)}
series=$(bench_size 5 1)
installs=30

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-kept.XXXXXX")
source "$repo/scripts/bench-root.sh"
tool="$root/bin/KestroUtil"
kuid="<kuid:400630:1>"
folder="$root/asset"
mkdir "$folder"
printf 'kuid %s\nusername "Kept versions"\nkind "scenery"\nkestro-build 3.5\n' "$kuid" \
  >"$folder/config.txt"
head -c "$((megabytes * 1024 * 1024))" /dev/urandom >"$folder/data.bin"
last=$((megabytes * 1024 * 1024 - 1))

# Makes the last byte of the asset's file N.
set_last_byte() {
  printf "\\x$(printf %02x "$1")" | dd of="$folder/data.bin" bs=1 seek="$last" conv=notrunc status=none
}
# The milliseconds since the epoch, as a decimal.
now_ms() { awk -v t="$EPOCHREALTIME" 'BEGIN { printf "%.1f", t * 1000 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

seconds=()
thirtieths=()
for ((s = 1; s <= series; s++)); do
  "$tool" closepymdaemon >/dev/null
  rm -rf "$root/UserData"
  mkdir "$root/UserData"
  set_last_byte 0
  "$tool" installfrompath "$folder" >/dev/null
  for ((i = 1; i <= installs; i++)); do
    set_last_byte "$i"
    sync -f "$root"
    start=$(now_ms)
    out=$("$tool" installfrompath "$folder")
    took=$(awk -v a="$start" -v b="$(now_ms)" 'BEGIN { printf "%.1f", b - a }')
    if ! grep -q "The version it replaced is kept in" <<<"$out"; then
      printf 'kept_versions: install %d kept nothing:\n%s\n' "$i" "$out"
      exit 1
    fi
    ((i == 2)) && seconds+=("$took")
    ((i == installs)) && thirtieths+=("$took")
  done
  kept=$(find "$root/UserData/backups" -name data.bin | wc -l)
  ((kept == installs)) || { echo "kept_versions: $kept versions kept, not $installs"; exit 1; }
done
"$tool" closepymdaemon >/dev/null

second=$(median "${seconds[@]}")
thirtieth=$(median "${thirtieths[@]}")
printf "== kept_versions: %d installs of one %d MB asset, each of other bytes (%d series)\n" \
  "$installs" "$megabytes" "$series"
printf "2nd install median:  %s ms\n30th install median: %s ms\n" "$second" "$thirtieth"
printf "time ratio: %s (target: within 1.5)\n" "$(awk -v a="$thirtieth" -v b="$second" 'BEGIN { printf "%.2f", a / b }')"

if [[ -z "${KEPT_BENCH_BASE:-}" ]] || ! command -v hyperfine >/dev/null; then
  echo "kept_versions: no KEPT_BENCH_BASE build, or no hyperfine; the first install after a start is not timed"
  exit 0
fi
base=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-kept-base.XXXXXX")
roots+=("$base")
bash "$repo/scripts/make-install.sh" "$(cd "$KEPT_BENCH_BASE" && pwd)" "$base"
small="$root/small"
mkdir "$small"
printf 'kuid <kuid:400630:2>\nusername "Small versions"\nkind "scenery"\nkestro-build 3.5\n' \
  >"$small/config.txt"
for f in a b c d e f g h; do head -c 2048 /dev/urandom >"$small/$f.bin"; done
# Each install gives the asset other bytes of the same size.
next="$root/next-version.sh"
printf 'n=$(( $(cat "%s/n") + 1 )); echo "$n" >"%s/n"; printf "%%08d" "$n" >"%s/n.txt"\n' \
  "$root" "$root" "$small" >"$next"
echo 0 >"$root/n"
for kept in $(bench_size "100 300" 5); do
  for r in "$root" "$base"; do
    "$r/bin/KestroUtil" closepymdaemon >/dev/null
    rm -rf "$r/UserData"
    mkdir "$r/UserData"
    for ((i = 0; i <= kept; i++)); do
      bash "$next"
      "$r/bin/KestroUtil" installfrompath "$small" >/dev/null
    done
  done
  restart() { echo "$1/bin/KestroUtil closepymdaemon >/dev/null; $1/bin/KestroUtil version >/dev/null; bash $next"; }
  result=$(bench_pair "$root/first" \
    "this build" "$root/bin/KestroUtil installfrompath '$small' >/dev/null" \
    "base build" "$base/bin/KestroUtil installfrompath '$small' >/dev/null" \
    "$(restart "$root")" "$(restart "$base")")
  read -r ours theirs ratio <<<"$result"
  printf "== kept_versions: the first install after a start over %d small versions kept today\n" "$kept"
  printf "this build: %s ms, base build: %s ms, time ratio: %s\n" "$ours" "$theirs" "$ratio"
done
