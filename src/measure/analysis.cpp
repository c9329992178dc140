// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/analysis.h"

#include "measure/decibels.h"
#include "measure/phasetrack.h"
#include "measure/sinefit.h"
#include "measure/spectrum.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double notMeasured = std::numeric_limits<double>::quiet_NaN();

// Too short to hold a tone worth measuring.
constexpr std::size_t shortestCapture = 256;

// A sample at or above this magnitude is taken as the converter at its end
// stop (−0.009 dBFS; a 16-bit full scale of 32767 lies above it).
constexpr double fullScale = 0.999;

// Runs of three or more equal samples on the tone's crest, longer than
// quantisation explains: there a sine of this amplitude and frequency moves by
// more than a 16-bit step, the coarsest a WAV file here holds. What is left
// is a flat top, as an input stage clipping below full scale leaves it (a
// slow tone may repeat a sample on its crest, but only for as long as it
// moves by less than that step).
bool flatTopped(const double* samples, std::size_t count, double dc, double amplitude, double omega)
{
    constexpr double coarsestStep = 1.0 / 32768;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= count; ++i) {
        if (i < count && samples[i] == samples[start])
            continue;
        const std::size_t run = i - start;
        if (run >= 3 && std::abs(samples[start] - dc) >= 0.5 * amplitude) {
            const double halfSpan = omega * double(run - 1) / 2;
            if (amplitude * halfSpan * halfSpan / 2 > coarsestStep)
                return true;
        }
        start = i;
    }
    return false;
}

// The tone, in radians per sample: the FFT's peak, then the four-parameter
// fit; 0 when there is none.
double toneFrequency(const double* samples, std::size_t count, double rateHz,
                     const AnalysisOptions& options)
{
    double lowest = 2.0 * pi * 10.0 / rateHz;
    double highest = pi;
    if (options.expectedFrequencyHz) {
        lowest = 2.0 * pi * *options.expectedFrequencyHz * 0.98 / rateHz;
        highest = std::min(pi, 2.0 * pi * *options.expectedFrequencyHz * 1.02 / rateHz);
    }
    const double omega = SineFit::peakFrequency(samples, count, lowest, highest);
    return omega > 0 ? SineFit::refineFrequency(samples, count, omega) : 0.0;
}

// The fit of DC and the harmonics over the first `length` samples, on the
// phase the fundamental follows, and what it leaves of all `count`.
struct TrackedFit {
    SineFit::Harmonics fit;
    std::vector<double> rest;     // after DC and the fundamental
    std::vector<double> residual; // after DC and all nine harmonics
    double restRms = 0;           // over the first `length`
    double residualRms = 0;
    bool dropout = false;
};

std::vector<double> without(const double* samples, std::vector<double> model)
{
    for (std::size_t i = 0; i < model.size(); ++i)
        model[i] = samples[i] - model[i];
    return model;
}

double rms(const std::vector<double>& values, std::size_t length)
{
    double energy = 0;
    for (std::size_t i = 0; i < length; ++i)
        energy += values[i] * values[i];
    return std::sqrt(energy / double(length));
}

// First at the one frequency, which takes up the clocks' offset; then on the
// phase the fundamental's segments follow, which takes up their wander too
// (the residual of a fit at one frequency would keep it, and over minutes it
// stands far above the noise).
TrackedFit fitTracked(const double* samples, std::size_t count, std::size_t length, double omega,
                      double rateHz)
{
    const double origin = (double(length) - 1) / 2;
    std::vector<std::complex<double>> phasor = SineFit::phasors(omega, count, origin);
    TrackedFit tracked;
    tracked.fit = SineFit::fitHarmonics(samples, length, phasor.data(), omega, highestHarmonic);
    tracked.residual =
        without(samples, SineFit::model(tracked.fit, phasor.data(), count, highestHarmonic));
    const PhaseTrack track(tracked.residual.data(), phasor.data(), count, tracked.fit.amplitudes[1],
                           omega, rateHz);
    phasor = track.phasors(count, omega, origin);
    tracked.fit = SineFit::fitHarmonics(samples, length, phasor.data(), omega, highestHarmonic);
    tracked.rest = without(samples, SineFit::model(tracked.fit, phasor.data(), count, 1));
    tracked.residual =
        without(samples, SineFit::model(tracked.fit, phasor.data(), count, highestHarmonic));
    tracked.restRms = rms(tracked.rest, length);
    tracked.residualRms = rms(tracked.residual, length);
    tracked.dropout = track.hasDropout(tracked.residual, std::abs(tracked.fit.amplitudes[1]));
    return tracked;
}

