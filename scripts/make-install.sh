#!/usr/bin/env bash
# Lays out an installation root from a build folder: ROOT/bin with the tool, the stand-in
# daemon and the modules the tool loads, the "data" volume and the validation data folder, the
# standard script libraries and their sources (ROOT/scripts), and ROOT/UserData.
set -euo pipefail
build=${1:?build folder}
root=${2:?installation root}
repo=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$root/bin/data" "$root/bin/TETData" "$root/UserData"
# Copies, not links: the program folder comes from the resolved executable path. The old file
# goes first, so a daemon still running from it does not block the copy.
for program in KestroUtil PymDaemon; do
  rm -f "$root/bin/$program"
  cp "$build/$program" "$root/bin/$program"
done
# The native-interface library the program and its plug-ins share, and its C header for plug-in
# writers; the plug-in folder ROOT/bin/plugins.
if [[ -f "$build/libkestronativeinterface.so" ]]; then
  rm -f "$root/bin/libkestronativeinterface.so"
  cp "$build/libkestronativeinterface.so" "$root/bin/"
  cp "$repo/src/nativeinterface/kestro_native_interface.h" "$root/bin/"
  mkdir -p "$root/bin/plugins"
fi
# The DXT compressor module, which the tool loads beside itself when a texture needs it.
if [[ -f "$build/libkestrodxtcodec.so" ]]; then
  rm -f "$root/bin/libkestrodxtcodec.so"
  cp "$build/libkestrodxtcodec.so" "$root/bin/"
fi
cp -R "$repo/data/data/." "$root/bin/data/"
if [[ -d "$build/libraries" ]]; then
  mkdir -p "$root/bin/libraries"
  cp "$build"/libraries/*.gsl "$root/bin/libraries/"
fi
# The standard libraries' sources: the include root of asset scripts.
mkdir -p "$root/scripts"
cp "$repo"/gslib/*.gs "$root/scripts/"
if [[ -d "$repo/data/TETData" ]]; then
  cp -R "$repo/data/TETData/." "$root/bin/TETData/"
fi
