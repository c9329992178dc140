// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/thdcaptures.h"

#include "measure/decibels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A capture's noise estimate wanders by a few per cent: one made for a
// precision that lands this close to it has told it.
constexpr double noiseSpread = 1.1;
constexpr int lowest = SettingsBlock::thdValueLowest;
constexpr int highest = SettingsBlock::thdValueHighest;

double squared(double x)
{
    return x * x;
}

} // namespace

void ThdCaptures::setOutputs(int outputs)
{
    for (auto& pair : acting)
        pair.assign(std::size_t(std::max(0, outputs)), {false, false});
}

void ThdCaptures::add(const ThdValues& values, const CaptureAnalysis& analysis, double lengthFactor)
{
    captures.push_back({values, analysis, lengthFactor});
}

void ThdCaptures::setActs(int pair, int output, int which, bool acts)
{
    acting[std::size_t(pair)].at(std::size_t(output))[std::size_t(which)] = acts;
}

bool ThdCaptures::acts(int pair, int output, int which) const
{
    return acting[std::size_t(pair)].at(std::size_t(output))[std::size_t(which)];
}

std::complex<double> ThdCaptures::harmonic(const CaptureAnalysis& capture, int output, int which)
{
    return capture.channels[std::size_t(output)].harmonics[std::size_t(2 + which)];
}

double ThdCaptures::noise(const CaptureAnalysis& capture, int output)
{
    return capture.channels[std::size_t(output)].harmonicNoise;
}

double ThdCaptures::distortion(const CaptureAnalysis& capture)
{
    double sum = 0;
    for (std::size_t output = 0; output < capture.channels.size(); ++output) {
        for (int which = 0; which < 2; ++which)
            sum += std::norm(harmonic(capture, int(output), which));
    }
    return sum;
}

// 2σ² per complex harmonic.
double ThdCaptures::noiseDistortion(const CaptureAnalysis& capture)
{
    double sum = 0;
    for (const ChannelAnalysis& channel : capture.channels)
        sum += 2 * 2 * squared(channel.harmonicNoise);
    return sum;
}

// |h + n|² moves by 2·Re(conj(h)·n) + |n|²: for a large h far more than
// the mean of |n|², 2σ².
double ThdCaptures::distortionSpread(const CaptureAnalysis& capture)
{
    double variance = 0;
    for (std::size_t output = 0; output < capture.channels.size(); ++output) {
        const double sigma = capture.channels[output].harmonicNoise;
        for (int which = 0; which < 2; ++which)
            variance += 4 * squared(sigma)
                        * (std::norm(harmonic(capture, int(output), which)) + squared(sigma));
    }
    return std::sqrt(variance);
}

double ThdCaptures::worstDbc(const CaptureAnalysis& capture)
{
    double worst = -std::numeric_limits<double>::infinity();
    for (std::size_t output = 0; output < capture.channels.size(); ++output) {
        for (int which = 0; which < 2; ++which)
            worst = std::max(worst, linearToDb(std::abs(harmonic(capture, int(output), which))));
    }
    return worst;
}

ThdLine ThdCaptures::line(int pair, int which, int output) const
{
    ThdLine fitted;
    if (captures.empty())
        return fitted;
    const ThdValues& start = captures.front().values;
    for (const Capture& capture : captures) {
        if (int(capture.analysis.channels.size()) <= output)
            continue;
        bool alone = true;
        for (int other = 0; other < ThdValues::pairCount; ++other) {
            if (other != pair && acts(other, output, which)
                && capture.values.pairs[std::size_t(other)][std::size_t(which)]
                       != start.pairs[std::size_t(other)][std::size_t(which)])
                alone = false;
        }
        if (alone)
            fitted.add(capture.values.pairs[std::size_t(pair)][std::size_t(which)],
                       harmonic(capture.analysis, output, which), noise(capture.analysis, output));
    }
    return fitted;
}

// The step minimises Σ|h + g·step|² over the outputs:
//     step = −Σ Re(conj(g)·h) / Σ|g|²
// and the capture's noise σ on each output leaves it uncertain by
// √(Σ|g|²σ²) / Σ|g|². That shrinks with the square root of the length.
ThdCaptures::Plan ThdCaptures::plan(int pair, int which, const std::vector<int>& outputs,
                                    std::size_t from, const ThdSolver::Settings& settings) const
{
    Plan plan;
    const Capture& latest = captures.at(from);
    double weight = 0, projection = 0, variance = 0, strongest = 0;
    for (int output : outputs) {
        if (!acts(pair, output, which))
            continue;
        const ThdLine fitted = line(pair, which, output);
        if (!fitted.fits())
            continue;
        const std::complex<double> g = fitted.slope();
        weight += std::norm(g);
        projection += (std::conj(g) * harmonic(latest.analysis, output, which)).real();
        variance += std::norm(g) * squared(noise(latest.analysis, output));
        strongest = std::max(strongest, std::abs(g));
    }
    if (!(weight > 0))
        return plan;
    plan.solvable = true;
    plan.step = -projection / weight;
    plan.uncertainty = std::sqrt(variance) / weight;
    // The uncertainty a capture of the usual length leaves, and the most
    // the longest capture can take from it.
    const double usual = plan.uncertainty * std::sqrt(std::max(1.0, latest.lengthFactor));
    const double longest = std::max(1.0, settings.longestFactor);
    const double negligible = dbToLinear(settings.negligibleDbc);
    double needed = std::max(settings.resolution, 1e-3);
    // Where a unit moves the harmonic by less than what is negligible, or
    // the longest capture cannot tell the resolution, the value is needed
    // only as well as keeps what its uncertainty leaves negligible.
    if (strongest < negligible || squared(usual / needed) > longest)
        needed = std::max(needed, negligible / strongest);
    plan.needed = std::max(needed, usual / std::sqrt(longest));
    plan.lengthFactor = std::clamp(squared(usual / plan.needed), 1.0, longest);
    // Settled: the capture tells it that well, and puts it no further than
    // that from its null.
    plan.settled =
        plan.uncertainty <= noiseSpread * plan.needed && std::abs(plan.step) <= plan.needed;
    return plan;
}

ThdCaptures::Next ThdCaptures::next(const std::array<ThdSolver::PairEffect, 3>& pairs,
                                    std::size_t from, const ThdSolver::Settings& settings) const
{
    Next next;
    next.values = captures.at(from).values;
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        const std::vector<int>& drives = pairs[std::size_t(pair)].drives;
        for (int which = 0; which < 2; ++which) {
            const Plan planned = plan(pair, which, drives, from, settings);
            if (!planned.solvable || planned.settled)
                continue;
            next.settled = false;
            next.lengthFactor = std::max(next.lengthFactor, planned.lengthFactor);
            int16_t& value = next.values.pairs[std::size_t(pair)][std::size_t(which)];
            const double target = std::round(value + planned.step);
            next.beyondRange = next.beyondRange || target < lowest || target > highest;
            value = int16_t(std::clamp(target, double(lowest), double(highest)));
            next.outputs.insert(next.outputs.end(), drives.begin(), drives.end());
        }
    }
    std::sort(next.outputs.begin(), next.outputs.end());
    next.outputs.erase(std::unique(next.outputs.begin(), next.outputs.end()), next.outputs.end());
    return next;
}
