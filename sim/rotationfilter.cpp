// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "rotationfilter.h"
#include "kaiserwindow.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr double kPi = 3.14159265358979323846;

// 256 taps' span at 48 kHz: the window's transition, 8.9 taps' worth of
// frequency over the span, is then 1000 Hz wide around 0 Hz and half the
// rate, and H is flat from 500 Hz to 500 Hz short of half the rate.
int halfLength(double rate)
{
    return 2 * int(std::ceil(128 * rate / 48000)) - 1;
}

} // namespace

RotationFilter::RotationFilter(double rate) : rate_(rate), half_(halfLength(rate))
{
    for (int k = 1; k <= half_; k += 2)
        taps_.push_back(2 / (kPi * k) * KaiserWindow::at(double(k) / (half_ + 1)));
    direct_.assign(size_t(2 * (2 * half_ + 1)), 0.0);
    quadrature_.assign(direct_.size(), 0.0);
}

double RotationFilter::push(double direct, double quadrature)
{
    const int length = 2 * half_ + 1;
    direct_[size_t(next_)] = direct_[size_t(next_ + length)] = direct;
    quadrature_[size_t(next_)] = quadrature_[size_t(next_ + length)] = quadrature;
    // The last `length` samples, oldest first, start one past the newest.
    const size_t centre = size_t(next_ + 1 + half_);
    next_ = (next_ + 1) % length;
    const double* q = quadrature_.data() + centre;
    double hilbert = 0;
    for (size_t j = 0; j < taps_.size(); ++j) {
        const ptrdiff_t k = ptrdiff_t(2 * j + 1);
        hilbert += taps_[j] * (q[-k] - q[k]);
    }
    return direct_[centre] - hilbert;
}

void RotationFilter::clear()
{
    std::fill(direct_.begin(), direct_.end(), 0.0);
    std::fill(quadrature_.begin(), quadrature_.end(), 0.0);
    next_ = 0;
}