// THD+N: the rest's power within the band, against the fundamental.
double thdPlusNoiseDb(const std::vector<double>& power, std::size_t fftLength, double amplitude,
                      double rateHz, const AnalysisOptions& options)
{
    const double binHz = rateHz / double(fftLength);
    const std::size_t firstBin =
        std::max<std::size_t>(1, std::size_t(std::ceil(options.bandLowHz / binHz)));
    const std::size_t lastBin =
        std::min(power.size() - 2, std::size_t(std::floor(options.bandHighHz / binHz)));
    double bandPower = 0;
    for (std::size_t k = firstBin; k <= lastBin; ++k)
        bandPower += power[k];
    bandPower *= 2.0 / (double(fftLength) * Spectrum::hannEnergy(fftLength));
    return linearToDb(std::sqrt(bandPower) / (amplitude / std::sqrt(2.0)));
}

// The RMS of the white noise near the harmonics that matter (H2..H5): the
// median of the residual's power from 1.5 to 5.5 times the tone, which lines
// there (hum, a harmonic the fit left a little of) do not move the way they
// move a mean. A bin of white noise holds an exponentially distributed power,
// whose median is ln 2 times its mean, σ²·hannEnergy. A tone so high that the
// band holds too few bins takes all of them.
double noiseNearHarmonics(const std::vector<double>& power, std::size_t fftLength, double omega)
{
    const double binOmega = 2.0 * pi / double(fftLength);
    std::size_t firstBin = std::max<std::size_t>(1, std::size_t(std::ceil(1.5 * omega / binOmega)));
    std::size_t lastBin =
        std::min(power.size() - 2, std::size_t(std::floor(5.5 * omega / binOmega)));
    if (lastBin < firstBin + 16) {
        firstBin = 1;
        lastBin = power.size() - 2;
    }
    std::vector<double> band(power.begin() + std::ptrdiff_t(firstBin),
                             power.begin() + std::ptrdiff_t(lastBin) + 1);
    const auto middle = band.begin() + std::ptrdiff_t(band.size() / 2);
    std::nth_element(band.begin(), middle, band.end());
    return std::sqrt(*middle / std::log(2.0) / Spectrum::hannEnergy(fftLength));
}

// THD+N and the harmonics' noise, from Hann-windowed FFTs of the rest and the
// residual over the middle of the whole cycles analysed.
void spectralFigures(const TrackedFit& tracked, std::size_t length, double omega, double rateHz,
                     const AnalysisOptions& options, ChannelAnalysis& result)
{
    const std::size_t fftLength = Spectrum::fastLength(length);
    const std::size_t offset = (length - fftLength) / 2;
    const std::vector<std::vector<double>> power = Spectrum::hannPowers(
        {tracked.rest.data() + offset, tracked.residual.data() + offset}, fftLength);
    const double amplitude = std::abs(tracked.fit.amplitudes[1]);
    result.thdnDb = thdPlusNoiseDb(power[0], fftLength, amplitude, rateHz, options);
    // The least-squares σ of each part of a harmonic's amplitude over the
    // length fitted, against the fundamental.
    const double noiseRms = noiseNearHarmonics(power[1], fftLength, omega);
    result.harmonicNoise = noiseRms * std::sqrt(2.0 / double(length)) / amplitude;
}

// h_k = (a_k / |a_1|)·e^(−j·k·∠a_1), and the THD from them.
void referHarmonics(const SineFit::Harmonics& fit, ChannelAnalysis& result)
{
    const double amplitude = std::abs(fit.amplitudes[1]);
    const double phase1 = std::arg(fit.amplitudes[1]);
    double thdSquared = 0;
    result.harmonics[0] = 0;
    for (int k = 1; k <= highestHarmonic; ++k) {
        if (!fit.measured[k]) {
            result.harmonics[k] = {notMeasured, notMeasured};
            continue;
        }
        result.harmonics[k] = fit.amplitudes[k] / amplitude * std::polar(1.0, -double(k) * phase1);
        if (k >= 2)
            thdSquared += std::norm(result.harmonics[k]);
    }
    result.harmonics[1] = 1.0;
    result.thdDb = linearToDb(std::sqrt(thdSquared));
    result.thdPercent = 100.0 * std::sqrt(thdSquared);
}

const char* const problemOrder[] = {Problem::clipping, Problem::dropout, Problem::level,
                                    Problem::weakSignal, Problem::noSignal};

// Adds a problem once, keeping the order of the Problem list.
void addProblem(std::vector<std::string>& problems, const char* problem)
{
    if (std::find(problems.begin(), problems.end(), problem) != problems.end())
        return;
    problems.emplace_back(problem);
    std::vector<std::string> ordered;
    for (const char* known : problemOrder) {
        if (std::find(problems.begin(), problems.end(), known) != problems.end())
            ordered.emplace_back(known);
    }
    problems = ordered;
}

ChannelAnalysis withoutTone(ChannelAnalysis result)
{
    result.hasTone = false;
    result.frequencyHz = result.levelDbfs = result.dcOffset = notMeasured;
    result.thdDb = result.thdPercent = result.thdnDb = result.noiseDbfs = notMeasured;
    result.harmonicNoise = result.seconds = result.cycles = notMeasured;
    result.harmonics.fill({notMeasured, notMeasured});
    addProblem(result.problems, Problem::noSignal);
    return result;
}

} // namespace

