#!/usr/bin/env bash
# Validating many demo-sized assets through the command host (rules, field checks, texture
# files and the compile of each asset's script) beside printing their configurations with
# `printconfig`, each as one batch file run by one KestroUtil process, in alternating rounds
# (scripts/bench-pair.sh). Prints both medians and their ratio; the target is a ratio within 3.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
count=${VALIDATE_ASSETS:-$(bench_size 1000 20)}
if ! command -v hyperfine >/dev/null; then
  echo "validate_assets: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-validate-assets.XXXXXX")
source "$repo/scripts/bench-root.sh"
: >"$root/validate.txt"
: >"$root/printconfig.txt"
for ((n = 1; n <= count; n++)); do
  folder="$root/UserData/local/lamp$n"
  mkdir -p "$folder"
  cat >"$folder/config.txt" <<CONFIG
kuid                                    <kuid:400100:$n>
username                                "Lamp $n"
kind                                    "library"
kestro-build                            3.5
script                                  "lamp"
class                                   "Lamp"
CONFIG
  # A library asset: it passes validation without meshes, and its class derives from Library.
  printf 'include "Library.gs"\nclass Lamp isclass Library\n{\n  int switched;\n  public int SwitchOn(int times) { return switched + times; }\n};\n' \
    >"$folder/lamp.gs"
  echo "validate \"<kuid:400100:$n>\"" >>"$root/validate.txt"
  echo "printconfig \"<kuid:400100:$n>\"" >>"$root/printconfig.txt"
done

start_bench_command_host
# The first pass compiles every script; the measured ones validate with the libraries cached,
# as a user's installation does.
"$root/bin/KestroUtil" "@$root/validate.txt" >/dev/null
grep -c "OK (0 Errors, 0 Warnings)" < <("$root/bin/KestroUtil" "@$root/validate.txt") |
  grep -qx "$count" || { echo "validate_assets: not every asset passed"; exit 1; }

result=$(bench_pair "$root/validate" \
  "validate $count assets" "$root/bin/KestroUtil @$root/validate.txt" \
  "printconfig $count assets" "$root/bin/KestroUtil @$root/printconfig.txt")
read -r validate print_ ratio <<<"$result"
printf "== validate_assets (%d assets)\nvalidate median:    %s ms\nprintconfig median: %s ms\n" \
  "$count" "$validate" "$print_"
printf "ratio: %s (target: within 3)\n" "$ratio"
"$root/bin/KestroUtil" closepymdaemon >/dev/null || true
