// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/sinefit.h"

#include "measure/spectrum.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// Solves the symmetric positive definite system a·x = b (a row-major, n×n,
// only its upper triangle read) by Cholesky; false when it is singular.
bool solveSymmetric(std::vector<double> a, std::vector<double>& b, int n)
{
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k)
            d -= a[k * n + j] * a[k * n + j];
        if (!(d > 0))
            return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            double s = a[j * n + i];
            for (int k = 0; k < j; ++k)
                s -= a[k * n + j] * a[k * n + i];
            a[j * n + i] = s / d;   // the factor's row j lives in the upper triangle
        }
    }
    for (int i = 0; i < n; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k)
            s -= a[k * n + i] * b[k];
        b[i] = s / a[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[i];
        for (int k = i + 1; k < n; ++k)
            s -= a[i * n + k] * b[k];
        b[i] = s / a[i * n + i];
    }
    return true;
}

// S_m = Σ e^(jmθ_i) for m = 1..2·used and R_k = Σ x_i·e^(jkθ_i) for
// k = 1..used, the powers of each phasor by rotation; returns Σ x_i.
double powerSums(const double* samples, std::size_t n, const std::complex<double>* phasor, int used,
                 std::vector<std::complex<double>>& sums,
                 std::vector<std::complex<double>>& projections)
{
    // Plain arrays of real and imaginary parts, and two samples at a time:
    // each rotation waits for the one before, so two chains side by side
    // keep the processor busy, and each sum is stored half as often.
    std::vector<double> parts(6 * std::size_t(used) + 2, 0.0);
    double* sumRe = parts.data();
    double* sumIm = sumRe + 2 * used + 1;
    double* projectionRe = sumIm + 2 * used + 1;
    double* projectionIm = projectionRe + used;
    double sumX = 0;
    for (std::size_t i = 0; i < n; i += 2) {
        const std::size_t j = std::min(i + 1, n - 1);
        const double second = j > i ? 1.0 : 0.0; // an odd n's last sample alone
        const double ar = phasor[i].real(), ai = phasor[i].imag(), x = samples[i];
        const double br = phasor[j].real(), bi = phasor[j].imag(), y = second * samples[j];
        sumX += x + y;
        double ur = ar, ui = ai, vr = second * br, vi = second * bi;
        for (int m = 1; m <= 2 * used; ++m) {
            sumRe[m] += ur + vr;
            sumIm[m] += ui + vi;
            if (m <= used) {
                projectionRe[m - 1] += x * ur + y * vr;
                projectionIm[m - 1] += x * ui + y * vi;
            }
            const double nextU = ur * ar - ui * ai, nextV = vr * br - vi * bi;
            ui = ur * ai + ui * ar;
            vi = vr * bi + vi * br;
            ur = nextU;
            vr = nextV;
        }
    }
    for (int m = 1; m <= 2 * used; ++m)
        sums[m] = {sumRe[m], sumIm[m]};
    for (int k = 1; k <= used; ++k)
        projections[k] = {projectionRe[k - 1], projectionIm[k - 1]};
    return sumX;
}

} // namespace

std::vector<std::complex<double>> SineFit::phasors(double omega, std::size_t count, double origin)
{
    std::vector<std::complex<double>> values(count);
    const double c = std::cos(omega), s = std::sin(omega);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 1024 == 0) {
            values[i] = std::polar(1.0, omega * (double(i) - origin));
        } else {
            // Written out: std::complex's product also handles infinities.
            const std::complex<double> last = values[i - 1];
            values[i] = {last.real() * c - last.imag() * s, last.real() * s + last.imag() * c};
        }
    }
    return values;
}

double SineFit::peakFrequency(const double* samples, std::size_t n, double lowest, double highest)
{
    const std::size_t length = Spectrum::fastLength(n);
    if (length < 16)
        return 0;
    // The middle of the block: a fade at either end stays out.
    const std::size_t offset = (n - length) / 2;
    std::vector<double> centred(samples + offset, samples + offset + length);
    double mean = 0;
    for (double x : centred)
        mean += x;
    mean /= double(length);
    for (double& x : centred)
        x -= mean;
    const std::vector<double> power = Spectrum::hannPower(centred.data(), length);
    const double binWidth = 2.0 * pi / double(length);
    const std::size_t first = std::max<std::size_t>(2, std::size_t(std::ceil(lowest / binWidth)));
    const std::size_t last = std::min(power.size() - 2, std::size_t(std::floor(highest / binWidth)));
    std::size_t peak = 0;
    for (std::size_t k = first; k <= last; ++k) {
        if (power[k] > (peak ? power[peak] : 0.0))
            peak = k;
    }
    if (!peak)
        return 0;
    double offsetBins = 0;
    const double left = power[peak - 1], centre = power[peak], right = power[peak + 1];
    if (left > 0 && right > 0) {
        const double l = std::log(left), c = std::log(centre), r = std::log(right);
        const double curvature = l - 2 * c + r;
        if (curvature < 0)
            offsetBins = std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5);
    }
    return (double(peak) + offsetBins) * binWidth;
}

