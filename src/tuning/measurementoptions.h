// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <vector>

// What a measurement plays and records on: the tone, the devices and their
// channels, a recording made elsewhere, and the DAC's volumes a run plays
// at. sonvalectl takes them from its command line, the THD assistant from
// its window.
struct MeasurementOptions {
    static constexpr double defaultFrequencyHz = 997;
    static constexpr double defaultLevelDbfs = -3;
    static constexpr double highestLevelDbfs = 0;   // the level is capped here
    static constexpr int defaultRateHz = 48000;
    static constexpr double defaultSeconds = 1;
    // The DAC's volumes the byte range can hold at the quietest, and the
    // loudest a run may ask for.
    static constexpr double lowestVolumeDb = -127.5;
    static constexpr double highestVolumeDb = 0;

    double frequencyHz = defaultFrequencyHz;
    bool frequencyGiven = false;
    double levelDbfs = defaultLevelDbfs;   // at most highestLevelDbfs
    bool levelGiven = false;
    bool levelCapped = false;              // more than 0 dBFS was asked for
    double requestedLevelDbfs = defaultLevelDbfs;
    int rateHz = defaultRateHz;
    double seconds = defaultSeconds;
    std::optional<std::string> output;    // as the person named it
    std::optional<std::string> input;
    std::optional<std::string> inputFile;
    // The interface's inputs to record, 0-based; one for a mono capture.
    std::vector<int> inputChannels{0, 1};
    bool inputChannelsGiven = false;
    std::optional<double> volumeDb;
    std::vector<double> volumesDb;
};
