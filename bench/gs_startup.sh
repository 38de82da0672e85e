#!/usr/bin/env bash
# Start-up of the script runner: `gsrun` calling an empty method of a compiled class (the
# standard libraries registered, and those the class needs loaded, checked and linked, as on
# every run) beside `lua5.4 -e ''`, the Lua interpreter with its standard libraries opened and
# nothing to run, in alternating rounds (scripts/bench-pair.sh). Prints both medians and their
# ratio; the target is a ratio within 1.5.
set -euo pipefail
source "$(dirname "$0")/../scripts/bench-size.sh"
source "$(dirname "$0")/../scripts/bench-pair.sh"
build=$(cd "${1:?build folder}" && pwd)
if ! command -v hyperfine >/dev/null || ! command -v lua5.4 >/dev/null; then
  echo "gs_startup: hyperfine or lua5.4 is missing (scripts/install-deps.sh --bench); skipped"
  exit 0
fi
if [[ ! -x "$build/gsrun" || ! -x "$build/gsc" ]]; then
  echo "gs_startup: $build/gsrun or $build/gsc is missing; skipped"
  exit 0
fi

work=$(mktemp -d /tmp/kestro-bench-gsstartup.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/lib"
cat >"$work/empty.gs" <<'SCRIPT'
class Empty {
  public void Run() { }
};
SCRIPT
"$build/gsc" -s "$work/empty.gs" "-p$work/lib/" >/dev/null
# Both must run cleanly, or the timings mean nothing.
[[ $("$build/gsrun" --lib "$work/lib" --class Empty --call Run | tail -n 1) == "result: void" ]]
lua5.4 -e ''

result=$(bench_pair "$work/startup" "gsrun (empty method)" \
  "$build/gsrun --lib $work/lib --class Empty --call Run" "lua5.4 -e ''" "lua5.4 -e ''")
read -r gs lua ratio <<<"$result"
printf "== gs_startup\ngsrun, empty method median: %s ms\nlua5.4 -e '' median:        %s ms\n" "$gs" "$lua"
printf "ratio: %s (target within 1.5)\n" "$ratio"
