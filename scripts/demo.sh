#!/usr/bin/env bash
# Lays out a demo installation from a build folder and shows the tool at work.
set -euo pipefail
build=${1:-build/release}
"$build/KestroUtil" help
