// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/jsontext.h"
#include "measure/analysis.h"
#include "measure/interfaceseparation.h"
#include "tuning/measurementsetup.h"

#include <string>
#include <vector>

// What measure prints, and tune-thd before and after: a table per channel
// (the fundamental, THD, THD+N, H2 to H5 with their phases) with what it was
// measured on and its problems in words, or the JSON document of all that.
class MeasurementOutput {
public:
    using Setup = MeasurementSetup;

    static std::string text(const Setup& setup, const CaptureAnalysis& analysis);
    // `separation`: the shares of each harmonic (--separate), which each
    // harmonic's object then carries as "dac" and "interface".
    static JsonText json(const Setup& setup, const CaptureAnalysis& analysis,
                         const InterfaceSeparation* separation = nullptr);
    // One channel of json()'s "channels": its level, path gain, THD, THD+N,
    // harmonics and problems.
    static JsonText channelJson(const Setup& setup, const CaptureAnalysis& analysis, std::size_t channel,
                                const InterfaceSeparation* separation = nullptr);
    // The DAC's and the interface's shares of H2 to H5, per channel.
    static std::string separationText(const InterfaceSeparation& separation, std::size_t channels);
    // The problems in words, one a line, "" when there are none.
    static std::string problemText(const CaptureAnalysis& analysis);

    // A number as JSON: null when it is not finite; rounded to `decimals`.
    static QJsonValue number(double value, int decimals);
    // "-15.50", "-" when not finite.
    static std::string fixed(double value, int decimals);
};
