// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <vector>

class ToolConsole;

// The options of measure and tune-thd: the tone, the devices, a recording
// made elsewhere, and how the result is printed.
class AudioOptions {
public:
    static constexpr double defaultFrequencyHz = 997;
    static constexpr double defaultLevelDbfs = -3;
    static constexpr double highestLevelDbfs = 0;   // the level is capped here
    static constexpr int defaultRateHz = 48000;
    static constexpr double defaultSeconds = 1;

    // What measure and tune-thd take; `withFile`: --input-file too. False
    // once the command line was refused (on `console`).
    bool parse(const ToolConsole& console, const char* command, const std::vector<std::string>& arguments,
               bool withFile);

    bool json = false;
    double frequencyHz = defaultFrequencyHz;
    bool frequencyGiven = false;
    double levelDbfs = defaultLevelDbfs;   // at most highestLevelDbfs
    bool levelGiven = false;
    bool levelCapped = false;              // more than 0 dBFS was asked for
    double requestedLevelDbfs = defaultLevelDbfs;
    int rateHz = defaultRateHz;
    double seconds = defaultSeconds;
    std::optional<std::string> output;    // as the user named it
    std::optional<std::string> input;
    std::optional<std::string> inputFile;
};
