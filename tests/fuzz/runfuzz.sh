#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# runfuzz.sh <fuzz binary> <work dir> <seed dir...>
# Fuzzes for SONVALE_FUZZ_SECONDS seconds (default 30), starting from the seed
# directories; new inputs go to <work dir>/corpus, and an input that crashes
# to <work dir>/crash-*. Exits non-zero on any crash, leak, sanitizer report,
# failed check or input slower than 25 s.
set -euo pipefail
binary=$1
work=$2
shift 2
mkdir -p "$work/corpus"
exec "$binary" "$work/corpus" "$@" \
    -max_total_time="${SONVALE_FUZZ_SECONDS:-30}" \
    -timeout=25 -max_len=512 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$work/"