double SineFit::refineFrequency(const double* samples, std::size_t n, double omega, int iterations)
{
    if (n < 8 || omega <= 0)
        return omega;
    const double middle = (double(n) - 1) / 2;
    const double start = omega;
    // The three-parameter fit at the first estimate gives the amplitudes the
    // frequency column of the four-parameter fit is built on.
    Harmonics fit = fitHarmonics(samples, n, omega, 1);
    double a = fit.amplitudes[1].real(), b = -fit.amplitudes[1].imag();
    for (int iteration = 0; iteration < iterations; ++iteration) {
        // Columns: cos, sin, 1, t·(−a·sin + b·cos).
        double g[16] = {};
        double r[4] = {};
        // cos and sin turned along as phasors() does, without storing them.
        const double turnC = std::cos(omega), turnS = std::sin(omega);
        double c = 0, s = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = double(i) - middle;
            if (i % 1024 == 0) {
                c = std::cos(omega * t);
                s = std::sin(omega * t);
            }
            const double col[4] = {c, s, 1.0, t * (b * c - a * s)};
            for (int p = 0; p < 4; ++p) {
                r[p] += col[p] * samples[i];
                for (int q = p; q < 4; ++q)
                    g[p * 4 + q] += col[p] * col[q];
            }
            const double next = c * turnC - s * turnS;
            s = c * turnS + s * turnC;
            c = next;
        }
        std::vector<double> matrix(g, g + 16), rhs(r, r + 4);
        if (!solveSymmetric(matrix, rhs, 4))
            break;
        // The fit is linear in a, b and DC; the last column's coefficient is
        // the step in frequency.
        a = rhs[0];
        b = rhs[1];
        const double step = rhs[3];
        omega += step;
        if (!(std::abs(omega - start) < 4 * pi / double(n)))
            return start;   // wandered off by more than two bins: keep the FFT's
        // The phase this moves across the block: below 1e-8 rad it is done.
        if (std::abs(step) * double(n) < 1e-8)
            break;
    }
    return omega;
}

SineFit::Harmonics SineFit::fitHarmonics(const double* samples, std::size_t n, double omega, int orders)
{
    const std::vector<std::complex<double>> phasor = phasors(omega, n, (double(n) - 1) / 2);
    return fitHarmonics(samples, n, phasor.data(), omega, orders);
}

SineFit::Harmonics SineFit::fitHarmonics(const double* samples, std::size_t n,
                                         const std::complex<double>* phasor, double omega,
                                         int orders)
{
    Harmonics fit;
    fit.amplitudes.assign(orders + 1, 0.0);
    fit.measured.assign(orders + 1, false);
    int used = 0;
    for (int k = 1; k <= orders && k * omega < pi * 0.999; ++k) {
        fit.measured[k] = true;
        used = k;
    }
    const int columns = 1 + 2 * used;
    // The normal equations of the columns 1, cos(kθ), sin(kθ) need only the
    // sums S_m = Σ e^(jmθ), m = 0..2·used, since products of them are sums
    // and differences of harmonics, and R_k = Σ x·e^(jkθ), whatever θ is
    // at each sample.
    std::vector<std::complex<double>> sums(2 * used + 1, 0.0), projections(used + 1, 0.0);
    const double sumX = powerSums(samples, n, phasor, used, sums, projections);
    sums[0] = double(n);
    auto sum = [&](int m) { return m >= 0 ? sums[m] : std::conj(sums[-m]); };
    std::vector<double> g(columns * columns, 0.0), r(columns, 0.0);
    r[0] = sumX;
    g[0] = double(n);
    for (int p = 1; p <= used; ++p) {
        const int cp = 2 * p - 1, sp = 2 * p;
        r[cp] = projections[p].real();
        r[sp] = projections[p].imag();
        g[cp] = sums[p].real();
        g[sp] = sums[p].imag();
        for (int q = p; q <= used; ++q) {
            const int cq = 2 * q - 1, sq = 2 * q;
            const std::complex<double> plus = sum(p + q), minus = sum(p - q);
            g[cp * columns + cq] = 0.5 * (plus.real() + minus.real());
            g[sp * columns + sq] = 0.5 * (minus.real() - plus.real());
            g[cp * columns + sq] = 0.5 * (plus.imag() - minus.imag());
            // sin(pθ)·cos(qθ) = ½(sin((p+q)θ) + sin((p−q)θ)).
            g[sp * columns + cq] = 0.5 * (plus.imag() + minus.imag());
        }
    }
    if (!solveSymmetric(g, r, columns))
        return fit;
    fit.dc = r[0];
    // A·cos + B·sin = Re((A − jB)·e^(jθ)).
    for (int k = 1; k <= used; ++k)
        fit.amplitudes[k] = {r[2 * k - 1], -r[2 * k]};
    return fit;
}

std::vector<double> SineFit::model(const Harmonics& fit, double omega, std::size_t fittedLength,
                                   std::size_t count, int highestOrder)
{
    const std::vector<std::complex<double>> phasor = phasors(omega, count, (double(fittedLength) - 1) / 2);
    return model(fit, phasor.data(), count, highestOrder);
}

std::vector<double> SineFit::model(const Harmonics& fit, const std::complex<double>* phasor,
                                   std::size_t count, int highestOrder)
{
    std::vector<double> values(count, fit.dc);
    int orders = 0;
    std::vector<double> re, im; // a_k, 0 where not measured
    for (int k = 0; k <= highestOrder && k < int(fit.amplitudes.size()); ++k) {
        const bool measured = k && fit.measured[k];
        re.push_back(measured ? fit.amplitudes[k].real() : 0.0);
        im.push_back(measured ? fit.amplitudes[k].imag() : 0.0);
        orders = measured ? k : orders;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const double zr = phasor[i].real(), zi = phasor[i].imag();
        double wr = zr, wi = zi;
        double value = fit.dc;
        for (int k = 1; k <= orders; ++k) {
            value += re[k] * wr - im[k] * wi;
            const double next = wr * zr - wi * zi;
            wi = wr * zi + wi * zr;
            wr = next;
        }
        values[i] = value;
    }
    return values;
}
