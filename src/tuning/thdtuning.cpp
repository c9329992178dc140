// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/thdtuning.h"

#include "tuning/measurementrig.h"
#include "settings/blocklayout.h"
#include "settings/es9038state.h"
#include "settings/settingsblock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Within one run the level at the input may move this far from what the
// first capture's path gain and the volume predict.
constexpr double levelToleranceDb = 0.5;

} // namespace

ThdTuning::ThdTuning(DacSession& session, MeasurementRig& rig) : ThdTuning(session, rig, Watch())
{
}

ThdTuning::ThdTuning(DacSession& session, MeasurementRig& rig, Watch watch)
    : session(session), rig(rig), watch(std::move(watch))
{
}

std::string ThdTuning::pairName(int pair)
{
    return ThdValues::pairName(pair);
}

ThdValues ThdTuning::valuesOf(const DacSession::Block& block)
{
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    ThdValues values;
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        values.pairs[size_t(pair)][0] = settings.thdPair(pair)[0];
        values.pairs[size_t(pair)][1] = settings.thdPair(pair)[1];
    }
    return values;
}

DacSession::Block ThdTuning::withValues(const DacSession::Block& block, const ThdValues& values)
{
    SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        settings.thdPair(pair)[0] = values.pairs[size_t(pair)][0];
        settings.thdPair(pair)[1] = values.pairs[size_t(pair)][1];
    }
    DacSession::Block result;
    settings.toDeviceBytes(result.data());
    return result;
}

std::optional<uint8_t> ThdTuning::volumeByte(double volumeDb, uint8_t max, uint8_t min)
{
    std::optional<uint8_t> nearest;
    double distance = 0.25;
    // From the loudest: of two bytes as near, the louder one.
    for (int attenuation = 0; attenuation <= 255; ++attenuation) {
        const double db = ES9038State::volumeDbOf(uint8_t(attenuation), max, min);
        if (std::abs(db - volumeDb) <= distance) {
            distance = std::abs(db - volumeDb) - 1e-9;
            nearest = uint8_t(attenuation);
        }
    }
    return nearest;
}

double ThdTuning::lowestVolumeDb(uint8_t max, uint8_t min)
{
    double lowest = 0;
    for (int attenuation = 0; attenuation <= 255; ++attenuation)
        lowest = std::min(lowest, double(ES9038State::volumeDbOf(uint8_t(attenuation), max, min)));
    return lowest;
}

Error ThdTuning::write(const ThdValues& values, bool always)
{
    const ThdValues now = valuesOf(device);
    const DacSession::Block wanted = withValues(device, values);
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        if (now.pairs[size_t(pair)] == values.pairs[size_t(pair)] && !(always && touched[pair]))
            continue;
        const int first = BlockLayout::thdFirst + pair * int(sizeof(int16_t) * 2);
        const uint8_t address = BlockLayout::windowOf(first);
        touched[pair] = true;
        if (Error error = session.writeWindow(address, wanted))
            return error;
        std::copy_n(wanted.begin() + address, BlockLayout::window, device.begin() + address);
    }
    return Error();
}

Error ThdTuning::check(const ThdValues& values, ThdValues& kept)
{
    DacSession::Block read = device;
    // The four-byte windows that hold bytes 10 to 21.
    std::vector<uint8_t> windows;
    for (int offset = BlockLayout::thdFirst / BlockLayout::window * BlockLayout::window; offset < BlockLayout::thdEnd;
         offset += BlockLayout::window)
        windows.push_back(uint8_t(offset));
    if (Error error = session.readWindows(windows, read))
        return error;
    kept = valuesOf(read);
    if (kept == values)
        return Error();
    std::string held;
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        for (int which = 0; which < 2; ++which) {
            held += (held.empty() ? "" : ", ") + pairName(pair) + "[" + std::to_string(which)
                    + "]=" + std::to_string(kept.pairs[size_t(pair)][size_t(which)]);
        }
    }
    return Error(Error::Kind::Device,
                 "the THD values read back differ from what was sent: the DAC holds " + held);
}

std::nullopt_t ThdTuning::halt(Stop stop)
{
    if (!stopped)
        stopped = std::move(stop);
    return std::nullopt;
}

bool ThdTuning::stopAsked() const
{
    return watch.stop && watch.stop->load();
}

ThdTuning::Stop ThdTuning::interruption() const
{
    return Stop{watch.stopCause ? watch.stopCause() : "cancelled", false, true};
}

void ThdTuning::reportStop(Outcome& outcome) const
{
    if (!stopped)
        return;
    outcome.failure = stopped->cause;
    outcome.deviceFailed = stopped->device;
    outcome.interrupted = stopped->interrupted;
}

