// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/analysis.h"

#include "measure/decibels.h"
#include "measure/sinefit.h"
#include "measure/spectrum.h"

#include <algorithm>
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

// A dropout moves the fundamental's local amplitude or phase by more than
// this, relative to the fundamental (−60 dB): a one-sample slip at 1 kHz and
// 48 kHz moves the phase by 0.13 rad, while noise, clock drift (absorbed by
// the fit) and harmonics (fitted) move it by far less.
constexpr double dropoutDeviation = 1e-3;
// ... or the residual's RMS in one segment stands this far above its median.
constexpr double dropoutBurst = 10.0;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    return values[middle];
}

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

// Splits the capture into segments of whole cycles (about 4 ms, one cycle at
// least) and looks at each for what a stream that lost or repeated samples
// leaves: the fundamental's amplitude or phase away from the whole fit's, or
// a burst in what the fit leaves.
bool hasDropout(const std::vector<double>& residual, double omega, double amplitude, double rateHz)
{
    const double period = 2.0 * pi / omega;
    const double cycles = std::max(1.0, std::round(0.004 * rateHz / period));
    const std::size_t segment = std::max<std::size_t>(32, std::size_t(std::round(cycles * period)));
    const std::size_t count = residual.size() / segment;
    if (count < 2)
        return false;
    std::vector<double> rms(count);
    std::vector<double> deviation(count);
    const std::vector<std::complex<double>> phasor = SineFit::phasors(-omega, count * segment, 0.0);
    for (std::size_t s = 0; s < count; ++s) {
        const double* r = residual.data() + s * segment;
        const std::complex<double>* z = phasor.data() + s * segment;
        std::complex<double> sum = 0;
        double energy = 0;
        for (std::size_t i = 0; i < segment; ++i) {
            sum += r[i] * z[i];
            energy += r[i] * r[i];
        }
        rms[s] = std::sqrt(energy / double(segment));
        deviation[s] = 2.0 * std::abs(sum) / double(segment) / amplitude;
    }
    const double typicalRms = median(rms);
    // What the noise alone moves a segment's estimate by, eight times over.
    const double noiseDeviation = 8.0 * typicalRms * std::sqrt(2.0 / double(segment)) / amplitude;
    const double deviationLimit = std::max(dropoutDeviation, noiseDeviation);
    const double burstLimit = std::max(dropoutBurst * typicalRms, 1e-6 * amplitude);
    for (std::size_t s = 0; s < count; ++s) {
        if (deviation[s] > deviationLimit || rms[s] > burstLimit)
            return true;
    }
    return false;
}

const char* const problemOrder[] = {Problem::clipping, Problem::dropout, Problem::level, Problem::noSignal};

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

    // The tone: the FFT's peak, then the four-parameter fit.
    double lowest = 2.0 * pi * 10.0 / rateHz;
    double highest = pi;
    if (options.expectedFrequencyHz) {
        lowest = 2.0 * pi * *options.expectedFrequencyHz * 0.98 / rateHz;
        highest = std::min(pi, 2.0 * pi * *options.expectedFrequencyHz * 1.02 / rateHz);
    }
    double omega = SineFit::peakFrequency(samples, count, lowest, highest);
    if (!(omega > 0))
        return withoutTone(result);
    omega = SineFit::refineFrequency(samples, count, omega);

    // A whole number of cycles from the first sample.
    const double period = 2.0 * pi / omega;
    const double cycles = std::floor(double(count) / period);
    if (cycles < 1)
        return withoutTone(result);
    const std::size_t length = std::min(count, std::size_t(std::llround(cycles * period)));
    const SineFit::Harmonics fit = SineFit::fitHarmonics(samples, length, omega, highestHarmonic);
    const double amplitude = std::abs(fit.amplitudes[1]);

    // What is left after DC and the fundamental, and after all nine.
    const std::vector<double> fundamental = SineFit::model(fit, omega, length, count, 1);
    const std::vector<double> full = SineFit::model(fit, omega, length, count, highestHarmonic);
    std::vector<double> rest(count), residual(count);
    double restEnergy = 0, residualEnergy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        rest[i] = samples[i] - fundamental[i];
        residual[i] = samples[i] - full[i];
        if (i < length) {
            restEnergy += rest[i] * rest[i];
            residualEnergy += residual[i] * residual[i];
        }
    }
    const double restRms = std::sqrt(restEnergy / double(length));
    // A tone is there when the fundamental carries more than all the rest.
    if (!(amplitude > 0) || amplitude / std::sqrt(2.0) <= restRms)
        return withoutTone(result);

    result.hasTone = true;
    result.frequencyHz = omega * rateHz / (2.0 * pi);
    result.levelDbfs = linearToDb(amplitude);
    result.dcOffset = fit.dc;
    result.seconds = double(length) / rateHz;
    result.cycles = cycles;
    const double residualRms = std::sqrt(residualEnergy / double(length));
    result.noiseDbfs = linearToDb(residualRms * std::sqrt(2.0));
    result.harmonicNoise = residualRms * std::sqrt(2.0 / double(length)) / amplitude;

    // h_k = (a_k / |a_1|)·e^(−j·k·∠a_1).
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

    // THD+N: the rest's power within the band, from a Hann-windowed FFT of
    // the whole cycles analysed.
    const std::size_t fftLength = Spectrum::fastLength(length);
    const std::vector<double> power = Spectrum::hannPower(rest.data() + (length - fftLength) / 2, fftLength);
    const double binHz = rateHz / double(fftLength);
    const std::size_t firstBin = std::max<std::size_t>(1, std::size_t(std::ceil(options.bandLowHz / binHz)));
    const std::size_t lastBin = std::min(power.size() - 2, std::size_t(std::floor(options.bandHighHz / binHz)));
    double bandPower = 0;
    for (std::size_t k = firstBin; k <= lastBin; ++k)
        bandPower += power[k];
    bandPower *= 2.0 / (double(fftLength) * Spectrum::hannEnergy(fftLength));
    result.thdnDb = linearToDb(std::sqrt(bandPower) / (amplitude / std::sqrt(2.0)));

    if (flatTopped(samples, count, fit.dc, amplitude, omega))
        addProblem(result.problems, Problem::clipping);
    if (hasDropout(residual, omega, amplitude, rateHz))
        addProblem(result.problems, Problem::dropout);
    if (options.expectedLevelDbfs
        && std::abs(result.levelDbfs - *options.expectedLevelDbfs) > options.levelToleranceDb)
        addProblem(result.problems, Problem::level);
    return result;
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
