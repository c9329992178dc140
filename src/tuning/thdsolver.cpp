// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/thdsolver.h"

#include "measure/decibels.h"
#include "tuning/thdcaptures.h"
#include "tuning/measurementsetup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using Complex = std::complex<double>;
constexpr double notMeasured = std::numeric_limits<double>::quiet_NaN();
constexpr int highest = SettingsBlock::thdValueHighest;
const char* const valueName[2] = {"2nd", "3rd"};
const char* const harmonicName[2] = {"H2", "H3"};

// "the left output", "the left and right outputs".
std::string outputsText(const std::vector<int>& outputs)
{
    std::string text = "the ";
    for (std::size_t i = 0; i < outputs.size(); ++i)
        text += (i == 0                    ? ""
                 : i + 1 == outputs.size() ? " and "
                                           : ", ")
                + CaptureAnalysis::channelName(std::size_t(outputs[i]), 2);
    return text + (outputs.size() == 1 ? " output" : " outputs");
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

Complex harmonic(const CaptureAnalysis& capture, int output, int which)
{
    return ThdCaptures::harmonic(capture, output, which);
}

// `noise`: the distortion noise alone gives over `outputs` outputs.
std::string noiseReason(double noise, int outputs, const CaptureAnalysis& base)
{
    return "the capture's own noise (" + formatDb(linearToDb(std::sqrt(noise / (2.0 * outputs))))
           + " per harmonic) lies above the DAC's distortion ("
           + formatDb(ThdCaptures::worstDbc(base)) + "): nothing measurable to null";
}

int firstStep(const ThdSolver::Settings& settings)
{
    return std::clamp(settings.initialStep, 1, highest);
}

int nextStep(int step, const ThdSolver::Settings& settings)
{
    return int(std::min<long>(highest, long(step) * std::max(2, settings.stepGrowth)));
}

// The value `step` away from `from`, upwards where the range allows.
int stepped(int from, int step)
{
    return from + step <= highest ? from + step : from - step;
}

} // namespace

struct ThdSolver::Run {
    Result result;
    ThdCaptures captures;
    int outputs = 0;
    // The capture at the values the refinements last wrote, and the one
    // that measured least distortion.
    std::size_t latest = 0;
    std::size_t best = 0;
    // A null lay beyond the register's range.
    bool clamped = false;
    // How a stage that ends the run early ends it, and why: Failed (what
    // failed), Stopped (by the measure step) or NotImproved.
    Outcome end = Outcome::Failed;
    std::string reason;
};

ThdSolver::ThdSolver(Measure measure, Settings settings)
    : measure(std::move(measure))
    , settings(settings)
{
}

double ThdSolver::maxCaptureLengths(const Settings& settings)
{
    int attempts = 1;
    for (int step = firstStep(settings); step < highest; step = nextStep(step, settings))
        ++attempts;
    const double solves = 1 + std::max(0, settings.maxRefinements);
    return 1 + 3.0 * attempts + solves * std::max(1.0, settings.longestFactor);
}

const CaptureAnalysis* ThdSolver::capture(Run& run, const ThdValues& values, Step step,
                                          const std::string& what)
{
    ++captureCount;
    if (progress) {
        step.capture = captureCount;
        step.planned = std::max(planned, captureCount);
        progress(step);
    }
    const std::optional<CaptureAnalysis> measured = measure(values, step.lengthFactor);
    if (!measured) {
        run.end = Outcome::Stopped;
        return nullptr;
    }
    run.captures.add(values, *measured, step.lengthFactor);
    run.result.captureLengths += step.lengthFactor;
    const CaptureAnalysis& analysis = run.captures.at(run.captures.size() - 1).analysis;
    // Once the start has told the outputs, every capture has them all.
    if (!analysis.ok() || (run.outputs > 0 && int(analysis.channels.size()) != run.outputs)) {
        run.reason = "the capture " + what + ": "
                     + (analysis.ok() ? "the channels changed" : problemsOf(analysis));
        return nullptr;
    }
    return &analysis;
}

