// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/phasetrack.h"

#include "measure/sinefit.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// A dropout moves the fundamental's phase across a segment, or its amplitude
// in one, by more than this against the segments around it (−60 dB): a
// one-sample slip at 1 kHz and 48 kHz moves the phase by 0.13 rad, while
// noise and harmonics (fitted) move it by far less, and the clocks' wander
// not at all once the segments around have taken out the rate the phase
// turns at (±2 ppm over a minute changes that rate by 4e-7 rad a segment
// over their span).
constexpr double dropoutDeviation = 1e-3;
// ... or the residual's RMS in one segment stands this far above its median.
constexpr double dropoutBurst = 10.0;

// The phases are smoothed over this long: the noise of a segment's phase
// averages down fivefold at 1 kHz, and the bend of ±2 ppm over a minute is
// followed within 1e-6 rad.
constexpr double smoothingSeconds = 0.1;

// Steps and jumps are told against this many segments either side (about
// 64 ms at 1 kHz), over which the clocks' wander is a straight line.
constexpr std::size_t neighbours = 16;

// The median of values[s − neighbours .. s + neighbours], cut at the ends.
double localMedian(const std::vector<double>& values, std::size_t s, std::vector<double>& scratch)
{
    const std::size_t first = s > neighbours ? s - neighbours : 0;
    const std::size_t last = std::min(values.size(), s + neighbours + 1);
    scratch.assign(values.begin() + std::ptrdiff_t(first), values.begin() + std::ptrdiff_t(last));
    const auto middle = scratch.begin() + std::ptrdiff_t(scratch.size() / 2);
    std::nth_element(scratch.begin(), middle, scratch.end());
    return *middle;
}

} // namespace

PhaseTrack::PhaseTrack(const double* residual, const std::complex<double>* phasor,
                       std::size_t count, std::complex<double> fundamental, double omega,
                       double rateHz)
{
    const double period = 2.0 * pi / omega;
    const double cycles = std::max(1.0, std::round(0.004 * rateHz / period));
    segment_ = std::max<std::size_t>(32, std::size_t(std::round(cycles * period)));
    if (count / segment_ < 2 || !(std::abs(fundamental) > 0))
        return;
    amplitude_.resize(count / segment_);
    phase_.resize(count / segment_);
    fitSegments(residual, phasor, fundamental);
    smooth(rateHz);
}

// Each segment's fundamental by least squares on the cos and sin of the
// whole fit's phase (over a segment that does not hold whole cycles exactly,
// a plain projection would take in some of the fundamental's mirror image
// and ripple by 1e-3 rad): the whole fit's amplitude plus what the residual
// holds of it there.
void PhaseTrack::fitSegments(const double* residual, const std::complex<double>* phasor,
                             std::complex<double> fundamental)
{
    const double size = double(segment_);
    for (std::size_t s = 0; s < phase_.size(); ++s) {
        double squaresRe = 0, squaresIm = 0, projectionRe = 0, projectionIm = 0;
        for (std::size_t i = s * segment_; i < (s + 1) * segment_; ++i) {
            const double c = phasor[i].real(), v = phasor[i].imag();
            squaresRe += c * c - v * v;
            squaresIm += 2 * c * v;
            projectionRe += residual[i] * c;
            projectionIm += residual[i] * v;
        }
        // r ≈ p·cos + q·sin: Σcos² = (n + Re Σz²)/2, Σsin² = (n − Re Σz²)/2,
        // Σcos·sin = Im Σz²/2. Re((p − jq)·z) = p·cos + q·sin.
        const double cc = (size + squaresRe) / 2, ss = (size - squaresRe) / 2, cs = squaresIm / 2;
        const double determinant = cc * ss - cs * cs;
        std::complex<double> ratio = 1.0;
        if (determinant > 1e-6 * size * size) {
            const double p = (ss * projectionRe - cs * projectionIm) / determinant;
            const double q = (cc * projectionIm - cs * projectionRe) / determinant;
            ratio += std::complex<double>(p, -q) / fundamental;
        }
        amplitude_[s] = std::abs(ratio);
        const double phase = std::arg(ratio);
        phase_[s] = s ? phase_[s - 1] + std::remainder(phase - phase_[s - 1], 2.0 * pi) : phase;
    }
}

