#!/bin/sh
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# sonvalectl on the real libusb, runs against one emulated DAC: save its
# block, load a preset changed by sonvale-preset (with another hwType, which
# the DAC keeps its own of), show what the DAC holds, undo the load, and find
# the DAC holding the saved block again. The history lives in FOLDER.
#   ctlsession.sh SONVALECTL SONVALE_PRESET FOLDER
set -e
ctl=$1
preset=$2
dir=$3
rm -rf "$dir"
mkdir -p "$dir"
export XDG_DATA_HOME="$dir/data"
"$ctl" save "$dir/saved.sonvale"
"$preset" check "$dir/saved.sonvale"
"$preset" show "$dir/saved.sonvale"
cp "$dir/saved.sonvale" "$dir/changed.sonvale"
"$preset" set "$dir/changed.sonvale" hwType=x "volume[0]=40" "volume[1]=40" "thd_range1[0]=-16" \
    "pcm_mclk[3]=4" "pcm_filter[2]=Linear phase slow"
"$ctl" load "$dir/changed.sonvale"
"$ctl" show
"$ctl" undo
"$ctl" diff "$dir/saved.sonvale"
