#!/usr/bin/env bash
# Checks the naming convention of .clang-tidy over the sources of src/, daemon/ and tools/ (our
# headers through the sources that include them; not the generated scanner and parser, not the
# tests, benchmarks or fuzz targets). Prints each misnamed declaration as file:line:column and
# fails when there is one. The libraries' sources are read a few to a unit, as the side builds
# compile them (each shared header parsed once a unit); the test build still compiles every
# source alone.
#   scripts/check-naming.sh [build folder]      default build/naming, a configure-only folder
#   NAMING_JOBS=n                                parallel clang-tidy runs, default nproc
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/naming}
jobs=${NAMING_JOBS:-$(nproc)}

bash scripts/install-deps.sh --lint
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
  echo "check-naming: clang-tidy is missing" >&2
  exit 1
fi

# Configure only: the compile commands, and the generated parser header that sources include.
# The header's own command runs alone (building it through ninja would build the libraries first).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRO_TESTS=OFF -DKESTRO_UNITY=ON \
  >/dev/null
mapfile -t generated < <(ninja -C "$build" -t targets all |
  sed -n 's|^\(generated/[^:]*\.h\): CUSTOM_COMMAND$|\1|p')
for header in "${generated[@]}"; do
  bash -c "$(ninja -C "$build" -t commands "$header" | tail -n 1)" >/dev/null
done

# A unit's sources count as its headers, so the filter names them too.
units=$(cd "$build" && pwd)/CMakeFiles
mapfile -t sources < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" |
  sed 's/^"file": "\(.*\)"$/\1/' |
  grep -E "^($root/(src|daemon|tools)/.*\.cpp|$units/[^/]+/Unity/unity_[0-9]+_cxx\.cxx)$" |
  sort -u)
filter='/((src/[a-z_]+|daemon|tools/[a-z_]+)/[^/]+\.cpp|(src/[a-z_]+|daemon)/[^/]+\.h)$'
if ((${#sources[@]} == 0)); then
  echo "check-naming: no sources in $build/compile_commands.json" >&2
  exit 1
fi

log="$build/check-naming.log"
status=0
printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -n 1 "$tidy" -p "$build" --quiet --header-filter="$filter" >"$log" \
    2>/dev/null || status=$?

# Every diagnostic counts: a naming warning, or an error that kept a file from being checked.
findings=$(grep -E '(warning|error):' "$log" | sed "s|^$root/||" | sort -u || true)
if [[ -n $findings ]]; then
  echo "$findings"
  echo "check-naming: $(wc -l <<<"$findings") finding(s); the convention is in .clang-tidy" >&2
  exit 1
fi
if ((status != 0)); then
  echo "check-naming: clang-tidy failed (status $status); see $log" >&2
  exit 1
fi
echo "check-naming: ${#sources[@]} sources checked, no findings"
