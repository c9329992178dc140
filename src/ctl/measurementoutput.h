// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/jsontext.h"
#include "measure/analysis.h"

#include <string>
#include <vector>

// What measure prints, and tune-thd before and after: a table per channel
// (the fundamental, THD, THD+N, H2 to H5 with their phases) with what it was
// measured on and its problems in words, or the JSON document of all that.
class MeasurementOutput {
public:
    // What the capture was made of.
    struct Setup {
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
    };

    // "left", "right"; "mono" for one channel.
    static std::string channelName(std::size_t channel, std::size_t channels);

    static std::string text(const Setup& setup, const CaptureAnalysis& analysis);
    static JsonText json(const Setup& setup, const CaptureAnalysis& analysis);
    // The problems in words, one a line, "" when there are none.
    static std::string problemText(const CaptureAnalysis& analysis);

    // A number as JSON: null when it is not finite; rounded to `decimals`.
    static QJsonValue number(double value, int decimals);
    // "-15.50", "-" when not finite.
    static std::string fixed(double value, int decimals);
};
