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
    for (const std::vector<double>& channel : samples) {
        capture.spectra.push_back(Spectrum::hannLevelsDbfs(channel.data(), n));
        capture.samples.emplace_back(channel.begin(), channel.begin() + std::ptrdiff_t(n));
    }
    return capture;
}
