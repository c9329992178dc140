// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "tuning/measurementoptions.h"

#include <optional>
#include <string>
#include <vector>

class ToolConsole;

// The options of measure, tune-thd and thd-map: the tone, the devices and
// their channels, a recording made elsewhere, the volumes a run plays at,
// and how the result is printed.
class AudioOptions : public MeasurementOptions {
public:
    // What a command takes beside the tone, the devices and --json.
    enum Extra {
        InputFile = 1, // --input-file: a recording instead of a capture; --save-capture
                       // keeps a capture as one, --csv its spectrum
        Volume = 2,    // --volume DB: the DAC's volume for the run
        Volumes = 4,   // --volumes LIST: the DAC's volumes, one after another
        Separate = 8,  // --separate: the interface's share told from the DAC's
    };

    // `extras`: the Extra options the command takes. False once the command
    // line was refused (on `console`). --input-channels is 1-based.
    bool parse(const ToolConsole& console, const char* command,
               const std::vector<std::string>& arguments, int extras = 0);

    bool json = false;
    // A second capture after the person changed the interface's input
    // gain, which tells the interface's share of each harmonic.
    bool separate = false;
    // Where the capture's recording is written, as 32-bit float WAV.
    std::optional<std::string> saveCapture;
    // Where the spectrum of what was analysed is written, as CSV.
    std::optional<std::string> csv;

private:
    // One option the parser took, with its value: false once refused.
    bool apply(const ToolConsole& console, const std::string& option, const std::string& value);
};
