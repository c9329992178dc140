// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/spectrum.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

std::size_t Spectrum::fastLength(std::size_t atMost)
{
    std::size_t best = 0;
    for (std::size_t p2 = 2; p2 <= atMost; p2 *= 2) {
        for (std::size_t p3 = p2; p3 <= atMost; p3 *= 3) {
            for (std::size_t p5 = p3; p5 <= atMost; p5 *= 5) {
                if (p5 > best)
                    best = p5;
            }
        }
    }
    return best;
}

std::vector<double> Spectrum::hannPower(const double* samples, std::size_t n)
{
    std::vector<std::vector<double>> powers = hannPowers({samples}, n);
    return powers.empty() ? std::vector<double>() : std::move(powers.front());
}

std::vector<std::vector<double>> Spectrum::hannPowers(const std::vector<const double*>& blocks,
                                                      std::size_t n)
{
    std::unique_ptr<kiss_fftr_state, void (*)(void*)> plan(
        kiss_fftr_alloc(int(n), 0, nullptr, nullptr), kiss_fftr_free);
    if (!plan)
        return {};
    // The window by rotation, restarted from the exact value every 1024
    // samples: a cosine for each sample costs about as much as the transform.
    std::vector<double> window(n);
    const double step = 2.0 * 3.14159265358979323846 / double(n);
    const double c = std::cos(step), s = std::sin(step);
    double re = 1, im = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 1024 == 0) {
            re = std::cos(step * double(i));
            im = std::sin(step * double(i));
        }
        window[i] = 0.5 - 0.5 * re;
        const double next = re * c - im * s;
        im = re * s + im * c;
        re = next;
    }
    std::vector<kiss_fft_scalar> windowed(n);
    std::vector<kiss_fft_cpx> bins(n / 2 + 1);
    std::vector<std::vector<double>> powers;
    for (const double* samples : blocks) {
        for (std::size_t i = 0; i < n; ++i)
            windowed[i] = kiss_fft_scalar(samples[i] * window[i]);
        kiss_fftr(plan.get(), windowed.data(), bins.data());
        std::vector<double> power(bins.size());
        for (std::size_t k = 0; k < bins.size(); ++k)
            power[k] = double(bins[k].r) * bins[k].r + double(bins[k].i) * bins[k].i;
        powers.push_back(std::move(power));
    }
    return powers;
}

std::vector<float> Spectrum::hannLevelsDbfs(const double* samples, std::size_t n)
{
    const std::vector<double> power = hannPower(samples, n);
    // The Hann window's coherent gain is 1/2, so a sine of peak 1.0 centred
    // on bin k gives |X_k| = n/4.
    const double fullScale = double(n) / 4.0;
    std::vector<float> levels(power.size());
    for (std::size_t k = 0; k < power.size(); ++k) {
        const double db = 10.0 * std::log10(std::max(power[k], 1e-300)) - 20.0 * std::log10(fullScale);
        levels[k] = float(std::max(db, -300.0));
    }
    return levels;
}
