#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Quiet when everything is present. "--fuzz" adds the clang tool chain for libFuzzer, "--bench"
# the command-line benchmark runner, the Lua compiler that the parser and compile benchmarks run
# beside, the texture compressor that the texture benchmark runs beside, the time command that
# measures peak memory (compile, createcdp), mkfs.ext4 for the loop file system the flush
# benchmarks time on, the Lua library that the interpreter benchmark
# links and LuaJIT, whose interpreter that benchmark loads beside it, "--lint" the clang-tidy of
# the naming check. "--list" prints the packages named for the given modes instead of installing
# them (scripts/check-deps.sh reads it).
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  libssl-dev libnvtt-dev flex libfl-dev bison
  libfreetype-dev libfontconfig-dev fonts-dejavu-core
  libstb-dev libsqlite3-dev libcurl4-openssl-dev zlib1g-dev linux-libc-dev
  # The daemon's fetches from an https repository check its certificate against these; curl
  # only recommends them.
  ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
)
list=false
for extra in "$@"; do
  case "$extra" in
    # llvm: CMake archives with llvm-ar when it is there, and the sanitizers symbolize with it.
    --fuzz) packages+=(clang libclang-rt-14-dev llvm) ;;
    --bench) packages+=(hyperfine lua5.4 liblua5.4-dev libnvtt-bin time luajit e2fsprogs) ;;
    --lint) packages+=(clang-tidy) ;;
    --list) list=true ;;
    *) echo "install-deps: unknown option $extra" >&2; exit 2 ;;
  esac
done
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
