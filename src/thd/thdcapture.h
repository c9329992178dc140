// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "measure/analysis.h"

#include <vector>

// One capture as the assistant shows it: the analysis of each channel and
// its spectrum.
struct ThdCapture {
    CaptureAnalysis analysis;
    // Per input channel (0 left, 1 right), the level of each bin 0..n/2 in
    // dBFS, scaled so that a full-scale sine centred on a bin reads 0 dBFS
    // there (Hann window). A long capture is shown by its first second, so
    // that a trace never grows past half the rate in points.
    std::vector<std::vector<float>> spectra;
    double binHz = 0; // the width of one bin
    // Per channel, the dB from the level played to the level that arrived:
    // the gain of the path (the interface's input knob, the cable), which
    // nothing knows beforehand. NaN for a channel without a tone.
    std::vector<double> pathGainsDb;
    // Per channel, the samples `spectra` were made of (the first second of
    // a long capture), for the spectrum to be exported as sonvalectl
    // measure --csv writes it: a one-second capture whole.
    std::vector<std::vector<double>> samples;

    bool isEmpty() const { return analysis.channels.empty(); }

    // `analysis` with the spectrum of each channel of `samples` (none when
    // there are no samples) and its path gains.
    static ThdCapture of(const CaptureAnalysis& analysis,
                         const std::vector<std::vector<double>>& samples,
                         std::vector<double> pathGainsDb);
};