// A straight line through the phases of the segments within
// smoothingSeconds / 2 either side, by least squares, read at the segment's
// own place: it follows a slope without delay, and at the ends it leans on
// one side alone without bending.
void PhaseTrack::smooth(double rateHz)
{
    const std::size_t n = phase_.size();
    const std::size_t half = std::max<std::size_t>(
        1, std::size_t(std::round(smoothingSeconds * rateHz / double(segment_) / 2)));
    smoothed_.resize(n);
    for (std::size_t s = 0; s < n; ++s) {
        const std::size_t first = s > half ? s - half : 0;
        const std::size_t last = std::min(n - 1, s + half);
        const double points = double(last - first + 1);
        double meanPhase = 0;
        for (std::size_t j = first; j <= last; ++j)
            meanPhase += phase_[j];
        meanPhase /= points;
        const double meanPlace = double(first + last) / 2;
        double covariance = 0, variance = 0;
        for (std::size_t j = first; j <= last; ++j) {
            const double place = double(j) - meanPlace;
            covariance += place * (phase_[j] - meanPhase);
            variance += place * place;
        }
        smoothed_[s] = meanPhase + covariance / variance * (double(s) - meanPlace);
    }
}

std::vector<std::complex<double>> PhaseTrack::phasors(std::size_t count, double omega,
                                                      double origin) const
{
    const std::size_t n = smoothed_.size();
    if (n < 2)
        return SineFit::phasors(omega, count, origin);
    std::vector<std::complex<double>> values(count);
    const double middle = (double(segment_) - 1) / 2;
    std::size_t i = 0;
    for (std::size_t s = 0; s + 1 < n && i < count; ++s) {
        // From segment s's middle to the next one's, the first from the start
        // and the last to the end: the phase is a straight line there, turned
        // by one step a sample from its exact value at the first.
        const std::size_t end =
            s + 2 < n ? std::min(count, (s + 1) * segment_ + segment_ / 2) : count;
        const double slope = (smoothed_[s + 1] - smoothed_[s]) / double(segment_);
        const double from = double(s * segment_) + middle;
        values[i] = std::polar(1.0, omega * (double(i) - origin) + smoothed_[s]
                                        + slope * (double(i) - from));
        const double c = std::cos(omega + slope), v = std::sin(omega + slope);
        for (++i; i < end; ++i) {
            const std::complex<double> last = values[i - 1];
            values[i] = {last.real() * c - last.imag() * v, last.real() * v + last.imag() * c};
        }
    }
    return values;
}

bool PhaseTrack::hasDropout(const std::vector<double>& residual, double amplitude) const
{
    const std::size_t n = phase_.size();
    if (n < 2 || residual.size() < n * segment_)
        return false;
    std::vector<double> rms(n);
    for (std::size_t s = 0; s < n; ++s) {
        double energy = 0;
        for (std::size_t i = s * segment_; i < (s + 1) * segment_; ++i)
            energy += residual[i] * residual[i];
        rms[s] = std::sqrt(energy / double(segment_));
    }
    std::vector<double> sorted = rms;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(n / 2), sorted.end());
    const double typicalRms = sorted[n / 2];
    const double burstLimit = std::max(dropoutBurst * typicalRms, 1e-6 * amplitude);
    if (std::any_of(rms.begin(), rms.end(), [&](double r) { return r > burstLimit; }))
        return true;
    // What the noise alone moves each part of a segment's fundamental by
    // (relative to it), eight times over; a phase across two segments twice
    // that in power.
    const double noise = 8.0 * typicalRms * std::sqrt(2.0 / double(segment_)) / amplitude;
    return amplitudeJumps(std::max(dropoutDeviation, noise))
           || phaseSteps(std::max(dropoutDeviation, std::sqrt(2.0) * noise));
}

// The phase across each segment, from the one before it to the one after (a
// slip inside a segment moves it by the whole step), against what the
// segments around it move by: the clocks' offset and wander turn the phase
// at a rate that changes slowly, a slip adds a step to one place.
bool PhaseTrack::phaseSteps(double limit) const
{
    const std::size_t n = phase_.size();
    std::vector<double> across(n), span(n), rate(n), scratch;
    for (std::size_t s = 0; s < n; ++s) {
        const std::size_t before = s ? s - 1 : 0, after = std::min(n - 1, s + 1);
        across[s] = phase_[after] - phase_[before];
        span[s] = double(after - before);
        rate[s] = across[s] / span[s];
    }
    for (std::size_t s = 0; s < n; ++s) {
        if (std::abs(across[s] - localMedian(rate, s, scratch) * span[s]) > limit)
            return true;
    }
    return false;
}

// A segment's amplitude against those around it: zeros or a burst in the
// stream change it at one place, a level that drifts changes it slowly.
bool PhaseTrack::amplitudeJumps(double limit) const
{
    std::vector<double> scratch;
    for (std::size_t s = 0; s < amplitude_.size(); ++s) {
        if (std::abs(amplitude_[s] - localMedian(amplitude_, s, scratch)) > limit)
            return true;
    }
    return false;
}
