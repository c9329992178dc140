// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/thdsolver.h"

#include "measure/decibels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using Complex = std::complex<double>;
constexpr double notMeasured = std::numeric_limits<double>::quiet_NaN();
constexpr int lowest = -32768;
constexpr int highest = 32767;
const char* const harmonicName[2] = {"2nd", "3rd"};

std::string pairName(int pair)
{
    return "thd_range" + std::to_string(pair);
}

std::string outputName(int output)
{
    return output == 0 ? "left" : output == 1 ? "right" : "output " + std::to_string(output + 1);
}

std::string problemsOf(const CaptureAnalysis& capture)
{
    std::string text;
    for (const std::string& problem : capture.problems)
        text += (text.empty() ? "" : ", ") + problem;
    return text;
}

std::string formatDb(double db)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBc", db);
    return text;
}

// H2 and H3 of an output, and the noise of each part of them.
Complex harmonic(const CaptureAnalysis& capture, int output, int which)
{
    return capture.channels[output].harmonics[2 + which];
}

double noiseOf(const CaptureAnalysis& capture, int output)
{
    return capture.channels[output].harmonicNoise;
}

// Σ |H2|² + |H3|² over the outputs: what the tuning lowers.
double distortionOf(const CaptureAnalysis& capture)
{
    double sum = 0;
    for (std::size_t output = 0; output < capture.channels.size(); ++output) {
        for (int which = 0; which < 2; ++which)
            sum += std::norm(harmonic(capture, int(output), which));
    }
    return sum;
}

// What noise alone gives distortionOf(): 2σ² per complex harmonic.
double noiseDistortionOf(const CaptureAnalysis& capture)
{
    double sum = 0;
    for (const ChannelAnalysis& channel : capture.channels)
        sum += 2 * 2 * channel.harmonicNoise * channel.harmonicNoise;
    return sum;
}

int clampValue(double value, bool& clamped)
{
    const double rounded = std::round(value);
    clamped = rounded < lowest || rounded > highest;
    return int(std::clamp(rounded, double(lowest), double(highest)));
}

} // namespace

ThdSolver::ThdSolver(Measure measure)
    : ThdSolver(std::move(measure), Settings())
{
}

ThdSolver::ThdSolver(Measure measure, Settings settings)
    : measure(std::move(measure))
    , settings(settings)
{
}

void ThdSolver::setProgress(Progress progress)
{
    this->progress = std::move(progress);
}

CaptureAnalysis ThdSolver::capture(const ThdValues& values, Step step)
{
    ++captureCount;
    if (progress) {
        step.capture = captureCount;
        step.planned = std::max(planned, captureCount);
        progress(step);
    }
    return measure(values, step.lengthFactor);
}