double ChannelAnalysis::harmonicDbc(int order) const
{
    if (order < 1 || order > highestHarmonic)
        return notMeasured;
    return linearToDb(std::abs(harmonics[order]));
}

double ChannelAnalysis::harmonicPhaseDeg(int order) const
{
    if (order < 1 || order > highestHarmonic)
        return notMeasured;
    const double degrees = std::arg(harmonics[order]) * 180.0 / pi;
    return degrees <= -180.0 ? degrees + 360.0 : degrees;
}

std::string ChannelAnalysis::thdPercentText() const
{
    if (!std::isfinite(thdPercent))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.3g", thdPercent);
    const char* exponent = std::strchr(text, 'e');
    if (!exponent)
        return text;
    // The same three digits without the exponent, and without the zeros
    // "%g" would not have shown.
    std::snprintf(text, sizeof text, "%.*f", std::max(0, 2 - std::atoi(exponent + 1)), thdPercent);
    std::string written = text;
    if (written.find('.') != std::string::npos) {
        written.erase(written.find_last_not_of('0') + 1);
        if (written.back() == '.')
            written.pop_back();
    }
    return written;
}

ChannelAnalysis analyseChannel(const double* samples, std::size_t count, double rateHz,
                               const AnalysisOptions& options)
{
    ChannelAnalysis result;
    bool finite = true;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::abs(samples[i]) >= fullScale)
            addProblem(result.problems, Problem::clipping);
        finite = finite && std::isfinite(samples[i]);
    }
    // A sample that is not a number holds no tone, and would make every
    // figure one.
    if (count < shortestCapture || !(rateHz > 0) || !finite)
        return withoutTone(result);

    const double omega = toneFrequency(samples, count, rateHz, options);
    if (!(omega > 0))
        return withoutTone(result);

    // A whole number of cycles from the first sample.
    const double period = 2.0 * pi / omega;
    const double cycles = std::floor(double(count) / period);
    if (cycles < 1)
        return withoutTone(result);
    const std::size_t length = std::min(count, std::size_t(std::llround(cycles * period)));
    const TrackedFit tracked = fitTracked(samples, count, length, omega, rateHz);
    const double amplitude = std::abs(tracked.fit.amplitudes[1]);
    // A tone is there when the fundamental carries more than all the rest.
    if (!(amplitude > 0) || amplitude / std::sqrt(2.0) <= tracked.restRms)
        return withoutTone(result);

    result.hasTone = true;
    result.frequencyHz = omega * rateHz / (2.0 * pi);
    result.levelDbfs = linearToDb(amplitude);
    result.dcOffset = tracked.fit.dc;
    result.seconds = double(length) / rateHz;
    result.cycles = cycles;
    result.noiseDbfs = linearToDb(tracked.residualRms * std::sqrt(2.0));
    referHarmonics(tracked.fit, result);
    spectralFigures(tracked, length, omega, rateHz, options, result);

    if (flatTopped(samples, count, tracked.fit.dc, amplitude, omega))
        addProblem(result.problems, Problem::clipping);
    if (tracked.dropout)
        addProblem(result.problems, Problem::dropout);
    if (options.expectedLevelDbfs
        && std::abs(result.levelDbfs - *options.expectedLevelDbfs) > options.levelToleranceDb)
        addProblem(result.problems, Problem::level);
    return result;
}

std::string CaptureAnalysis::channelName(std::size_t channel, std::size_t channels, bool capital)
{
    std::string name = channels == 1 ? "mono"
                       : channel < 2 ? (channel == 0 ? "left" : "right")
                                     : "channel " + std::to_string(channel + 1);
    if (capital)
        name[0] = char(std::toupper(static_cast<unsigned char>(name[0])));
    return name;
}

CaptureAnalysis analyseCapture(const std::vector<std::vector<double>>& channels, double rateHz,
                               const AnalysisOptions& options)
{
    CaptureAnalysis capture;
    capture.rateHz = rateHz;
    std::size_t longest = 0;
    for (const std::vector<double>& channel : channels) {
        capture.channels.push_back(analyseChannel(channel.data(), channel.size(), rateHz, options));
        longest = std::max(longest, channel.size());
    }
    capture.seconds = rateHz > 0 ? double(longest) / rateHz : 0.0;
    for (const char* problem : problemOrder) {
        for (const ChannelAnalysis& channel : capture.channels) {
            if (std::find(channel.problems.begin(), channel.problems.end(), problem) != channel.problems.end()) {
                capture.problems.emplace_back(problem);
                break;
            }
        }
    }
    return capture;
}

CaptureAnalysis analyseInterleaved(const float* frames, std::size_t frameCount, int channelCount,
                                   double rateHz, const AnalysisOptions& options)
{
    std::vector<std::vector<double>> channels(std::max(0, channelCount), std::vector<double>(frameCount));
    for (std::size_t i = 0; i < frameCount; ++i) {
        for (int c = 0; c < channelCount; ++c)
            channels[c][i] = frames[i * std::size_t(channelCount) + std::size_t(c)];
    }
    return analyseCapture(channels, rateHz, options);
}
