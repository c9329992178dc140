// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The audio tests' own yardstick, independent of the program's analysis: a
// least-squares fit at a frequency the test knows.

#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>
#include <vector>

namespace HarmonicFit {

using Complex = std::complex<double>;

// Least-squares fit of DC and cos/sin at k·omega (k = 1..harmonics), at a
// known frequency: the complex amplitude of each harmonic, written as
// |a|·cos(k·omega·n + arg a).
inline std::vector<Complex> fit(const std::vector<double>& x, double omega, int harmonics, size_t from = 0,
                         size_t to = 0)
{
    if (to == 0)
        to = x.size();
    const int m = 1 + 2 * harmonics;
    std::vector<double> ata(size_t(m * m), 0.0), atb(size_t(m), 0.0), row(size_t(m), 0.0);
    for (size_t n = from; n < to; ++n) {
        row[0] = 1;
        for (int k = 1; k <= harmonics; ++k) {
            row[size_t(2 * k - 1)] = std::cos(k * omega * double(n));
            row[size_t(2 * k)] = std::sin(k * omega * double(n));
        }
        for (int i = 0; i < m; ++i) {
            atb[size_t(i)] += row[size_t(i)] * x[n];
            for (int j = 0; j < m; ++j)
                ata[size_t(i * m + j)] += row[size_t(i)] * row[size_t(j)];
        }
    }
    // Gaussian elimination with partial pivoting.
    for (int c = 0; c < m; ++c) {
        int p = c;
        for (int r = c + 1; r < m; ++r)
            if (std::fabs(ata[size_t(r * m + c)]) > std::fabs(ata[size_t(p * m + c)]))
                p = r;
        for (int j = 0; j < m; ++j)
            std::swap(ata[size_t(c * m + j)], ata[size_t(p * m + j)]);
        std::swap(atb[size_t(c)], atb[size_t(p)]);
        for (int r = c + 1; r < m; ++r) {
            const double f = ata[size_t(r * m + c)] / ata[size_t(c * m + c)];
            for (int j = c; j < m; ++j)
                ata[size_t(r * m + j)] -= f * ata[size_t(c * m + j)];
            atb[size_t(r)] -= f * atb[size_t(c)];
        }
    }
    std::vector<double> beta(size_t(m), 0.0);
    for (int r = m - 1; r >= 0; --r) {
        double s = atb[size_t(r)];
        for (int j = r + 1; j < m; ++j)
            s -= ata[size_t(r * m + j)] * beta[size_t(j)];
        beta[size_t(r)] = s / ata[size_t(r * m + r)];
    }
    std::vector<Complex> a(size_t(harmonics) + 1);
    a[0] = beta[0];
    for (int k = 1; k <= harmonics; ++k)
        a[size_t(k)] = Complex(beta[size_t(2 * k - 1)], -beta[size_t(2 * k)]);
    return a;
}

} // namespace HarmonicFit
