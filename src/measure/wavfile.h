// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// A recording made elsewhere, for analysis: RIFF/WAVE with PCM 16-, 24- or
// 32-bit integer or 32-bit IEEE float samples (format 1, 3, or
// WAVE_FORMAT_EXTENSIBLE with either subformat), one or two channels, 44.1
// to 192 kHz. Anything else is refused with a reason a user can act on.

#include "base/error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class WavFile {
public:
    static constexpr int minimumRateHz = 44100;
    static constexpr int maximumRateHz = 192000;
    static constexpr int maximumChannels = 2;
    // Longer recordings are refused rather than analysed in part: about
    // 5.8 minutes of 48 kHz stereo.
    static constexpr std::size_t maximumSamples = std::size_t(1) << 25;

    // `path` in UTF-8. A Kind::File error with the reason ("unsupported
    // format: 8-bit PCM", "truncated: ...") when the file cannot be used.
    Error read(const std::string& path);
    Error parse(const uint8_t* bytes, std::size_t size);

    int rateHz = 0;
    int bitsPerSample = 0;
    bool isFloat = false;
    // One vector per channel, full scale 1.0 (an integer sample over 2^(bits−1)).
    std::vector<std::vector<double>> channels;

    // `channels` (one vector a channel, of one length, full scale 1.0) as a
    // WAV file of 32-bit float samples at `rateHz`: what any analyser reads
    // without a loss that a measurement could see.
    static std::vector<uint8_t> floatFile(const std::vector<std::vector<double>>& channels, int rateHz);

    // "24-bit PCM", "32-bit float": for the reports.
    std::string formatName() const;
    double seconds() const;
};
