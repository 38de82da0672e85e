#!/usr/bin/env bash
# `KestroUtil validate <KUID>` of an asset whose script library is already cached, beside the
# same validation of an asset without scripts, with a command host running, in alternating rounds
# (scripts/bench-pair.sh). Prints both medians and their ratio; the target is a ratio within 1.3.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v hyperfine >/dev/null; then
  echo "validate_scripts: hyperfine is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-validate.XXXXXX")
source "$repo/scripts/bench-root.sh"
for n in 1 2; do
  mkdir -p "$root/UserData/local/lamp$n"
  {
    printf 'kuid <kuid:400100:%d>\nusername "Lamp %d"\nkind "library"\nkestro-build 3.5\n' "$n" "$n"
    [[ $n == 1 ]] && printf 'script "lamp"\nclass "Lamp"\n'
  } >"$root/UserData/local/lamp$n/config.txt"
  # Library assets pass validation without meshes; the class derives from Library.
  cat >"$root/UserData/local/lamp$n/lamp.gs" <<'SCRIPT'
include "Library.gs"
class Lamp isclass Library
{
  int switched;
  public int SwitchOn(int times) { switched = switched + times; return switched; }
};
SCRIPT
done

start_bench_command_host
# The first validation compiles; every measured one finds the library cached.
"$root/bin/KestroUtil" validate "<kuid:400100:1>" >/dev/null
ls "$root/UserData/cache/libraries/kuid 400100 1/"*.gsl >/dev/null

result=$(bench_pair "$root/validate" "validate (cached script)" \
  "$root/bin/KestroUtil validate <kuid:400100:1>" \
  "validate (no script)" "$root/bin/KestroUtil validate <kuid:400100:2>")
read -r cached plain ratio <<<"$result"
printf "== validate_scripts\nvalidate, cached script median: %.2f ms\nvalidate, no script median:     %.2f ms\n" "$cached" "$plain"
printf "ratio: %.2f (target: within 1.3)\n" "$ratio"
"$root/bin/KestroUtil" closepymdaemon >/dev/null || true
