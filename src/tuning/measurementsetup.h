// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

// What a capture was made of: the tone, the devices and how their streams
// opened, the DAC's volume; or the recording analysed in its place.
struct MeasurementSetup {
    double frequencyHz = 0;     // asked for; 0: none (a file searched for the strongest tone)
    double levelDbfs = 0;       // played, after the cap
    bool levelCapped = false;
    double requestedLevelDbfs = 0;
    std::vector<double>
        expectedLevels; // a file's, per channel, as --level asked; empty: not checked
    // Per channel, after the DAC's volume; empty with a file. The path
    // gain is what arrived against it.
    std::vector<double> playedLevels;
    std::string output;         // '0 "name"'; empty with a file
    bool outputIsDac = false;
    std::vector<double> dacVolumeDb;      // left, right; empty: not through the DAC
    std::string input;
    // How the streams were opened ("WASAPI shared, converted from ...").
    std::string outputMode;
    std::string inputMode;
    std::string file;           // the recording analysed, with its format
    std::string fileFormat;     // "24-bit PCM"
    // The audio interface's own H2 and H3, dBc, per channel, when a profile
    // of it applies (InterfaceProfile); empty otherwise, NaN where the
    // profile holds none for that channel's input.
    struct InterfaceFloor {
        double h2Dbc = std::numeric_limits<double>::quiet_NaN();
        double h3Dbc = std::numeric_limits<double>::quiet_NaN();
    };
    std::vector<InterfaceFloor> interfaceFloors;
    // What a person should know of the figures beside that floor, a
    // sentence each.
    std::vector<std::string> warnings;
};