ThdSolver::Result ThdSolver::finish(Run& run, Outcome outcome, const std::string& reason) const
{
    Result& result = run.result;
    result.outcome = outcome;
    result.reason = reason;
    result.captures = captureCount;
    if (outcome != Outcome::Improved)
        result.values = result.start;
    return result;
}

ThdSolver::Result ThdSolver::run(const ThdValues& start)
{
    Run run;
    if (!startAndProbes(run, start) || !mapped(run) || !refine(run))
        return finish(run, run.end, run.reason);
    recordFloors(run);
    return verdict(run);
}

ThdSolver::Result ThdSolver::map(const ThdValues& start)
{
    Run run;
    if (!startAndProbes(run, start) || !mapped(run))
        return finish(run, run.end, run.reason);
    return finish(run, Outcome::NotImproved, "");
}

bool ThdSolver::startAndProbes(Run& run, const ThdValues& start)
{
    run.result.start = run.result.values = start;
    captureCount = 0;
    // The start, one probe a pair, the values solved for and each refinement.
    planned = 1 + 3 + 1 + std::max(0, settings.maxRefinements);
    bool goesOn = measureStart(run);
    for (int pair = 0; pair < ThdValues::pairCount && goesOn; ++pair)
        goesOn = probePair(run, pair);
    if (goesOn)
        mapOutputs(run);
    return goesOn;
}

bool ThdSolver::measureStart(Run& run)
{
    const CaptureAnalysis* base = capture(run, run.result.start, Step{}, "at the start values");
    if (!base)
        return false;
    run.outputs = int(base->channels.size());
    for (int output = 0; output < run.outputs; ++output) {
        if (std::isnan(harmonic(*base, output, 1).real()))
            run.reason = "the tone is too high to measure H3 at this rate";
    }
    if (run.outputs == 0)
        run.reason = "the capture holds no channel";
    if (!run.reason.empty())
        return false;
    run.captures.setOutputs(run.outputs);
    run.result.before = run.result.after = *base;
    return true;
}

// Steps the pair's two values together, H2 answering the 2nd and H3 the
// 3rd. A value whose harmonic moves nowhere beyond its noise, or moves on
// one output while it only stirs on another, is stepped again further, up
// to the range; one that moved wherever it acts keeps its step.
bool ThdSolver::probePair(Run& run, int pair)
{
    PairEffect& effect = run.result.pairs[pair];
    effect.sensitivity.assign(run.outputs, {Complex(0), Complex(0)});
    const ThdValues& start = run.result.start;
    const CaptureAnalysis base = run.captures.at(0).analysis;
    std::array<int, 2> step{firstStep(settings), firstStep(settings)};
    std::array<bool, 2> moved{false, false};
    std::array<bool, 2> settled{false, false};
    for (int attempt = 0;; ++attempt) {
        ThdValues probe = start;
        for (int which = 0; which < 2; ++which)
            probe.pairs[pair][which] = int16_t(stepped(start.pairs[pair][which], step[which]));
        if (attempt > 0)
            ++planned;
        Step what;
        what.purpose = Step::Purpose::Probe;
        what.pair = pair;
        what.attempt = attempt;
        const CaptureAnalysis* measured =
            capture(run, probe, what, "while probing " + ThdValues::pairName(pair));
        if (!measured)
            return false;
        bool larger = false;
        for (int which = 0; which < 2; ++which) {
            if (settled[which])
                continue;
            effect.steps[which] = step[which];
            const int delta = probe.pairs[pair][which] - start.pairs[pair][which];
            bool stirs = false;
            moved[which] = false;
            for (int output = 0; output < run.outputs; ++output) {
                const Complex change =
                    harmonic(*measured, output, which) - harmonic(base, output, which);
                const double noise = std::hypot(ThdCaptures::noise(base, output),
                                                ThdCaptures::noise(*measured, output));
                effect.sensitivity[output][which] = change / double(delta);
                // |change| of noise alone has an RMS of noise·√2.
                const double overNoise = std::abs(change) / (noise * std::sqrt(2.0));
                const bool significant = overNoise >= settings.changeOverNoise;
                run.captures.setActs(pair, output, which, significant);
                moved[which] = moved[which] || significant;
                stirs = stirs || (!significant && overNoise >= settings.suggestOverNoise);
            }
            settled[which] = (moved[which] && !stirs) || step[which] >= highest;
            if (!settled[which]) {
                step[which] = nextStep(step[which], settings);
                larger = true;
            }
        }
        if (!larger)
            break;
    }
    effect.step = std::max(effect.steps[0], effect.steps[1]);
    effect.movesAnything = moved[0] || moved[1];
    return true;
}

