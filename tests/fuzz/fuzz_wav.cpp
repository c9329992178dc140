// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV reader on arbitrary bytes, and the analysis on whatever it reads.
// A file is either refused with a reason and no samples, or read into one
// or two channels of equal, non-zero length at a rate from 44.1 to 192 kHz,
// every sample finite and, for integer formats, within [-1, 1).

#include "measure/analysis.h"
#include "measure/wavfile.h"

#include "fuzzcheck.h"

#include <cmath>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    WavFile file;
    const Error error = file.parse(data, size);
    if (error) {
        FUZZ_CHECK(error.kind == Error::Kind::File, "refused as no file error");
        FUZZ_CHECK(!error.cause.empty(), "refused without a reason");
        FUZZ_CHECK(file.channels.empty(), "refused but kept %zu channels", file.channels.size());
        return 0;
    }
    FUZZ_CHECK(file.channels.size() == 1 || file.channels.size() == 2, "%zu channels", file.channels.size());
    FUZZ_CHECK(file.rateHz >= WavFile::minimumRateHz && file.rateHz <= WavFile::maximumRateHz, "rate %d",
               file.rateHz);
    const std::size_t frames = file.channels[0].size();
    FUZZ_CHECK(frames > 0, "no frames");
    for (const std::vector<double>& channel : file.channels) {
        FUZZ_CHECK(channel.size() == frames, "channels of %zu and %zu frames", frames, channel.size());
        for (double sample : channel) {
            FUZZ_CHECK(std::isfinite(sample), "a sample that is not finite");
            FUZZ_CHECK(file.isFloat || (sample >= -1.0 && sample < 1.0), "integer sample %g", sample);
        }
    }

    // What it read, analysed: every figure of a channel with a tone is a
    // number, and one without a tone says so.
    const CaptureAnalysis capture = analyseCapture(file.channels, file.rateHz);
    FUZZ_CHECK(capture.channels.size() == file.channels.size(), "analysed %zu channels", capture.channels.size());
    for (const ChannelAnalysis& channel : capture.channels) {
        if (channel.hasTone) {
            FUZZ_CHECK(std::isfinite(channel.levelDbfs) && std::isfinite(channel.frequencyHz),
                       "a tone without a level or frequency");
            FUZZ_CHECK(channel.frequencyHz > 0 && channel.frequencyHz < file.rateHz / 2.0, "tone at %g Hz",
                       channel.frequencyHz);
        } else {
            bool said = false;
            for (const std::string& problem : channel.problems)
                said = said || problem == Problem::noSignal;
            FUZZ_CHECK(said, "no tone, and no \"no signal\"");
        }
    }
    return 0;
}
