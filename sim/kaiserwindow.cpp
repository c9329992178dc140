// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "kaiserwindow.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace {

constexpr int kTableSteps = 65536;

double besselI0(double x)
{
    double sum = 1, term = 1;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-18)
            break;
    }
    return sum;
}

const std::vector<double>& table()
{
    static const std::vector<double> t = [] {
        std::vector<double> values(kTableSteps + 2);
        const double norm = besselI0(KaiserWindow::beta);
        for (int i = 0; i <= kTableSteps + 1; ++i) {
            const double u = std::min(1.0, double(i) / kTableSteps);
            values[size_t(i)] = besselI0(KaiserWindow::beta * std::sqrt(1 - u * u)) / norm;
        }
        return values;
    }();
    return t;
}

} // namespace

double KaiserWindow::at(double u)
{
    const std::vector<double>& t = table();
    const double pos = std::fabs(u) * kTableSteps;
    const int i = std::min(int(pos), kTableSteps);
    const double f = pos - i;
    return t[size_t(i)] * (1 - f) + t[size_t(i) + 1] * f;
}
