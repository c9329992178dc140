// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl tune-thd: the THD values that null the distortion the DAC's
// analog stages add, found by measuring, and its report.

#include "control/historykeeper.h"
#include "ctl/commands.h"
#include "ctl/measurementoutput.h"
#include "ctl/stopsignals.h"
#include "measure/decibels.h"
#include "tuning/interfaceprofile.h"
#include "tuning/measurementrig.h"
#include "tuning/thdtuning.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using Outcome = ThdTuning::Outcome;

// `setup` with the warnings of `analysis` against the interface's floor,
// when a profile of it applied.
MeasurementOutput::Setup warned(MeasurementOutput::Setup setup, const CaptureAnalysis& analysis)
{
    setup.warnings = InterfaceProfile::warnings(analysis, setup.interfaceFloors);
    return setup;
}

std::string outputsOf(const ThdSolver::PairEffect& effect, std::size_t outputs)
{
    std::string text;
    for (std::size_t i = 0; i < effect.drives.size(); ++i) {
        text += (i == 0                          ? ""
                 : i + 1 == effect.drives.size() ? " and "
                                                 : ", ")
                + CaptureAnalysis::channelName(std::size_t(effect.drives[i]), outputs);
    }
    return text;
}

// The values that differ from the start: "thd_range0[0]=-200 thd_range0[1]=-150".
std::string changedValues(const ThdValues& start, const ThdValues& values)
{
    std::string text;
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const int16_t value = values.pairs[size_t(pair)][size_t(which)];
            if (value != start.pairs[size_t(pair)][size_t(which)]) {
                text += (text.empty() ? "" : " ") + ThdTuning::pairName(pair) + "[" + std::to_string(which)
                        + "]=" + std::to_string(value);
            }
        }
    }
    return text;
}

QJsonValue dbc(double value)
{
    return MeasurementOutput::number(value, 2);
}

// What is left of the interface's share at the gain tuned at: the H2 and
// H3 a loopback still measures once the DAC's share is nulled.
std::string interfaceLeftText(const InterfaceSeparation& separation)
{
    std::string text = "the interface's share left (at the input gain tuned at):\n";
    const std::size_t outputs = separation.channels.size();
    for (std::size_t output = 0; output < outputs; ++output) {
        text +=
            "  " + CaptureAnalysis::channelName(output, outputs) + ": H2 "
            + MeasurementOutput::fixed(separation.interfaceAtSecondDbc(output, 2), 2) + " dBc, H3 "
            + MeasurementOutput::fixed(separation.interfaceAtSecondDbc(output, 3), 2) + " dBc\n";
    }
    return text;
}

std::string text(const Outcome& outcome, const MeasurementOutput::Setup& setup)
{
    const ThdSolver::Result& result = outcome.result;
    const std::size_t outputs = result.before.channels.size();
    std::string text;
    const bool separated = outcome.separation && outcome.separation->ok();
    if (separated) {
        text += MeasurementOutput::separationText(*outcome.separation,
                                                  outcome.separation->channels.size())
                + "before and after: the DAC's share, the interface's taken out\n";
    }
    if (outputs > 0)
        text += "before:\n" + MeasurementOutput::text(warned(setup, result.before), result.before);
    if (outcome.ran && result.outcome != ThdSolver::Outcome::Failed) {
        text += "map:\n";
        for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
            if (!result.pairs[size_t(pair)].drives.empty())
                text += "  " + ThdTuning::pairName(pair) + " drives " + outputsOf(result.pairs[size_t(pair)], outputs) + "\n";
        }
        for (const std::string& note : result.notes)
            text += "  " + note + "\n";
        if (!result.floors.empty()) {
            text += "floor (the part of H2 and H3 in quadrature to what the values move, which no value cancels):\n";
            for (std::size_t output = 0; output < result.floors.size(); ++output) {
                text += "  " + CaptureAnalysis::channelName(output, outputs) + ": H2 "
                        + MeasurementOutput::fixed(result.floors[output].secondDbc, 2) + " dBc, H3 "
                        + MeasurementOutput::fixed(result.floors[output].thirdDbc, 2) + " dBc\n";
            }
        }
    }
    const std::string written = changedValues(result.start, outcome.kept);
    if (!outcome.restoreError.empty())
        text += "values written: not known (the DAC could not be read back)\n";
    else
        text += "values written: " + (written.empty() ? std::string("none") : written) + "\n";
    if (outcome.volumeDb) {
        text += "volume: tuned at " + MeasurementOutput::fixed(*outcome.volumeDb, 1) + " dB; "
                + (outcome.volumeRestored ? "the volume held before was put back\n"
                                          : "the volume held before could not be put back\n");
    }
    if (outcome.improved())
        text += "after:\n" + MeasurementOutput::text(warned(setup, result.after), result.after);
    if (separated)
        text += interfaceLeftText(*outcome.separation);
    return text + "captures: " + std::to_string(result.captures)
           + "\naudio: " + MeasurementOutput::fixed(outcome.audioSeconds, 1) + " s\n";
}

