// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/thdtuning.h"

#include "ctl/measurementrig.h"
#include "settings/blocklayout.h"
#include "settings/settingsblock.h"

#include <algorithm>
#include <csignal>
#include <optional>

namespace {

// Ctrl-C asks the loop to stop: it is checked between two steps, and a
// capture under way finishes first, so that the values held before can be
// written back to a DAC that is not in the middle of a write.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onInterrupt(int)
{
    stopRequested = 1;
}

class InterruptGuard {
public:
    InterruptGuard() : previous(std::signal(SIGINT, onInterrupt)) { stopRequested = 0; }
    ~InterruptGuard() { std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous)(int);
};

// What ends the loop early, thrown through the solver.
struct Stop {
    std::string cause;
    bool device = false;
    bool interrupted = false;
};

int16_t* pairIn(SettingsBlock& block, int pair)
{
    int16_t* pairs[] = {block.thd_range0, block.thd_range1, block.thd_range2};
    return pairs[pair];
}

} // namespace

ThdTuning::ThdTuning(DacSession& session, const MeasurementRig& rig) : ThdTuning(session, rig, Watch())
{
}

ThdTuning::ThdTuning(DacSession& session, const MeasurementRig& rig, Watch watch)
    : session(session), rig(rig), watch(std::move(watch))
{
}

std::string ThdTuning::pairName(int pair)
{
    return "thd_range" + std::to_string(pair);
}

ThdValues ThdTuning::valuesOf(const DacSession::Block& block)
{
    SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    ThdValues values;
    for (int pair = 0; pair < 3; ++pair) {
        values.pairs[size_t(pair)][0] = pairIn(settings, pair)[0];
        values.pairs[size_t(pair)][1] = pairIn(settings, pair)[1];
    }
    return values;
}

std::string ThdTuning::write(const ThdValues& values, bool always)
{
    const ThdValues now = valuesOf(device);
    SettingsBlock settings = SettingsBlock::fromDeviceBytes(device.data());
    for (int pair = 0; pair < 3; ++pair) {
        pairIn(settings, pair)[0] = values.pairs[size_t(pair)][0];
        pairIn(settings, pair)[1] = values.pairs[size_t(pair)][1];
    }
    DacSession::Block wanted;
    settings.toDeviceBytes(wanted.data());
    for (int pair = 0; pair < 3; ++pair) {
        if (now.pairs[size_t(pair)] == values.pairs[size_t(pair)] && !(always && touched[pair]))
            continue;
        const int first = BlockLayout::thdFirst + pair * int(sizeof(int16_t) * 2);
        const uint8_t address = BlockLayout::windowOf(first);
        touched[pair] = true;
        if (!session.writeWindow(address, wanted))
            return session.error();
        std::copy_n(wanted.begin() + address, BlockLayout::window, device.begin() + address);
    }
    return std::string();
}

std::string ThdTuning::check(const ThdValues& values, ThdValues& kept)
{
    DacSession::Block read = device;
    // The four-byte windows that hold bytes 10 to 21.
    std::vector<uint8_t> windows;
    for (int offset = BlockLayout::thdFirst / BlockLayout::window * BlockLayout::window; offset < BlockLayout::thdEnd;
         offset += BlockLayout::window)
        windows.push_back(uint8_t(offset));
    if (!session.readWindows(windows, read))
        return session.error();
    kept = valuesOf(read);
    if (kept == values)
        return std::string();
    std::string held;
    for (int pair = 0; pair < 3; ++pair) {
        for (int which = 0; which < 2; ++which) {
            held += (held.empty() ? "" : ", ") + pairName(pair) + "[" + std::to_string(which)
                    + "]=" + std::to_string(kept.pairs[size_t(pair)][size_t(which)]);
        }
    }
    return "the THD values read back differ from what was sent: the DAC holds " + held;
}

ThdTuning::Outcome ThdTuning::run(const DacSession::Block& held)
{
    device = held;
    const ThdValues start = valuesOf(held);
    Outcome outcome;
    // Ctrl-C only where no one else stops the loop: a window's thread has
    // no business taking the process's SIGINT.
    std::optional<InterruptGuard> guard;
    if (!watch.stop)
        guard.emplace();
    auto stopped = [&] { return watch.stop ? watch.stop->load() : stopRequested != 0; };
    const std::string stopCause = watch.stop ? "cancelled" : "interrupted (Ctrl-C)";
    auto measure = [&](const ThdValues& values, double lengthFactor) {
        if (stopped())
            throw Stop{stopCause, false, true};
        const std::string fault = write(values, false);
        if (!fault.empty())
            throw Stop{fault, true, false};
        CaptureAnalysis analysis;
        std::string error;
        std::vector<std::vector<double>> samples;
        const bool measured = rig.measure(analysis, error, lengthFactor, watch.captured ? &samples : nullptr);
        if (stopped())
            throw Stop{stopCause, false, true};
        if (!measured)
            throw Stop{error, false, false};
        if (watch.captured)
            watch.captured(analysis, samples);
        return analysis;
    };
    ThdSolver solver(measure);
    solver.setProgress(watch.progress);
    try {
        outcome.result = solver.run(start);
        outcome.ran = true;
    } catch (const Stop& stop) {
        outcome.failure = stop.cause;
        outcome.deviceFailed = stop.device;
        outcome.interrupted = stop.interrupted;
        outcome.result.start = outcome.result.values = start;
        outcome.result.captures = solver.captures();
    }

    const bool keepFound = outcome.ran && outcome.result.outcome == ThdSolver::Outcome::Improved;
    const ThdValues target = keepFound ? outcome.result.values : start;
    std::string fault = write(target, !keepFound);
    if (fault.empty())
        fault = check(target, outcome.kept);
    if (keepFound) {
        if (!fault.empty()) {
            // What was found did not arrive: the start goes back instead.
            outcome.failure = "the values found could not be kept: " + fault;
            outcome.deviceFailed = true;
            outcome.result.values = start;
            fault = write(start, true);
            if (fault.empty())
                fault = check(start, outcome.kept);
            outcome.restored = fault.empty();
            outcome.restoreError = fault;
        }
    } else {
        outcome.restored = fault.empty();
        outcome.restoreError = fault;
    }
    outcome.wrote = touched[0] || touched[1] || touched[2];
    return outcome;
}
