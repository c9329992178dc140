// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdcapture.h"

#include "measure/spectrum.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Longer captures (a refinement may take two minutes) are shown by their
// first second: enough resolution to see each harmonic apart, and a trace
// a plot redraws in a frame.
constexpr double shownSeconds = 1.0;

// The level of each bin in dBFS: the Hann window's coherent gain is 1/2,
// so a sine of peak A centred on bin k gives |X_k| = A·n/4.
std::vector<float> spectrumOf(const std::vector<double>& samples, std::size_t n)
{
    const std::vector<double> power = Spectrum::hannPower(samples.data(), n);
    const double fullScale = double(n) / 4.0;
    std::vector<float> levels(power.size());
    for (std::size_t k = 0; k < power.size(); ++k) {
        const double db =
            10.0 * std::log10(std::max(power[k], 1e-300)) - 20.0 * std::log10(fullScale);
        levels[k] = float(std::max(db, -300.0));
    }
    return levels;
}

} // namespace

ThdCapture ThdCapture::of(const CaptureAnalysis& analysis,
                          const std::vector<std::vector<double>>& samples,
                          std::vector<double> pathGainsDb)
{
    ThdCapture capture;
    capture.analysis = analysis;
    capture.pathGainsDb = std::move(pathGainsDb);
    if (samples.empty() || analysis.rateHz <= 0)
        return capture;
    const std::size_t count = samples.front().size();
    const std::size_t n = Spectrum::fastLength(
        std::min<std::size_t>(count, std::size_t(std::llround(analysis.rateHz * shownSeconds))));
    if (n < 2)
        return capture;
    capture.binHz = analysis.rateHz / double(n);
    for (const std::vector<double>& channel : samples)
        capture.spectra.push_back(spectrumOf(channel, n));
    return capture;
}