// Each output goes to the pair that moves it most (per unit, H2 and H3
// together); a pair may drive both outputs of a stereo chip. The notes name
// what is left as it was, and why.
void ThdSolver::mapOutputs(Run& run) const
{
    Result& result = run.result;
    for (int output = 0; output < run.outputs; ++output) {
        int driver = -1;
        double strongest = 0;
        for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
            if (!run.captures.acts(pair, output, 0) && !run.captures.acts(pair, output, 1))
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
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        const PairEffect& effect = result.pairs[pair];
        if (!effect.movesAnything) {
            result.notes.push_back(ThdValues::pairName(pair) + " moves nothing even at a step of "
                                   + std::to_string(effect.step) + "; left as it was");
        } else if (effect.drives.empty()) {
            result.notes.push_back(
                ThdValues::pairName(pair)
                + " moves less than another pair on the same output; left as it was");
        }
    }
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        const PairEffect& effect = result.pairs[pair];
        for (int which = 0; which < 2; ++which) {
            std::vector<int> still, moved;
            for (int output : effect.drives)
                (run.captures.acts(pair, output, which) ? moved : still).push_back(output);
            if (still.empty())
                continue;
            std::string note = std::string("the ") + valueName[which] + " value of "
                               + ThdValues::pairName(pair) + " moves " + harmonicName[which]
                               + " less than its noise on " + outputsText(still);
            if (moved.empty())
                note += " even at a step of " + std::to_string(effect.steps[which])
                        + "; left as it was";
            else
                note += " at a step of " + std::to_string(effect.steps[which]) + "; set for "
                        + outputsText(moved) + " alone";
            result.notes.push_back(note);
        }
    }
}

// With no pair driving any output there is nothing to solve: the reason
// tells a capture too noisy from a DAC the input does not hear.
bool ThdSolver::mapped(Run& run)
{
    for (const PairEffect& effect : run.result.pairs) {
        if (!effect.drives.empty())
            return true;
    }
    const CaptureAnalysis& base = run.result.before;
    const double noise = ThdCaptures::noiseDistortion(base);
    run.end = Outcome::NotImproved;
    // Noise alone gives a distortion of `noise` on average, and a spread of
    // about half that: a change is real beyond twice it.
    if (ThdCaptures::distortion(base) <= 3 * noise)
        run.reason = noiseReason(noise, run.outputs, base);
    else
        run.reason = "no THD value moves the measured distortion: is the DAC's output connected "
                     "to the input, and does the capture hear the DAC?";
    return false;
}

// Solves from the start, then refines from each newest capture: every value
// steps to where the projection of its harmonic on the line's slope crosses
// zero, until each lies within what its harmonic needs of it (ThdCaptures
// says how well that is and how long a capture tells it).
bool ThdSolver::refine(Run& run)
{
    for (int round = 0; round <= settings.maxRefinements; ++round) {
        const ThdCaptures::Next next = run.captures.next(run.result.pairs, run.latest, settings);
        const ThdCaptures::Capture& current = run.captures.at(run.latest);
        // A null beyond the range is no null of the DAC's: nothing to refine.
        run.clamped = next.beyondRange;
        if (next.beyondRange || next.settled
            || (next.values == current.values && next.lengthFactor <= current.lengthFactor))
            break;
        Step step;
        step.purpose = round == 0 ? Step::Purpose::Solved : Step::Purpose::Refine;
        step.round = round;
        step.lengthFactor = next.lengthFactor;
        step.outputs = next.outputs;
        const CaptureAnalysis* measured =
            capture(run, next.values, step, "at the values solved for");
        if (!measured)
            return false;
        run.latest = run.captures.size() - 1;
        if (ThdCaptures::distortion(*measured)
            < ThdCaptures::distortion(run.captures.at(run.best).analysis))
            run.best = run.latest;
    }
    // The last values are the newest solution: they stay unless another
    // capture measured better by more than the noise moves the two.
    const CaptureAnalysis& last = run.captures.at(run.latest).analysis;
    const CaptureAnalysis& best = run.captures.at(run.best).analysis;
    const double spread =
        std::hypot(ThdCaptures::distortionSpread(last), ThdCaptures::distortionSpread(best));
    if (ThdCaptures::distortion(last) - ThdCaptures::distortion(best) <= 2 * spread)
        run.best = run.latest;
    return true;
}

