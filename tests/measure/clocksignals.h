// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Captures as a real desk makes them: the interface's crystal off the DAC's
// by a fixed offset and wandering slowly about it (temperature), and mains
// hum from a ground loop. The phase is written as the exact integral of the
// wandering frequency, so nothing here leans on the analysis it tests. Shared
// by the tests and the benchmark.

#include "synthetic.h"

#include <cmath>
#include <cstddef>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace ClockSignals {

using Synthetic::pi;

struct Desk {
    double rateHz = 48000;
    double frequencyHz = 997;
    double levelDbfs = -15;
    double seconds = 120;
    // The capture's clock against the player's: offsetPpm plus a sine of
    // wanderPpm peak and wanderPeriod seconds, rising through the offset at
    // the first sample (where the frequency changes fastest).
    double offsetPpm = 50;
    double wanderPpm = 0;
    double wanderPeriod = 60;
    double noiseDbfs = -120; // white, RMS against a full-scale sine's
    std::map<int, Synthetic::Harmonic> harmonics;
    std::vector<std::pair<double, double>> hum; // lines: Hz, dBFS
    unsigned seed = 1;
};

// A ground loop's hum: 50, 100 and 150 Hz at -110 dBFS each, -105.2 dBFS
// together.
inline std::vector<std::pair<double, double>> groundLoop()
{
    return {{50, -110}, {100, -110}, {150, -110}};
}

// Two minutes on clocks that wander ±2 ppm over a minute about +50 ppm, with
// H2 and H3 where a DAC's lie before tuning.
inline Desk wandering()
{
    Desk desk;
    desk.wanderPpm = 2;
    desk.harmonics = {{2, {-110, 40}}, {3, {-120, -135}}};
    return desk;
}

// The fundamental's phase at t seconds: 2π·f·∫(1 + ppm(τ)·1e-6)dτ with
// ppm(τ) = offset + wander·sin(2πτ/P), integrated by hand.
inline double phaseAt(const Desk& desk, double t)
{
    const double wanderTurns = desk.wanderPpm * 1e-6 * desk.wanderPeriod / (2 * pi)
                               * (1 - std::cos(2 * pi * t / desk.wanderPeriod));
    return 2 * pi * desk.frequencyHz * (t * (1 + desk.offsetPpm * 1e-6) + wanderTurns)
           + Synthetic::startPhase;
}

inline std::vector<double> synthesize(const Desk& desk)
{
    const std::size_t count = std::size_t(std::llround(desk.seconds * desk.rateHz));
    const double amplitude = std::pow(10.0, desk.levelDbfs / 20.0);
    std::mt19937_64 random(desk.seed);
    std::normal_distribution<double> noise(0.0, Synthetic::noiseRms(desk.noiseDbfs));
    std::vector<std::pair<int, std::pair<double, double>>> harmonics; // order, amplitude, phase
    for (const auto& [order, h] : desk.harmonics)
        harmonics.push_back(
            {order, {amplitude * std::pow(10.0, h.dbc / 20.0), h.phaseDeg * pi / 180}});
    std::vector<std::pair<double, double>> hum; // ω, amplitude
    for (const auto& [hz, dbfs] : desk.hum)
        hum.emplace_back(2 * pi * hz, std::pow(10.0, dbfs / 20.0));
    std::vector<double> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / desk.rateHz;
        const double theta = phaseAt(desk, t);
        double x = amplitude * std::cos(theta);
        for (const auto& [order, h] : harmonics)
            x += h.first * std::cos(order * theta + h.second);
        for (const auto& [omega, a] : hum)
            x += a * std::cos(omega * t);
        samples[i] = x + noise(random);
    }
    return samples;
}

} // namespace ClockSignals
