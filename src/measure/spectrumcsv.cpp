// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/spectrumcsv.h"

#include "measure/analysis.h"
#include "measure/spectrum.h"

#include <cstdio>

std::string SpectrumCsv::text(const std::vector<std::vector<double>>& channels, double rateHz)
{
    std::string text = "frequency_hz";
    for (std::size_t c = 0; c < channels.size(); ++c)
        text += "," + CaptureAnalysis::channelName(c, channels.size()) + "_dbfs";
    text += "\n";
    const std::size_t n = channels.empty() ? 0 : Spectrum::fastLength(channels.front().size());
    if (n < 2)
        return text;
    std::vector<std::vector<float>> levels;
    for (const std::vector<double>& channel : channels)
        levels.push_back(Spectrum::hannLevelsDbfs(channel.data(), n));
    char cell[32];
    for (std::size_t k = 0; k < levels.front().size(); ++k) {
        std::snprintf(cell, sizeof cell, "%.3f", double(k) * rateHz / double(n));
        text += cell;
        for (const std::vector<float>& channel : levels) {
            std::snprintf(cell, sizeof cell, ",%.2f", double(channel[k]));
            text += cell;
        }
        text += "\n";
    }
    return text;
}
