#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and starts Sonvale against the simulated
# DAC. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    cat >&2 <<'MSG'
There is no display to open the window on. Either run it under a virtual
X server:
    apt-get install xvfb && xvfb-run -a build/sonvale-sim
or without any window system (nothing visible, useful for a quick check):
    QT_QPA_PLATFORM=offscreen build/sonvale-sim
MSG
    exit 1
fi
exec build/sonvale-sim "$@"
