// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <vector>

class ToolConsole;

// The options of measure, tune-thd and thd-map: the tone, the devices and
// their channels, a recording made elsewhere, the volumes a run plays at,
// and how the result is printed.
class AudioOptions {
public:
    // What a command takes beside the tone, the devices and --json.
    enum Extra {
        InputFile = 1, // --input-file: a recording instead of a capture
        Volume = 2,    // --volume DB: the DAC's volume for the run
        Volumes = 4,   // --volumes LIST: the DAC's volumes, one after another
    };

    static constexpr double defaultFrequencyHz = 997;
    static constexpr double defaultLevelDbfs = -3;
    static constexpr double highestLevelDbfs = 0;   // the level is capped here
    static constexpr int defaultRateHz = 48000;
    static constexpr double defaultSeconds = 1;

    // `extras`: the Extra options the command takes. False once the command
    // line was refused (on `console`).
    bool parse(const ToolConsole& console, const char* command,
               const std::vector<std::string>& arguments, int extras = 0);
    // The DAC's volumes the byte range can hold at the quietest, and the
    // loudest a run may ask for.
    static constexpr double lowestVolumeDb = -127.5;
    static constexpr double highestVolumeDb = 0;

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
    // The interface's inputs to record, 0-based (--input-channels is
    // 1-based); one for a mono capture.
    std::vector<int> inputChannels{0, 1};
    bool inputChannelsGiven = false;
    std::optional<double> volumeDb;
    std::vector<double> volumesDb;

private:
    // One option the parser took, with its value: false once refused.
    bool apply(const ToolConsole& console, const std::string& option, const std::string& value);
};
