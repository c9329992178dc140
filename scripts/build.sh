#!/usr/bin/env bash
# Configures and builds Sonvale into build/ (or the directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
[ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir"