Error ThdTuning::setVolume(uint8_t left, uint8_t right)
{
    if (device[BlockLayout::volumeLeft] == left && device[BlockLayout::volumeRight] == right)
        return Error();
    volumeMoved = true;
    if (Error error = session.setVolume(left, right))
        return error;
    device[BlockLayout::volumeLeft] = left;
    device[BlockLayout::volumeRight] = right;
    rig.setDacVolumeDb(MeasurementRig::volumesOf(device));
    return Error();
}

std::optional<uint8_t> ThdTuning::moveVolume(double volumeDb)
{
    const uint8_t max = heldAtStart[BlockLayout::volumeLeft + 2],
                  min = heldAtStart[BlockLayout::volumeLeft + 3];
    const std::optional<uint8_t> byte = volumeByte(volumeDb, max, min);
    if (!byte)
        return halt({"the DAC's block holds no volume of " + std::to_string(volumeDb) + " dB"});
    if (const Error fault = setVolume(*byte, *byte))
        return halt({fault.cause, true});
    return byte;
}

// The path gain of each channel, fixed by the run's first capture that
// has one; a later capture far from it is a moved knob or cable.
bool ThdTuning::checkLevel(CaptureAnalysis& analysis)
{
    if (!analysis.ok())
        return true;
    const std::vector<double> gains = rig.pathGains(analysis);
    if (pathGains.empty()) {
        pathGains = gains;
        // The first level known: the interface's floor at it.
        if (solver && watch.interfaceFloor)
            solver->setInterfaceDistortionDbc(watch.interfaceFloor(analysis));
        return true;
    }
    double worst = 0;
    for (std::size_t channel = 0; channel < std::min(gains.size(), pathGains.size()); ++channel) {
        const double moved = gains[channel] - pathGains[channel];
        if (std::abs(moved) > levelToleranceDb)
            MeasurementRig::addProblem(analysis, channel, Problem::level);
        worst = std::max(worst, std::abs(moved));
    }
    if (worst <= levelToleranceDb)
        return true;
    char words[160];
    std::snprintf(
        words, sizeof words,
        "the level at the input changed by %.1f dB since the first capture: was a knob or cable moved?",
        worst);
    if (watch.captured)
        watch.captured(analysis, {});
    halt({words});
    return false;
}

std::optional<CaptureAnalysis> ThdTuning::capture(double lengthFactor,
                                                  std::vector<std::vector<double>>& samples)
{
    if (stopAsked())
        return halt(interruption());
    CaptureAnalysis analysis;
    const Error error = rig.measure(analysis, lengthFactor, watch.captured ? &samples : nullptr);
    if (stopAsked())
        return halt(interruption());
    if (error)
        return halt({error.cause});
    audioSeconds += analysis.seconds;
    return analysis;
}

ThdSolver::Measure ThdTuning::measurer()
{
    return [this](const ThdValues& values, double lengthFactor) -> std::optional<CaptureAnalysis> {
        if (stopAsked())
            return halt(interruption());
        if (const Error fault = write(values, false))
            return halt({fault.cause, true});
        std::vector<std::vector<double>> samples;
        std::optional<CaptureAnalysis> analysis = capture(lengthFactor, samples);
        if (!analysis || !checkLevel(*analysis))
            return std::nullopt;
        if (separation)
            separation->removeInterface(*analysis);
        if (watch.captured)
            watch.captured(*analysis, samples);
        return analysis;
    };
}

// Two captures of the values held, the interface's input gain changed
// between them. The second fixes the run's path gain: the tuning goes on
// at that gain.
bool ThdTuning::separateInterface(Outcome& outcome)
{
    // A capture with a problem tells neither share.
    auto told = [this](const CaptureAnalysis& analysis, const char* which) {
        if (analysis.ok())
            return true;
        std::string problems;
        for (const std::string& problem : analysis.problems)
            problems += (problems.empty() ? "" : ", ") + problem;
        halt({std::string("the capture ") + which
              + " the change of gain does not tell the DAC's distortion: " + problems});
        return false;
    };
    std::vector<std::vector<double>> samples;
    const std::optional<CaptureAnalysis> first = capture(1, samples);
    if (!first)
        return false;
    if (watch.captured)
        watch.captured(*first, samples);
    if (!told(*first, "before"))
        return false;
    if (!watch.changeGain()) {
        halt(interruption());
        return false;
    }
    std::optional<CaptureAnalysis> second = capture(1, samples);
    if (!second || !checkLevel(*second))
        return false;
    if (watch.captured)
        watch.captured(*second, samples);
    if (!told(*second, "after"))
        return false;
    std::vector<std::string> names;
    for (std::size_t c = 0; c < first->channels.size(); ++c)
        names.push_back(CaptureAnalysis::channelName(c, first->channels.size()));
    outcome.separation = InterfaceSeparation::split(*first, *second, names);
    if (!outcome.separation->ok()) {
        halt({outcome.separation->unsplit});
        return false;
    }
    separation = outcome.separation;
    return true;
}

