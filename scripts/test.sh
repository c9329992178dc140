#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, checks that every file states its licence
# (reuse lint), builds, and runs every test: first in build/ with the default
# compiler, where the Debian package is also built and checked, then in
# build-asan/ with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# where the libFuzzer targets also run, each for SONVALE_FUZZ_SECONDS seconds
# (default 30); then the Windows leg (scripts/windows.sh): the cross build in
# build-win64/, its tests under wine64, and the release with its checks.
# SONVALE_SKIP_WINDOWS=1 leaves the Windows leg out, for a quick local run.
#
# On a fresh machine the Windows leg first builds its third-party libraries
# (Qt above all, some 23 minutes on two cores): that starts at once, beside
# the Linux leg, whose tests leave the cores idle much of the time (the
# device's pauses, the sound server), and the Windows leg waits for it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p build-logs
deps=
if [ "${SONVALE_SKIP_WINDOWS:-}" != 1 ]; then
    nice scripts/windows.sh deps >build-logs/windows-deps.log 2>&1 &
    deps=$!
fi
# Every file states its copyright and licence, as REUSE asks (reuse lint).
reuse lint --quiet || { reuse lint; exit 1; }
scripts/build.sh build
ctest --test-dir build --output-on-failure -j2
scripts/package.sh build

CC=clang CXX=clang++ scripts/build.sh build-asan -DSONVALE_FUZZ=ON
export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2

if [ "${SONVALE_SKIP_WINDOWS:-}" = 1 ]; then
    echo "SONVALE_SKIP_WINDOWS=1: the Windows leg (scripts/windows.sh) is left out"
else
    wait "$deps" || { cat build-logs/windows-deps.log; echo "the Windows leg's libraries failed to build" >&2; exit 1; }
    cat build-logs/windows-deps.log
    scripts/windows.sh
fi