std::string json(const Outcome& outcome, const MeasurementOutput::Setup& setup, double tunedAtDb)
{
    const ThdSolver::Result& result = outcome.result;
    const std::size_t outputs = result.before.channels.size();
    auto pairs = [](const ThdValues& values) {
        JsonText object;
        for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
            object.add(ThdTuning::pairName(pair).c_str(),
                       QJsonArray{values.pairs[size_t(pair)][0], values.pairs[size_t(pair)][1]});
        }
        return object.oneLine();
    };
    JsonText document;
    // Values found but not kept are no improvement: the DAC holds the start.
    const bool improved = outcome.improved();
    document.addJson(
        "before",
        outputs > 0 ? MeasurementOutput::json(warned(setup, result.before), result.before).lines(2)
                    : "null");
    document.addJson(
        "after", improved
                     ? MeasurementOutput::json(warned(setup, result.after), result.after).lines(2)
                 : outputs > 0
                     ? MeasurementOutput::json(warned(setup, result.before), result.before).lines(2)
                     : "null");
    document.addJson("start", pairs(result.start))
        .addJson("values", outcome.restoreError.empty() ? pairs(outcome.kept) : "null");
    JsonText map, floor;
    for (int pair = 0; pair < ThdValues::pairCount; ++pair) {
        QJsonArray driven;
        for (int output : result.pairs[size_t(pair)].drives)
            driven.append(
                QString::fromStdString(CaptureAnalysis::channelName(std::size_t(output), outputs)));
        map.add(ThdTuning::pairName(pair).c_str(), driven);
    }
    for (std::size_t output = 0; output < result.floors.size(); ++output) {
        JsonText each;
        each.add("h2_dbc", dbc(result.floors[output].secondDbc)).add("h3_dbc", dbc(result.floors[output].thirdDbc));
        floor.addJson(CaptureAnalysis::channelName(output, outputs).c_str(), each.oneLine());
    }
    QJsonArray notes;
    for (const std::string& note : result.notes)
        notes.append(QString::fromStdString(note));
    const char* kind =
        !outcome.ran || result.outcome == ThdSolver::Outcome::Failed || !outcome.failure.empty()
            ? "failed"
        : improved ? "improved"
                   : "not improved";
    document.addJson("map", map.oneLine())
        .addJson("floor", floor.oneLine())
        .add("volume_db", MeasurementOutput::number(tunedAtDb, 1))
        .add("captures", result.captures)
        .add("audio_seconds", MeasurementOutput::number(outcome.audioSeconds, 3))
        .add("outcome", kind)
        .add("reason", QString::fromStdString(outcome.ran ? result.reason : outcome.failure))
        .add("notes", notes)
        .add("restored", !improved && outcome.restored);
    if (outcome.separation && outcome.separation->ok()) {
        const InterfaceSeparation& separation = *outcome.separation;
        JsonText left;
        for (std::size_t output = 0; output < separation.channels.size(); ++output) {
            JsonText each;
            each.add("h2_dbc", dbc(separation.interfaceAtSecondDbc(output, 2)))
                .add("h3_dbc", dbc(separation.interfaceAtSecondDbc(output, 3)));
            left.addJson(CaptureAnalysis::channelName(output, separation.channels.size()).c_str(),
                         each.oneLine());
        }
        document.add("gain_change_db", MeasurementOutput::number(separation.gainChangeDb(), 2))
            .addJson("interface_left", left.oneLine());
    }
    return document.lines() + "\n";
}

// What became of the values held before, for the line that ends a run
// that kept nothing.
std::string restoredText(const CommandContext& context, const Outcome& outcome)
{
    if (outcome.restored) {
        std::string text = outcome.wrote ? "; the values held before were written back"
                                         : "; the DAC's values were left as they were";
        if (outcome.volumeDb && outcome.wrote)
            text += ", the volume too";
        return text;
    }
    return "; the values held before could not be written back (" + outcome.restoreError + "): "
           + (context.keepHistory
                  ? std::string(
                      "'sonvalectl undo' puts the block kept in the history back once the "
                      "DAC answers again")
                  : std::string("they are lost, as --no-history kept no copy of them"));
}

// The exit status, and the line on standard error that ends a tuning that
// kept nothing (or kept its values but could not put the volume back).
int conclude(const CommandContext& context, const Outcome& outcome)
{
    const ThdSolver::Result& result = outcome.result;
    const bool improved = outcome.improved();
    if (improved && outcome.volumeRestored)
        return CommandContext::Done;
    if (improved) {
        context.fail(
            "the values found were kept, but the volume held before could not be put back ("
            + outcome.restoreError + ")");
        return CommandContext::AudioFailed;
    }
    std::string cause;
    int status = CommandContext::AudioFailed;
    if (!outcome.failure.empty()) {
        cause = outcome.failure;
        if (outcome.interrupted)
            status = CommandContext::NotImproved;
    } else if (result.outcome == ThdSolver::Outcome::NotImproved) {
        cause = "nothing could be improved: " + result.reason;
        status = CommandContext::NotImproved;
    } else {
        cause = result.reason;
    }
    if (outcome.separation && !outcome.separation->ok())
        status = CommandContext::NotImproved;
    if (!outcome.restored)
        status = CommandContext::AudioFailed;
    context.fail(cause + restoredText(context, outcome));
    return status;
}

