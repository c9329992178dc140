// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl thd-map: which THD pair moves which output, at a few of the
// DAC's volumes. What the pairs do is not written down anywhere; whether
// they follow the volume can only be found by probing.

#include "ctl/commands.h"
#include "control/historykeeper.h"
#include "ctl/measurementoutput.h"
#include "tuning/measurementrig.h"
#include "ctl/stopsignals.h"
#include "tuning/thdtuning.h"

#include <QJsonArray>

#include <algorithm>
#include <cstdio>

namespace {

const std::vector<double> defaultVolumesDb{0, -15, -35};

std::string text(const ThdTuning::Map& map)
{
    const std::size_t outputs = map.outputs;
    std::string text = "volume  ";
    for (std::size_t output = 0; output < outputs; ++output) {
        std::string name = CaptureAnalysis::channelName(output, outputs);
        text += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 0, ' ');
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text += "\n";
    for (const ThdTuning::Map::AtVolume& at : map.volumes) {
        char volume[16];
        std::snprintf(volume, sizeof volume, "%5.1f dB", at.volumeDb);
        std::string row = volume;
        int first = -2;
        bool shared = outputs > 1;
        for (std::size_t output = 0; output < outputs; ++output) {
            const int pair = at.driverOf(int(output));
            const std::string name = pair >= 0 ? ThdTuning::pairName(pair) : "-";
            row += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 0, ' ');
            shared = shared && pair >= 0 && (first == -2 || first == pair);
            first = pair;
        }
        row.erase(row.find_last_not_of(' ') + 1);
        text += row + (shared ? "  (shared)" : "") + "\n";
    }
    return text;
}

std::string json(const ThdTuning::Map& map)
{
    std::vector<JsonText> list;
    for (const ThdTuning::Map::AtVolume& at : map.volumes) {
        JsonText& entry = list.emplace_back();
        entry.add("volume_db", MeasurementOutput::number(at.volumeDb, 1));
        for (std::size_t output = 0; output < map.outputs; ++output) {
            const int pair = at.driverOf(int(output));
            entry.add(CaptureAnalysis::channelName(output, map.outputs).c_str(),
                      pair >= 0 ? QJsonValue(QString::fromStdString(ThdTuning::pairName(pair)))
                                : QJsonValue());
        }
    }
    JsonText document;
    document.addObjects("volumes", list);
    return document.lines() + "\n";
}

int conclude(const CommandContext& context, const ThdTuning::Outcome& outcome)
{
    if (outcome.ran && outcome.restored)
        return CommandContext::Done;
    std::string cause = outcome.failure.empty() ? "the map could not be made" : outcome.failure;
    if (outcome.restored) {
        cause += outcome.wrote ? "; the values and the volume held before were written back"
                               : "; the DAC's values were left as they were";
    } else {
        cause += "; the values held before could not be written back (" + outcome.restoreError
                 + "): "
                 + (context.keepHistory
                        ? "'sonvalectl undo' puts the block kept in the history back once the DAC "
                          "answers again"
                        : "they are lost, as --no-history kept no copy of them");
    }
    context.fail(cause);
    return outcome.interrupted && outcome.restored ? CommandContext::NotImproved
                                                   : CommandContext::AudioFailed;
}

} // namespace

int Commands::thdMap(const CommandContext& context, const Arguments& arguments)
{
    AudioOptions options;
    if (!options.parse(context, "thd-map", arguments, AudioOptions::Volumes))
        return CommandContext::BadUsage;
    noteLevelCap(context, options);
    const std::vector<double> volumes =
        options.volumesDb.empty() ? defaultVolumesDb : options.volumesDb;

    StopSignals stops;
    const int status = context.withRig(options, true, true,
        [&](DacSession* session, const DacSession::Block* block, MeasurementRig& rig) {
            const uint8_t max = (*block)[BlockLayout::volumeLeft + 2],
                          min = (*block)[BlockLayout::volumeLeft + 3];
            for (double volume : volumes) {
                if (!ThdTuning::volumeByte(volume, max, min)) {
                    return context.refuse(
                        "--volumes: " + MeasurementOutput::fixed(volume, 1)
                        + " dB lies outside what the DAC's block holds: from "
                        + MeasurementOutput::fixed(ThdTuning::lowestVolumeDb(max, min), 1)
                        + " dB to 0 dB in steps of 0.5 dB");
                }
            }
            if (const Error fault = context.historyKeeper(*session).keep(*block))
                return context.fail(context.historyError(fault).cause);
            rig.setStop(&stops.flag());
            ThdTuning::Watch watch;
            watch.stop = &stops.flag();
            watch.stopCause = [&stops] { return stops.cause(); };
            const ThdTuning::Map map = ThdTuning(*session, rig, watch).map(*block, volumes);
            putBack(rig);
            std::string report = options.json ? json(map) : text(map);
            if (!options.json && map.outcome.ran && map.outcome.restored)
                report += "the DAC's volume and THD values are back as they were\n";
            std::fputs(report.c_str(), stdout);
            std::fflush(stdout);
            return conclude(context, map.outcome);
        });
    stops.finished();
    return status;
}