// What is left in quadrature to what the values move, at the capture kept;
// each slope as every capture so far tells it.
void ThdSolver::recordFloors(Run& run) const
{
    Result& result = run.result;
    const CaptureAnalysis& best = run.captures.at(run.best).analysis;
    result.floors.assign(run.outputs, {notMeasured, notMeasured});
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        for (int output : result.pairs[pair].drives) {
            for (int which = 0; which < 2; ++which) {
                if (!run.captures.acts(pair, output, which))
                    continue;
                const Complex g = run.captures.line(pair, which, output).slope();
                if (g == Complex(0))
                    continue;
                result.pairs[pair].sensitivity[output][which] = g;
                const double quadrature =
                    std::abs((std::conj(g / std::abs(g)) * harmonic(best, output, which)).imag());
                (which ? result.floors[output].thirdDbc : result.floors[output].secondDbc) =
                    linearToDb(quadrature);
            }
        }
    }
}

ThdSolver::Result ThdSolver::verdict(Run& run)
{
    const CaptureAnalysis& base = run.result.before;
    const CaptureAnalysis& bestCapture = run.captures.at(run.best).analysis;
    const double before = ThdCaptures::distortion(base);
    const double after = ThdCaptures::distortion(bestCapture);
    const double noise =
        std::max(ThdCaptures::noiseDistortion(base), ThdCaptures::noiseDistortion(bestCapture));
    const double worstBeforeDbc = ThdCaptures::worstDbc(base);
    if (settings.interfaceDistortionDbc
        && worstBeforeDbc < *settings.interfaceDistortionDbc + 10.0) {
        return finish(run, Outcome::NotImproved,
                      "the DAC's distortion (" + formatDb(worstBeforeDbc)
                          + ") lies at the interface's floor: the interface's own ("
                          + formatDb(*settings.interfaceDistortionDbc) + ") is not 10 dB below it, "
                          + "and a null would cancel the interface's, not the DAC's");
    }
    // A value the null needs beyond its range would pre-distort the DAC by
    // the most it can against something that is not the DAC's own.
    if (run.clamped)
        return finish(
            run, Outcome::NotImproved,
            "the values that would null it lie beyond their range: the distortion measured is most "
            "likely not the DAC's (the audio interface's own, or an overloaded input)");
    // Better by more than the noise moves it, and by half a decibel at least.
    if (before - after > 2 * noise && after < 0.9 * before) {
        run.result.values = run.captures.at(run.best).values;
        run.result.after = bestCapture;
        return finish(run, Outcome::Improved, "");
    }
    // What was measured at the start holds the noise once over.
    if (before <= 3 * noise)
        return finish(run, Outcome::NotImproved, noiseReason(noise, run.outputs, base));
    double floorSquared = 0;
    for (const Floor& floor : run.result.floors) {
        for (double dbc : {floor.secondDbc, floor.thirdDbc}) {
            if (!std::isnan(dbc))
                floorSquared += std::pow(dbToLinear(dbc), 2);
        }
    }
    if (floorSquared >= 0.5 * before)
        return finish(
            run, Outcome::NotImproved,
            "what the values move lies in quadrature to the distortion measured ("
                + formatDb(linearToDb(std::sqrt(floorSquared)))
                + " cannot be cancelled): the audio interface's own distortion, or phase shifts after "
                  "the DAC, dominate");
    return finish(run, Outcome::NotImproved, "the values found measured no better than the start");
}