// The volume asked for, which the DAC's block must hold; "" when it does.
std::string volumeRefusal(const AudioOptions& options, const DacSession::Block& block)
{
    if (!options.volumeDb)
        return std::string();
    const uint8_t max = block[BlockLayout::volumeLeft + 2],
                  min = block[BlockLayout::volumeLeft + 3];
    if (ThdTuning::volumeByte(*options.volumeDb, max, min))
        return std::string();
    return "--volume " + MeasurementOutput::fixed(*options.volumeDb, 1)
           + " lies outside what the DAC's block " + "holds: from "
           + MeasurementOutput::fixed(ThdTuning::lowestVolumeDb(max, min), 1)
           + " dB to 0 dB in steps of 0.5 dB";
}

// The interface's floor at the level of the run's first capture, when a
// profile applies: per channel into `floors`, and the larger of its H2 and
// H3 for the solver.
std::optional<double> interfaceFloor(const CommandContext& context, const MeasurementRig& rig,
                                     const AudioOptions& options, const CaptureAnalysis& first,
                                     std::vector<MeasurementSetup::InterfaceFloor>& floors)
{
    MeasurementSetup setup;
    const std::optional<double> worst =
        Commands::applyInterfaceProfile(context, rig, options.inputChannels, first, setup);
    floors = setup.interfaceFloors;
    return worst;
}

// Before anything changes: how long the tuning captures at most.
void announceLength(const MeasurementRig& rig, const AudioOptions& options)
{
    ThdSolver::Settings settings;
    settings.longestFactor = std::min(settings.longestFactor, rig.longestFactor());
    const double seconds = ThdSolver::maxCaptureLengths(settings) * options.seconds;
    std::fprintf(stderr, "tune-thd: the tuning captures at most %.0f s of audio\n", seconds);
}

} // namespace

int Commands::tuneThd(const CommandContext& context, const Arguments& arguments)
{
    AudioOptions options;
    if (!options.parse(context, "tune-thd", arguments,
                       AudioOptions::Volume | AudioOptions::Separate))
        return CommandContext::BadUsage;
    noteLevelCap(context, options);

    // From here on Ctrl-C, SIGTERM, a closed terminal or console stop the
    // tuning, which puts the DAC back before the process ends.
    StopSignals stops;
    const int status = context.withRig(options, true, true,
        [&](DacSession* session, const DacSession::Block* block, MeasurementRig& rig) {
            const std::string refusal = volumeRefusal(options, *block);
            if (!refusal.empty())
                return context.refuse(refusal);
            // The whole block goes into the history before anything changes.
            if (const Error fault = context.historyKeeper(*session).keep(*block))
                return context.fail(context.historyError(fault).cause);
            announceLength(rig, options);
            rig.setStop(&stops.flag());
            ThdTuning::Watch watch;
            watch.stop = &stops.flag();
            watch.stopCause = [&stops] { return stops.cause(); };
            std::vector<MeasurementSetup::InterfaceFloor> floors;
            if (options.separate) {
                watch.changeGain = [&] {
                    std::fprintf(
                        stderr,
                        "%s: turn the interface's input gain down by about 6 dB, then press Enter\n",
                        context.program());
                    std::fflush(stderr);
                    return stops.waitForEnter();
                };
            } else {
                // Without the interface's share told, its profile's floor
                // is the one the DAC cannot be tuned below.
                watch.interfaceFloor = [&](const CaptureAnalysis& first) {
                    return interfaceFloor(context, rig, options, first, floors);
                };
            }
            const Outcome outcome = ThdTuning(*session, rig, watch).run(*block, options.volumeDb);
            putBack(rig);
            // The report tells the captures as they were made: at the volume
            // tuned at, which the run has put back since.
            const std::vector<double> volumes = MeasurementRig::volumesOf(*block);
            if (options.volumeDb)
                rig.setDacVolumeDb({*options.volumeDb, *options.volumeDb});
            MeasurementOutput::Setup setup = rig.setup(outcome.result.before.channels.size());
            setup.interfaceFloors = floors;
            const double tunedAt = options.volumeDb ? *options.volumeDb
                                   : volumes[0] == volumes[1]
                                       ? volumes[0]
                                       : std::numeric_limits<double>::quiet_NaN();
            const std::string report =
                options.json ? json(outcome, setup, tunedAt) : text(outcome, setup);
            std::fputs(report.c_str(), stdout);
            std::fflush(stdout);
            return conclude(context, outcome);
        });
    stops.finished();
    return status;
}
