#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the link and mirror tests under valgrind's memcheck, against the
# simulated DAC, and fails on any memory error or on a leak that is definitely
# or indirectly lost. Builds into build/ unless another directory is given.
# Not part of scripts/test.sh: the sanitizer run there covers the same ground
# on every test; this is the second opinion, about 4 minutes on 2 cores.
#
#   scripts/memcheck.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
if ! command -v valgrind >/dev/null; then
    echo "valgrind is not installed: apt-get install valgrind" >&2
    exit 1
fi
scripts/build.sh "$dir"

tests=(
    device/tst_report device/tst_ct7601 device/tst_es9038 device/tst_linkcycles
    settings/tst_settingsblock settings/tst_es9038state
    settings/tst_readfaults settings/tst_writefaults
)
failed=()
for t in "${tests[@]}"; do
    name=$(basename "$t")
    log="$dir/memcheck-$name.log"
    echo "memcheck $name (log: $log)"
    if ! QT_QPA_PLATFORM=offscreen valgrind --tool=memcheck --error-exitcode=99 \
            --leak-check=full --show-leak-kinds=definite,indirect \
            --errors-for-leak-kinds=definite,indirect --track-origins=yes \
            --log-file="$log" "$dir/tests/$t" >"$dir/memcheck-$name.out" 2>&1; then
        failed+=("$name")
        grep -E "ERROR SUMMARY|definitely|indirectly|FAIL" "$log" "$dir/memcheck-$name.out" || true
    fi
done
echo "${#tests[@]} run under memcheck, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
