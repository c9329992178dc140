#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Configures and builds Sonvale into build/ (or the directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
[ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir"
