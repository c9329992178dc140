// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Captures whose answer is known: a sine with chosen harmonics, clock offset,
// delay, DC and noise; and the DAC's analog path as the THD compensation
// sees it, for the solver. Shared by the tests and the benchmark.

#include "measure/analysis.h"
#include "measure/thdsolver.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace Synthetic {

constexpr double pi = 3.14159265358979323846;

struct Harmonic {
    double dbc;
    double phaseDeg;
};

struct Tone {
    double rateHz = 48000;
    double frequencyHz = 997;
    double levelDbfs = -3;
    double seconds = 1;
    double ppm = 0;            // the capture's clock against the player's
    double delaySamples = 0;
    double dc = 0;
    double noiseDbfs = -1000;  // white, RMS against a full-scale sine's
    std::map<int, Harmonic> harmonics;
    int quantiseBits = 0;      // 0: not quantised
    unsigned seed = 1;
};

// The phase of the fundamental at the first sample, before the delay: any
// value, the harmonics' phases are relative to it.
constexpr double startPhase = 0.7;

inline double noiseRms(double noiseDbfs)
{
    return std::pow(10.0, noiseDbfs / 20.0) / std::sqrt(2.0);
}

inline std::vector<double> synthesize(const Tone& tone)
{
    const std::size_t count = std::size_t(std::llround(tone.seconds * tone.rateHz));
    const double amplitude = std::pow(10.0, tone.levelDbfs / 20.0);
    const double omega = 2 * pi * tone.frequencyHz * (1 + tone.ppm * 1e-6) / tone.rateHz;
    std::mt19937_64 random(tone.seed);
    std::normal_distribution<double> noise(0.0, noiseRms(tone.noiseDbfs));
    const double scale = tone.quantiseBits ? std::ldexp(1.0, tone.quantiseBits - 1) : 0;
    std::vector<double> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double theta = omega * (double(i) - tone.delaySamples) + startPhase;
        double x = tone.dc + amplitude * std::cos(theta);
        for (const auto& [order, h] : tone.harmonics)
            x += amplitude * std::pow(10.0, h.dbc / 20.0) * std::cos(order * theta + h.phaseDeg * pi / 180);
        x += noise(random);
        if (scale)
            x = std::clamp(std::round(x * scale), -scale, scale - 1) / scale;
        samples[i] = x;
    }
    return samples;
}

// The DAC and a loopback interface, per output: y = x + a2·x² + a3·x³ with
// a2 = h2 + k2·c2 and a3 = h3 + k3·c3, c2 and c3 the values of the pair that
// drives the output; then the interface adds adc2·y² + adc3·y³, a 2nd
// harmonic in quadrature (a phase shift the values cannot follow), noise and
// a clock offset.
struct AnalogPath {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k2 = 1e-7;
    double k3 = 1e-7;
    int driver[2] = {0, 1};      // the pair that drives left, right (-1 none)
    double noiseDbfs = -130;
    double ppm = 0;
    double adc2 = 0;
    double adc3 = 0;
    double quadratureH2 = 0;     // relative to the fundamental
    double levelDbfs = -3;
    double frequencyHz = 997;
    double rateHz = 48000;
    int dropoutAtCapture = 0;    // this capture (1-based) loses 2 ms
    int captures = 0;
    std::vector<ThdValues> written;

    // The value that nulls a harmonic of an output: a = 0.
    double optimum(int output, int which) const
    {
        return which == 0 ? -(h2[output] + adc2) / k2 : -(h3[output] + adc3) / k3;
    }

    CaptureAnalysis operator()(const ThdValues& values)
    {
        ++captures;
        written.push_back(values);
        const std::size_t count = std::size_t(rateHz);
        const double amplitude = std::pow(10.0, levelDbfs / 20.0);
        const double omega = 2 * pi * frequencyHz * (1 + ppm * 1e-6) / rateHz;
        std::mt19937_64 random(1000 + captures);
        std::normal_distribution<double> noise(0.0, noiseRms(noiseDbfs));
        std::vector<std::vector<double>> channels(2, std::vector<double>(count));
        for (int output = 0; output < 2; ++output) {
            const int pair = driver[output];
            const double c2 = pair >= 0 ? values.pairs[pair][0] : 0;
            const double c3 = pair >= 0 ? values.pairs[pair][1] : 0;
            const double a2 = h2[output] + k2 * c2;
            const double a3 = h3[output] + k3 * c3;
            for (std::size_t i = 0; i < count; ++i) {
                const double theta = omega * double(i) + startPhase + output;
                const double x = amplitude * std::cos(theta);
                const double y = x + a2 * x * x + a3 * x * x * x;
                channels[output][i] = y + adc2 * y * y + adc3 * y * y * y
                                      + quadratureH2 * amplitude * std::cos(2 * theta + pi / 2) + noise(random);
            }
        }
        if (captures == dropoutAtCapture) {
            for (auto& channel : channels)
                channel.erase(channel.begin() + 20000, channel.begin() + 20096);
        }
        AnalysisOptions options;
        options.expectedFrequencyHz = frequencyHz;
        return analyseCapture(channels, rateHz, options);
    }
};

} // namespace Synthetic
