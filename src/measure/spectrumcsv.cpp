// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/spectrumcsv.h"

#include "measure/spectrum.h"

#include <cstdio>

namespace {

// The reports' names of the channels: "left", "right", "mono" for one.
std::string channelName(std::size_t channel, std::size_t channels)
{
    if (channels == 1)
        return "mono";
    if (channel < 2)
        return channel == 0 ? "left" : "right";
    return "channel " + std::to_string(channel + 1);
}

} // namespace

std::string SpectrumCsv::text(const std::vector<std::vector<double>>& channels, double rateHz)
{
    std::string text = "frequency_hz";
    for (std::size_t c = 0; c < channels.size(); ++c)
        text += "," + channelName(c, channels.size()) + "_dbfs";
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
