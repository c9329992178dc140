// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl tune-thd: the THD values that null the distortion the DAC's
// analog stages add, found by measuring, and its report.

#include "ctl/commands.h"
#include "ctl/historykeeper.h"
#include "ctl/measurementoutput.h"
#include "ctl/measurementrig.h"
#include "ctl/thdtuning.h"
#include "measure/decibels.h"

#include <QJsonArray>

#include <cmath>
#include <cstdio>

namespace {

using Outcome = ThdTuning::Outcome;

std::string outputsOf(const ThdSolver::PairEffect& effect, std::size_t outputs)
{
    std::string text;
    for (std::size_t i = 0; i < effect.drives.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == effect.drives.size() ? " and " : ", ")
                + MeasurementOutput::channelName(std::size_t(effect.drives[i]), outputs);
    }
    return text;
}

// The values that differ from the start: "thd_range0[0]=-200 thd_range0[1]=-150".
std::string changedValues(const ThdValues& start, const ThdValues& values)
{
    std::string text;
    for (int pair = 0; pair < 3; ++pair) {
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

std::string text(const Outcome& outcome, const MeasurementOutput::Setup& setup)
{
    const ThdSolver::Result& result = outcome.result;
    const std::size_t outputs = result.before.channels.size();
    std::string text;
    if (outputs > 0)
        text += "before:\n" + MeasurementOutput::text(setup, result.before);
    if (outcome.ran && result.outcome != ThdSolver::Outcome::Failed) {
        text += "map:\n";
        for (int pair = 0; pair < 3; ++pair) {
            if (!result.pairs[size_t(pair)].drives.empty())
                text += "  " + ThdTuning::pairName(pair) + " drives " + outputsOf(result.pairs[size_t(pair)], outputs) + "\n";
        }
        for (const std::string& note : result.notes)
            text += "  " + note + "\n";
        if (!result.floors.empty()) {
            text += "floor (the part of H2 and H3 in quadrature to what the values move, which no value cancels):\n";
            for (std::size_t output = 0; output < result.floors.size(); ++output) {
                text += "  " + MeasurementOutput::channelName(output, outputs) + ": H2 "
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
    if (outcome.ran && result.outcome == ThdSolver::Outcome::Improved)
        text += "after:\n" + MeasurementOutput::text(setup, result.after);
    return text + "captures: " + std::to_string(result.captures) + "\n";
}

std::string json(const Outcome& outcome, const MeasurementOutput::Setup& setup)
{
    const ThdSolver::Result& result = outcome.result;
    const std::size_t outputs = result.before.channels.size();
    auto pairs = [](const ThdValues& values) {
        JsonText object;
        for (int pair = 0; pair < 3; ++pair) {
            object.add(ThdTuning::pairName(pair).c_str(),
                       QJsonArray{values.pairs[size_t(pair)][0], values.pairs[size_t(pair)][1]});
        }
        return object.oneLine();
    };
    JsonText document;
    const bool improved = outcome.ran && result.outcome == ThdSolver::Outcome::Improved;
    document.addJson("before", outputs > 0 ? MeasurementOutput::json(setup, result.before, 2).lines(2) : "null");
    document.addJson("after", improved ? MeasurementOutput::json(setup, result.after, 2).lines(2)
                                       : outputs > 0 ? MeasurementOutput::json(setup, result.before, 2).lines(2) : "null");
    document.addJson("start", pairs(result.start))
        .addJson("values", outcome.restoreError.empty() ? pairs(outcome.kept) : "null");
    JsonText map, floor;
    for (int pair = 0; pair < 3; ++pair) {
        QJsonArray driven;
        for (int output : result.pairs[size_t(pair)].drives)
            driven.append(QString::fromStdString(MeasurementOutput::channelName(std::size_t(output), outputs)));
        map.add(ThdTuning::pairName(pair).c_str(), driven);
    }
    for (std::size_t output = 0; output < result.floors.size(); ++output) {
        JsonText each;
        each.add("h2_dbc", dbc(result.floors[output].secondDbc)).add("h3_dbc", dbc(result.floors[output].thirdDbc));
        floor.addJson(MeasurementOutput::channelName(output, outputs).c_str(), each.oneLine());
    }
    QJsonArray notes;
    for (const std::string& note : result.notes)
        notes.append(QString::fromStdString(note));
    const char* kind = !outcome.ran || result.outcome == ThdSolver::Outcome::Failed ? "failed"
                       : improved                                                  ? "improved"
                                                                                   : "not improved";
    document.addJson("map", map.oneLine())
        .addJson("floor", floor.oneLine())
        .add("captures", result.captures)
        .add("outcome", kind)
        .add("reason", QString::fromStdString(outcome.ran ? result.reason : outcome.failure))
        .add("notes", notes)
        .add("restored", !improved && outcome.restored);
    return document.lines() + "\n";
}

// The exit status, and the line on standard error that ends a tuning that
// kept nothing.
int conclude(const CommandContext& context, const Outcome& outcome)
{
    const ThdSolver::Result& result = outcome.result;
    const bool improved = outcome.ran && result.outcome == ThdSolver::Outcome::Improved && outcome.failure.empty();
    if (improved)
        return CommandContext::Done;
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
    if (outcome.restored) {
        cause += outcome.wrote ? "; the values held before were written back" : "; the DAC's values were left as they were";
    } else {
        cause += "; the values held before could not be written back (" + outcome.restoreError
                 + "): 'sonvalectl undo' puts the block kept in the history back once the DAC answers again";
        status = CommandContext::AudioFailed;
    }
    context.fail(cause);
    return status;
}

} // namespace

int Commands::tuneThd(const CommandContext& context, const Arguments& arguments)
{
    AudioOptions options;
    if (!options.parse(context, "tune-thd", arguments, false))
        return CommandContext::BadUsage;
    noteLevelCap(context, options);

    return MeasurementRig::run(context, options, true, true, [&](DacSession* session, const DacSession::Block* block,
                                                           MeasurementRig& rig) {
        // The whole block goes into the history before anything changes.
        const HistoryKeeper history(context, *session);
        std::string fault = history.makeFolder();
        if (fault.empty())
            fault = history.keep(*block);
        if (!fault.empty()) {
            context.fail(fault);
            return int(CommandContext::AudioFailed);
        }
        const Outcome outcome = ThdTuning(*session, rig).run(*block);
        const MeasurementOutput::Setup setup = rig.setup(outcome.result.before.channels.size());
        const std::string report = options.json ? json(outcome, setup) : text(outcome, setup);
        std::fputs(report.c_str(), stdout);
        std::fflush(stdout);
        return conclude(context, outcome);
    });
}