ThdSolver::Result ThdSolver::run(const ThdValues& start)
{
    captureCount = 0;
    // The start, one probe a pair, the values solved for and each refinement.
    planned = 1 + 3 + 1 + std::max(0, settings.maxRefinements);
    Result result;
    result.start = result.values = start;
    auto finish = [&](Outcome outcome, const std::string& reason) {
        result.outcome = outcome;
        result.reason = reason;
        result.captures = captureCount;
        if (outcome != Outcome::Improved)
            result.values = start;
        return result;
    };

    // The start.
    const CaptureAnalysis base = capture(start, Step{});
    if (!base.ok())
        return finish(Outcome::Failed, "the capture at the start values: " + problemsOf(base));
    if (base.channels.empty())
        return finish(Outcome::Failed, "the capture holds no channel");
    const int outputs = int(base.channels.size());
    for (int output = 0; output < outputs; ++output) {
        if (std::isnan(harmonic(base, output, 1).real()))
            return finish(Outcome::Failed, "the tone is too high to measure H3 at this rate");
    }
    result.before = result.after = base;

    // Probe: step each pair's two values together; H2 answers the 2nd, H3
    // the 3rd. significant[pair][output][which]: moved beyond its noise.
    std::array<std::vector<std::array<bool, 2>>, 3> significant;
    for (int pair = 0; pair < 3; ++pair) {
        PairEffect& effect = result.pairs[pair];
        effect.sensitivity.assign(outputs, {Complex(0), Complex(0)});
        significant[pair].assign(outputs, {false, false});
        int step = std::clamp(settings.initialStep, 1, highest);
        for (int attempt = 0; attempt < settings.probeAttempts; ++attempt) {
            ThdValues probe = start;
            int delta[2];
            for (int which = 0; which < 2; ++which) {
                const int from = start.pairs[pair][which];
                const int to = from + step <= highest ? from + step : from - step;
                probe.pairs[pair][which] = int16_t(to);
                delta[which] = to - from;
            }
            if (attempt > 0)
                ++planned;
            Step what;
            what.purpose = Step::Purpose::Probe;
            what.pair = pair;
            what.attempt = attempt;
            const CaptureAnalysis stepped = capture(probe, what);
            if (!stepped.ok() || int(stepped.channels.size()) != outputs)
                return finish(Outcome::Failed, "the capture while probing " + pairName(pair) + ": "
                                                   + (stepped.ok() ? "the channels changed" : problemsOf(stepped)));
            effect.step = step;
            for (int output = 0; output < outputs; ++output) {
                const double noise = std::hypot(noiseOf(base, output), noiseOf(stepped, output));
                for (int which = 0; which < 2; ++which) {
                    const Complex change = harmonic(stepped, output, which) - harmonic(base, output, which);
                    effect.sensitivity[output][which] = change / double(delta[which]);
                    // |change| of noise alone has an RMS of noise·√2.
                    significant[pair][output][which] =
                        std::abs(change) >= settings.changeOverNoise * noise * std::sqrt(2.0);
                    effect.movesAnything = effect.movesAnything || significant[pair][output][which];
                }
            }
            if (effect.movesAnything || step >= highest)
                break;
            step = int(std::min<long>(highest, long(step) * std::max(2, settings.stepGrowth)));
        }
    }

    // The map: each output goes to the pair that moves it most (per unit,
    // H2 and H3 together); a pair may drive both outputs of a stereo chip.
    for (int output = 0; output < outputs; ++output) {
        int driver = -1;
        double strongest = 0;
        for (int pair = 0; pair < 3; ++pair) {
            if (!significant[pair][output][0] && !significant[pair][output][1])
                continue;
            double strength = 0;
            for (int which = 0; which < 2; ++which)
                strength += std::norm(result.pairs[pair].sensitivity[output][which]);
            if (strength > strongest) {
                strongest = strength;
                driver = pair;
            }
        }
        if (driver >= 0)
            result.pairs[driver].drives.push_back(output);
    }
    bool anyDriver = false;
    for (int pair = 0; pair < 3; ++pair) {
        const PairEffect& effect = result.pairs[pair];
        anyDriver = anyDriver || !effect.drives.empty();
        if (!effect.movesAnything) {
            result.notes.push_back(pairName(pair) + " moves nothing; left as it was");
        } else if (effect.drives.empty()) {
            result.notes.push_back(pairName(pair) + " moves less than another pair on the same output; left as it was");
        }
    }
    const double baseNoise = noiseDistortionOf(base);
    auto worstDbc = [&](const CaptureAnalysis& capture) {
        double worst = -std::numeric_limits<double>::infinity();
        for (int output = 0; output < outputs; ++output) {
            for (int which = 0; which < 2; ++which)
                worst = std::max(worst, linearToDb(std::abs(harmonic(capture, output, which))));
        }
        return worst;
    };
    auto noiseReason = [&](double noise) {
        return "the capture's own noise (" + formatDb(linearToDb(std::sqrt(noise / (2.0 * outputs))))
               + " per harmonic) lies above the DAC's distortion (" + formatDb(worstDbc(base))
               + "): nothing measurable to null";
    };
    // Noise alone gives distortionOf() a mean of `noise` and a spread of
    // about half that: a change is real beyond twice it.
    if (!anyDriver) {
        if (distortionOf(base) <= 3 * baseNoise)
            return finish(Outcome::NotImproved, noiseReason(baseNoise));
        return finish(Outcome::NotImproved,
                      "no THD value moves the measured distortion: is the DAC's output connected to the "
                      "input, and does the capture hear the DAC?");
    }

    // Solve from the current point, then refine from each new one: the same
    // sensitivities, the projection of each harmonic on them to zero. Each
    // capture gives every value an estimate of where its null lies, good to
    // its noise over |g|; the value written is the mean of the estimates so
    // far, each weighted by its precision. Where that leaves a value
    // uncertain by more than `resolution`, the next capture is longer.
    struct Estimate {
        double weight = 0;      // Σ 1/σ²
        double sum = 0;         // Σ c/σ²
    };
    std::array<std::array<Estimate, 2>, 3> estimates{};
    ThdValues current = start;
    CaptureAnalysis currentCapture = base;
    double currentFactor = 1;
    ThdValues best = start;
    CaptureAnalysis bestCapture = base;
    bool clampedAny = false;
    for (int round = 0; round <= settings.maxRefinements; ++round) {
        ThdValues next = current;
        bool changed = false;
        double factor = 1;
        for (int pair = 0; pair < 3; ++pair) {
            const PairEffect& effect = result.pairs[pair];
            for (int which = 0; which < 2; ++which) {
                double projection = 0, weight = 0, noise = 0, baseNoiseOfValue = 0;
                for (int output : effect.drives) {
                    if (!significant[pair][output][which])
                        continue;
                    const Complex g = effect.sensitivity[output][which];
                    projection += (std::conj(g) * harmonic(currentCapture, output, which)).real();
                    weight += std::norm(g);
                    noise = std::max(noise, noiseOf(currentCapture, output));
                    baseNoiseOfValue = std::max(baseNoiseOfValue, noiseOf(base, output));
                }
                if (weight <= 0)
                    continue;
                const double sigma = std::max(noise / std::sqrt(weight), 1e-3);
                Estimate& estimate = estimates[pair][which];
                estimate.weight += 1 / (sigma * sigma);
                estimate.sum += (current.pairs[pair][which] - projection / weight) / (sigma * sigma);
                const double uncertainty = 1 / std::sqrt(estimate.weight);
                const double usual = baseNoiseOfValue / std::sqrt(weight);
                const double target = estimate.sum / estimate.weight;
                bool clamped = false;
                const int value = clampValue(target, clamped);
                clampedAny = clampedAny || clamped;
                if (uncertainty > settings.resolution)
                    factor = std::max(factor, std::pow(usual / settings.resolution, 2));
                // Below twice its noise the projection is noise: moving on it
                // would chase the noise.
                if (std::abs(target - current.pairs[pair][which]) < 2 * uncertainty
                    && uncertainty > settings.resolution)
                    continue;
                if (value != current.pairs[pair][which]) {
                    next.pairs[pair][which] = int16_t(value);
                    changed = true;
                }
            }
        }
        // A null beyond the range is no null of the DAC's: nothing to refine.
        if (clampedAny)
            break;
        factor = std::min(factor, std::max(1.0, settings.longestFactor));
        // A longer capture at the same values tells them better too.
        if (!changed && factor <= currentFactor)
            break;
        Step step;
        step.purpose = round == 0 ? Step::Purpose::Solved : Step::Purpose::Refine;
        step.round = round;
        step.lengthFactor = factor;
        // The outputs whose values move; with none, all that a pair drives
        // (the same values, measured longer).
        for (int changedOnly = 1; changedOnly >= 0 && step.outputs.empty(); --changedOnly) {
            for (int pair = 0; pair < 3; ++pair) {
                if (changedOnly && next.pairs[pair] == current.pairs[pair])
                    continue;
                for (int output : result.pairs[pair].drives)
                    step.outputs.push_back(output);
            }
        }
        std::sort(step.outputs.begin(), step.outputs.end());
        step.outputs.erase(std::unique(step.outputs.begin(), step.outputs.end()), step.outputs.end());
        const CaptureAnalysis measured = capture(next, step);
        if (!measured.ok() || int(measured.channels.size()) != outputs)
            return finish(Outcome::Failed, "the capture at the values solved for: "
                                               + (measured.ok() ? "the channels changed" : problemsOf(measured)));
        current = next;
        currentCapture = measured;
        currentFactor = factor;
        if (distortionOf(measured) < distortionOf(bestCapture)) {
            best = next;
            bestCapture = measured;
        }
    }
    // The last values hold the most captures' worth of estimates: they stay
    // unless another capture measured better by more than the noise.
    if (best != current
        && distortionOf(currentCapture) <= distortionOf(bestCapture) + 2 * noiseDistortionOf(currentCapture)) {
        best = current;
        bestCapture = currentCapture;
    }

    // The floor: what is left in quadrature to what the values move.
    result.floors.assign(outputs, {notMeasured, notMeasured});
    double floorSquared = 0;
    for (int pair = 0; pair < 3; ++pair) {
        for (int output : result.pairs[pair].drives) {
            for (int which = 0; which < 2; ++which) {
                if (!significant[pair][output][which]) {
                    result.notes.push_back(std::string("the ") + harmonicName[which] + " value of "
                                           + pairName(pair) + " moves nothing on the " + outputName(output)
                                           + " output; left as it was");
                    continue;
                }
                const Complex g = result.pairs[pair].sensitivity[output][which];
                const double quadrature = std::abs((std::conj(g / std::abs(g)) * harmonic(bestCapture, output, which)).imag());
                floorSquared += quadrature * quadrature;
                (which ? result.floors[output].thirdDbc : result.floors[output].secondDbc) = linearToDb(quadrature);
            }
        }
    }

    const double before = distortionOf(base);
    const double after = distortionOf(bestCapture);
    const double noise = std::max(baseNoise, noiseDistortionOf(bestCapture));
    const double worstBeforeDbc = worstDbc(base);
    if (settings.interfaceDistortionDbc && worstBeforeDbc < *settings.interfaceDistortionDbc + 10.0) {
        return finish(Outcome::NotImproved,
                      "the audio interface's own distortion (" + formatDb(*settings.interfaceDistortionDbc)
                          + ") is not 10 dB below the DAC's (" + formatDb(worstBeforeDbc)
                          + "): a null would cancel the interface's, not the DAC's");
    }
    // A value the null needs beyond its range would pre-distort the DAC by
    // the most it can against something that is not the DAC's own.
    if (clampedAny)
        return finish(Outcome::NotImproved,
                      "the values that would null it lie beyond their range: the distortion measured is most "
                      "likely not the DAC's (the audio interface's own, or an overloaded input)");
    // Better by more than the noise moves it, and by half a decibel at least.
    if (before - after > 2 * noise && after < 0.9 * before) {
        result.values = best;
        result.after = bestCapture;
        return finish(Outcome::Improved, "");
    }
    // What was measured at the start holds the noise once over.
    if (before <= 3 * noise)
        return finish(Outcome::NotImproved, noiseReason(noise));
    if (floorSquared >= 0.5 * before)
        return finish(Outcome::NotImproved,
                      "what the values move lies in quadrature to the distortion measured ("
                          + formatDb(linearToDb(std::sqrt(floorSquared)))
                          + " cannot be cancelled): the audio interface's own distortion, or phase shifts after "
                            "the DAC, dominate");
    return finish(Outcome::NotImproved, "the values found measured no better than the start");
}
