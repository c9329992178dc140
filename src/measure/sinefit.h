// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Least-squares fits of a sine and its harmonics to samples whose tone does
// not sit on an FFT bin (IEEE Std 1057's three- and four-parameter fits).
// Frequencies are in radians per sample; time runs from the middle of the
// block fitted, which keeps frequency and phase apart in the fit.

#include <array>
#include <complex>
#include <cstddef>
#include <vector>

class SineFit {
public:
    // The strongest tone between the two frequencies: the peak of a
    // Hann-windowed FFT, refined between bins by a parabola through the
    // logarithms of the three highest bins. 0 when the block is empty or
    // flat.
    static double peakFrequency(const double* samples, std::size_t n, double lowest, double highest);

    // The four-parameter fit (amplitude, phase, DC, frequency) started at
    // `omega`, a few Gauss-Newton steps; returns the frequency.
    static double refineFrequency(const double* samples, std::size_t n, double omega, int iterations = 6);

    // DC and the complex amplitude of each harmonic 1..orders at k·omega over
    // samples[0..n), written as Re(a_k·e^(j·k·omega·t)) with t = i − (n − 1)/2:
    // harmonics at or above half the rate are left out (a_k = 0, measured =
    // false).
    struct Harmonics {
        double dc = 0;
        std::vector<std::complex<double>> amplitudes;  // [k], k = 0..orders; [0] unused
        std::vector<bool> measured;
    };
    static Harmonics fitHarmonics(const double* samples, std::size_t n, double omega, int orders);
    // The same on any phase: columns cos(k·θ_i), sin(k·θ_i) with
    // phasor[i] = e^(j·θ_i) for i = 0..n, written as Re(a_k·e^(j·k·θ_i)). A
    // clock that wanders makes θ_i bend away from a straight line; `omega`,
    // the mean frequency, decides which harmonics lie below half the rate.
    static Harmonics fitHarmonics(const double* samples, std::size_t n,
                                  const std::complex<double>* phasor, double omega, int orders);

    // e^(j·omega·(i − origin)) for i = 0..count, by rotation, restarted from
    // the exact value every 1024 samples (the rotation's rounding stays
    // below 1e-12).
    static std::vector<std::complex<double>> phasors(double omega, std::size_t count, double origin);

    // The fit's model, DC and harmonics 1..highestOrder, at samples
    // 0..count of a block whose fit covered its first `fittedLength`.
    static std::vector<double> model(const Harmonics& fit, double omega, std::size_t fittedLength,
                                     std::size_t count, int highestOrder);
    // The model of a fit on the phases phasor[0..count).
    static std::vector<double> model(const Harmonics& fit, const std::complex<double>* phasor,
                                     std::size_t count, int highestOrder);
};
