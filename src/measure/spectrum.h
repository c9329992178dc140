// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The power spectrum of a Hann-windowed block, through KissFFT.
//
// Debian's KissFFT is built for float. That is enough here: the fits that
// decide levels and phases run in double without an FFT; the FFT only finds
// the tone's peak and sums the residual's power over a band, where float's
// rounding (about 1e-7 of the block's own size) lies far below what is read.

#include <cstddef>
#include <vector>

class Spectrum {
public:
    // The longest even length not above `atMost` made of the factors 2, 3
    // and 5 alone, which KissFFT transforms fast (0 if `atMost` < 2).
    static std::size_t fastLength(std::size_t atMost);

    // |X_k|² for k = 0..n/2 of samples[0..n) times the periodic Hann window;
    // n must be even.
    static std::vector<double> hannPower(const double* samples, std::size_t n);
    // The same of several blocks of n samples on one plan: KissFFT works out
    // a plan's twiddles with a sine and a cosine each, which costs about as
    // much as a transform.
    static std::vector<std::vector<double>> hannPowers(const std::vector<const double*>& blocks,
                                                       std::size_t n);

    // Each bin of hannPower in dB against a full-scale sine's peak bin (a
    // sine of peak 1.0 on a bin reads 0 dBFS), at least -300.
    static std::vector<float> hannLevelsDbfs(const double* samples, std::size_t n);

    // Σ w² of that window over n samples: the power of white noise of
    // variance σ² in each bin is σ²·hannEnergy(n).
    static double hannEnergy(std::size_t n) { return 3.0 * double(n) / 8.0; }
};