ThdTuning::Outcome ThdTuning::run(const DacSession::Block& held, std::optional<double> volumeDb)
{
    device = heldAtStart = held;
    stopped.reset();
    const ThdValues start = valuesOf(held);
    Outcome outcome;
    outcome.volumeDb = volumeDb;
    ThdSolver::Settings settings;
    settings.longestFactor = std::min(settings.longestFactor, rig.longestFactor());
    ThdSolver solver(measurer(), settings);
    solver.setProgress(watch.progress);
    this->solver = &solver;
    separation.reset();
    if ((!volumeDb || moveVolume(*volumeDb)) && (!watch.changeGain || separateInterface(outcome))) {
        ThdSolver::Result result = solver.run(start);
        // A run the measure step stopped reports what stopped it alone.
        outcome.ran = !stopped;
        if (outcome.ran)
            outcome.result = std::move(result);
    }
    reportStop(outcome);
    if (!outcome.ran) {
        outcome.result.start = outcome.result.values = start;
        outcome.result.captures = solver.captures();
    }
    this->solver = nullptr;
    finish(outcome, start, outcome.improved());
    restoreVolume(outcome);
    outcome.audioSeconds = audioSeconds;
    return outcome;
}

// The values found kept, or the values held before put back; either read
// back and checked.
void ThdTuning::finish(Outcome& outcome, const ThdValues& start, bool keepFound)
{
    const ThdValues target = keepFound ? outcome.result.values : start;
    Error fault = write(target, !keepFound);
    if (!fault)
        fault = check(target, outcome.kept);
    if (keepFound && fault) {
        // What was found did not arrive: the start goes back instead.
        outcome.failure = "the values found could not be kept: " + fault.cause;
        outcome.deviceFailed = true;
        outcome.result.values = start;
        fault = write(start, true);
        if (!fault)
            fault = check(start, outcome.kept);
        keepFound = false;
    }
    if (!keepFound) {
        outcome.restored = !fault;
        outcome.restoreError = fault.cause;
    }
    outcome.wrote = std::any_of(std::begin(touched), std::end(touched), [](bool t) { return t; })
                    || volumeMoved;
}

// The volume held before, sent unless the DAC holds it already (the
// command failed), and read back either way.
void ThdTuning::restoreVolume(Outcome& outcome)
{
    if (!volumeMoved) {
        outcome.volumeRestored = true;
        return;
    }
    const uint8_t left = heldAtStart[BlockLayout::volumeLeft],
                  right = heldAtStart[BlockLayout::volumeRight];
    Error fault = setVolume(left, right);
    if (!fault)
        fault = session.verifyVolume(left, right);
    outcome.volumeRestored = !fault;
    if (fault) {
        outcome.restored = false;
        outcome.restoreError += (outcome.restoreError.empty() ? "" : "; ") + fault.cause;
    }
}

ThdTuning::Map ThdTuning::map(const DacSession::Block& held, const std::vector<double>& volumesDb)
{
    device = heldAtStart = held;
    stopped.reset();
    separation.reset();
    const ThdValues start = valuesOf(held);
    Map map;
    Outcome& outcome = map.outcome;
    ThdSolver solver(measurer());
    solver.setProgress(watch.progress);
    const uint8_t max = held[BlockLayout::volumeLeft + 2], min = held[BlockLayout::volumeLeft + 3];
    for (double volumeDb : volumesDb) {
        const std::optional<uint8_t> byte = moveVolume(volumeDb);
        if (!byte)
            break;
        ThdSolver::Result result = solver.map(start);
        // A map the measure step stopped leaves the last volume's result.
        if (stopped)
            break;
        outcome.result = std::move(result);
        if (outcome.result.outcome == ThdSolver::Outcome::Failed) {
            halt({outcome.result.reason});
            break;
        }
        Map::AtVolume at;
        at.volumeDb = ES9038State::volumeDbOf(*byte, max, min);
        for (int pair = 0; pair < ThdValues::pairCount; ++pair)
            at.drives[size_t(pair)] = outcome.result.pairs[size_t(pair)].drives;
        at.notes = outcome.result.notes;
        map.outputs = outcome.result.before.channels.size();
        map.volumes.push_back(at);
        if (const Error fault = write(start, false)) {
            halt({fault.cause, true});
            break;
        }
    }
    outcome.ran = !stopped;
    reportStop(outcome);
    outcome.result.captures = solver.captures();
    finish(outcome, start, false);
    restoreVolume(outcome);
    outcome.audioSeconds = audioSeconds;
    return map;
}

int ThdTuning::Map::AtVolume::driverOf(int output) const
{
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        const std::vector<int>& outputs = drives[std::size_t(pair)];
        if (std::find(outputs.begin(), outputs.end(), output) != outputs.end())
            return pair;
    }
    return -1;
}
