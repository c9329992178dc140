// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

// A capture's spectrum as a spreadsheet reads it: what sonvalectl measure
// --csv writes and the THD assistant exports.
class SpectrumCsv {
public:
    // The spectrum of `channels` (Hann window, the longest fast length), a
    // header row ("frequency_hz,left_dbfs,right_dbfs"; "mono_dbfs" for one
    // channel) then a row a bin: its frequency in Hz and each channel's
    // level in dBFS.
    static std::string text(const std::vector<std::vector<double>>& channels, double rateHz);
};
