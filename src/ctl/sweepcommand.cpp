// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl sweep: the DAC's distortion at each of a range of its volumes.
// The DAC's own H2 and H3 move with the amplitude it plays at, and the THD
// pair that acts may change with the volume; one measurement at each volume
// shows both.

#include "cli/optionparser.h"
#include "control/historykeeper.h"
#include "ctl/commands.h"
#include "ctl/measurementoutput.h"
#include "ctl/stopsignals.h"
#include "ctl/volumesteps.h"
#include "settings/blocklayout.h"
#include "tuning/measurementrig.h"
#include "tuning/thdtuning.h"
#include "tuning/volumesweep.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// Two volumes this close are the same (the DAC steps by half a decibel).
constexpr double sameVolumeDb = 0.005;

// A point of the sweep, with the pair that drives each channel there as
// the map given tells it.
struct Point : VolumeSweep::Point {
    std::vector<std::string> pairs; // per channel, "" for none; empty without --map
};

// A map as thd-map --json prints it: per mapped volume, the pair that drives
// each output by its name ("left", "right", "mono"), "" for none.
struct MappedVolume {
    double volumeDb = 0;
    QJsonObject pairs;
};

std::string mapEntryError(const QJsonValue& entry, MappedVolume& mapped)
{
    const QJsonObject object = entry.toObject();
    const QJsonValue volume = object.value("volume_db");
    if (!entry.isObject() || !volume.isDouble())
        return "holds no \"volume_db\" number";
    if (volume.toDouble() < MeasurementOptions::lowestVolumeDb
        || volume.toDouble() > MeasurementOptions::highestVolumeDb)
        return "has a volume_db outside -127.5 dB to 0 dB";
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (member.key() == "volume_db" || member->isNull())
            continue;
        bool named = false;
        for (int pair = 0; pair < SettingsBlock::thdPairCount; ++pair)
            named = named || member->toString().toStdString() == ThdValues::pairName(pair);
        if (!named)
            return "names no THD pair for \"" + member.key().toStdString() + "\"";
    }
    mapped.volumeDb = volume.toDouble();
    mapped.pairs = object;
    return std::string();
}

// The map in `path`; "" when read, otherwise why it cannot be used.
std::string readMap(const std::string& path, std::vector<MappedVolume>& map)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return "cannot be read: " + file.errorString().toStdString();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return "is no JSON: " + parseError.errorString().toStdString() + " at byte "
               + std::to_string(parseError.offset);
    const QJsonArray volumes = document.object().value("volumes").toArray();
    if (volumes.isEmpty())
        return "holds no \"volumes\" list, as 'sonvalectl thd-map --json' prints it";
    for (int i = 0; i < volumes.size(); ++i) {
        const std::string error = mapEntryError(volumes[i], map.emplace_back());
        if (!error.empty())
            return "its volume " + std::to_string(i + 1) + " " + error;
    }
    return std::string();
}

// The pair mapped at the nearest volume at or below `volumeDb`, for a
// channel by its name; a mono capture records the left output.
std::string pairAt(const std::vector<MappedVolume>& map, double volumeDb,
                   const std::string& channel)
{
    const MappedVolume* nearest = nullptr;
    for (const MappedVolume& mapped : map) {
        if (mapped.volumeDb <= volumeDb + sameVolumeDb
            && (!nearest || mapped.volumeDb > nearest->volumeDb))
            nearest = &mapped;
    }
    if (!nearest)
        return std::string();
    const QString name = QString::fromStdString(channel);
    const QJsonValue pair = nearest->pairs.contains(name) || name != "mono"
                                ? nearest->pairs.value(name)
                                : nearest->pairs.value("left");
    return pair.toString().toStdString();
}

std::string padded(const std::string& text, std::size_t width)
{
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text + " ";
}

std::string figure(double value, int decimals, const char* unit)
{
    return std::isfinite(value) ? MeasurementOutput::fixed(value, decimals) + " " + unit : "-";
}

std::string volumeText(double volumeDb)
{
    return MeasurementOutput::fixed(volumeDb, 1) + " dB";
}

double pathGain(const Point& point, std::size_t c)
{
    return c < point.setup.playedLevels.size()
               ? point.analysis.channels[c].levelDbfs - point.setup.playedLevels[c]
               : std::nan("");
}

// The table, a row a volume and channel, then the problems.
std::string text(const AudioOptions& options, const std::vector<Point>& points, bool pairs)
{
    std::string text = "swept: " + MeasurementOutput::fixed(options.frequencyHz, 1) + " Hz at "
                       + MeasurementOutput::fixed(options.levelDbfs, 1)
                       + " dBFS before the DAC's volume, " + std::to_string(options.rateHz)
                       + " Hz, " + MeasurementOutput::fixed(options.seconds, 3) + " s a volume\n";
    if (!points.empty())
        text += "output: " + points[0].setup.output + "\ninput: " + points[0].setup.input + "\n";
    const std::size_t widths[] = {10, 8, 14, 11, 13, 13, 12, 12};
    const char* heads[] = {"volume", "channel", "level", "path gain", "H2", "H3", "THD", "THD+N"};
    std::string head;
    for (std::size_t i = 0; i < 8; ++i)
        head += padded(heads[i], widths[i]);
    text += head + (pairs ? "pair" : "");
    text.erase(text.find_last_not_of(' ') + 1);
    text += "\n";
    std::string problems;
    for (const Point& point : points) {
        const std::size_t channels = point.analysis.channels.size();
        for (std::size_t c = 0; c < channels; ++c) {
            const ChannelAnalysis& channel = point.analysis.channels[c];
            const std::string cells[] = {volumeText(point.volumeDb),
                                         CaptureAnalysis::channelName(c, channels),
                                         figure(channel.levelDbfs, 2, "dBFS"),
                                         figure(pathGain(point, c), 2, "dB"),
                                         figure(channel.harmonicDbc(2), 2, "dBc"),
                                         figure(channel.harmonicDbc(3), 2, "dBc"),
                                         figure(channel.thdDb, 2, "dB"),
                                         figure(channel.thdnDb, 2, "dB")};
            std::string row;
            for (std::size_t i = 0; i < 8; ++i)
                row += padded(cells[i], widths[i]);
            if (pairs)
                row += point.pairs[c].empty() ? "-" : point.pairs[c];
            row.erase(row.find_last_not_of(' ') + 1);
            text += row + "\n";
        }
        // "problem at -40.0 dB: clipping: ..."
        const std::string said = MeasurementOutput::problemText(point.analysis);
        for (std::size_t line = 0; line < said.size(); line = said.find('\n', line) + 1)
            problems += "problem at " + volumeText(point.volumeDb)
                        + said.substr(line + 7, said.find('\n', line) + 1 - line - 7);
    }
    return text + (problems.empty() ? "problems: none\n" : problems);
}

std::string json(const std::vector<Point>& points, bool pairs)
{
    std::vector<JsonText> list;
    for (const Point& point : points) {
        std::vector<JsonText> channels;
        for (std::size_t c = 0; c < point.analysis.channels.size(); ++c) {
            JsonText& channel = channels.emplace_back(
                MeasurementOutput::channelJson(point.setup, point.analysis, c));
            if (pairs) {
                channel.add("pair", point.pairs[c].empty()
                                        ? QJsonValue()
                                        : QJsonValue(QString::fromStdString(point.pairs[c])));
            }
        }
        list.emplace_back()
            .add("volume_db", MeasurementOutput::number(point.volumeDb, 2))
            .addObjects("channels", channels);
    }
    JsonText document;
    document.addObjects("points", list);
    return document.lines() + "\n";
}

// A CSV cell: empty without a figure.
std::string cell(double value, int decimals)
{
    return "," + (std::isfinite(value) ? MeasurementOutput::fixed(value, decimals) : std::string());
}

std::string csv(const std::vector<Point>& points, bool pairs)
{
    std::string text = VolumeSweep::csvHeader;
    text += pairs ? ",pair\n" : "\n";
    for (const Point& point : points) {
        const std::size_t channels = point.analysis.channels.size();
        for (std::size_t c = 0; c < channels; ++c) {
            const ChannelAnalysis& channel = point.analysis.channels[c];
            text += MeasurementOutput::fixed(point.volumeDb, 2) + ","
                    + CaptureAnalysis::channelName(c, channels) + cell(channel.levelDbfs, 3)
                    + cell(pathGain(point, c), 2) + cell(channel.harmonicDbc(2), 3)
                    + cell(channel.harmonicDbc(3), 3) + cell(channel.thdDb, 3)
                    + cell(channel.thdnDb, 3) + (pairs ? "," + point.pairs[c] : "") + "\n";
        }
    }
    return text;
}

// The exit status, and the line on standard error that ends a sweep that
// did not measure every volume cleanly.
int conclude(const CommandContext& context, const VolumeSweep::Result& run,
             const std::vector<Point>& points, const std::string& stopCause,
             const DacSession::Block& held)
{
    const std::string setBack =
        "'sonvalectl set volume[0]=" + std::to_string(held[BlockLayout::volumeLeft])
        + " volume[1]=" + std::to_string(held[BlockLayout::volumeRight]) + "'";
    if (!run.restoreError.empty()) {
        context.fail(
            (run.failure.empty() ? std::string() : run.failure + "; ")
            + "the DAC's volume held before could not be put back (" + run.restoreError + "): "
            + (context.keepHistory ? "'sonvalectl undo' puts the block kept in the history "
                                     "back once the DAC answers again"
                                   : setBack + " sets it once the DAC answers again"));
        return CommandContext::AudioFailed;
    }
    const std::string back = "; the DAC's volume was put back";
    if (!run.failure.empty()) {
        context.fail(run.failure + back);
        return CommandContext::AudioFailed;
    }
    if (run.interrupted) {
        context.fail(stopCause + back);
        return CommandContext::NotImproved;
    }
    std::string problems;
    for (const Point& point : points) {
        std::string list;
        for (const std::string& problem : point.analysis.problems)
            list += (list.empty() ? " " : ", ") + problem;
        if (!list.empty())
            problems += (problems.empty() ? "at " : "; at ") + volumeText(point.volumeDb) + list;
    }
    if (problems.empty())
        return CommandContext::Done;
    context.fail("a capture does not tell the DAC's distortion: " + problems);
    return CommandContext::NotImproved;
}

// "--volumes: -130.0 dB lies outside ..." when the DAC's block cannot hold
// a volume of the sweep; "" when it holds them all.
std::string volumeRefusal(const std::vector<double>& volumes, const DacSession::Block& block)
{
    const std::optional<double> unheld = VolumeSweep::unheld(volumes, block);
    if (!unheld)
        return std::string();
    const uint8_t max = block[BlockLayout::volumeLeft + 2],
                  min = block[BlockLayout::volumeLeft + 3];
    return "--volumes: " + MeasurementOutput::fixed(*unheld, 2)
           + " dB lies outside what the DAC's block holds: from "
           + MeasurementOutput::fixed(ThdTuning::lowestVolumeDb(max, min), 1)
           + " dB to 0 dB in steps of 0.5 dB";
}

struct SweepOptions {
    AudioOptions audio;
    VolumeSteps steps;
    std::vector<MappedVolume> map;
    bool mapGiven = false;
    bool csv = false;
};

// The sweep's own options, then the audio options among the rest. The
// status to end with once refused (or the map file failed), or nothing.
std::optional<int> parse(const CommandContext& context, const Commands::Arguments& arguments,
                         SweepOptions& options)
{
    OptionParser parser({{"--volumes", "FROM:TO:STEP"}, {"--map", "FILE"}, {"--csv"}},
                        OptionParser::Scope::Anywhere, "--", OptionParser::Unknown::Operand);
    if (!parser.parse(arguments))
        return context.refuse(parser.error());
    if (!options.audio.parse(context, "sweep", parser.operands()))
        return int(CommandContext::BadUsage);
    std::optional<std::string> mapFile;
    for (const auto& [option, value] : parser.given()) {
        std::string error;
        if (option == "--volumes" && !options.steps.parse(value, error))
            return context.refuse(error);
        if (option == "--map" && value.empty())
            return context.refuse("--map takes a file that 'sonvalectl thd-map --json' wrote");
        if (option == "--map")
            mapFile = value;
        options.csv = options.csv || option == "--csv";
    }
    if (options.csv && options.audio.json)
        return context.refuse("--json and --csv print the sweep in two ways: give one of them");
    if (mapFile) {
        const std::string error = readMap(*mapFile, options.map);
        if (!error.empty()) {
            context.fail(*mapFile + ": " + error);
            return int(CommandContext::AudioFailed);
        }
        options.mapGiven = true;
    }
    return std::nullopt;
}

} // namespace

int Commands::sweep(const CommandContext& context, const Arguments& arguments)
{
    SweepOptions options;
    if (const std::optional<int> status = parse(context, arguments, options))
        return *status;
    noteLevelCap(context, options.audio);
    const std::vector<double>& volumes = options.steps.volumesDb();

    // From here on Ctrl-C, SIGTERM or a closed terminal end the sweep, which
    // puts the volume back before the process ends.
    StopSignals stops;
    const int status = context.withRig(
        options.audio, true, true,
        [&](DacSession* session, const DacSession::Block* block, MeasurementRig& rig) {
            const std::string refusal = volumeRefusal(volumes, *block);
            if (!refusal.empty())
                return context.refuse(refusal);
            // The whole block goes into the history before the volume moves.
            if (const Error fault = context.historyKeeper(*session).keep(*block))
                return context.fail(context.historyError(fault).cause);
            rig.setStop(&stops.flag());
            const VolumeSweep::Result run =
                VolumeSweep(*session, rig).run(*block, volumes, &stops.flag());
            putBack(rig);
            std::vector<Point> points;
            for (const VolumeSweep::Point& measured : run.points)
                points.push_back(Point{measured, {}});
            for (Point& point : points) {
                for (std::size_t c = 0; c < point.analysis.channels.size() && options.mapGiven;
                     ++c) {
                    point.pairs.push_back(
                        pairAt(options.map, point.volumeDb,
                               CaptureAnalysis::channelName(c, point.analysis.channels.size())));
                }
            }
            std::string report = options.audio.json ? json(points, options.mapGiven)
                                 : options.csv      ? csv(points, options.mapGiven)
                                                    : text(options.audio, points, options.mapGiven);
            if (!options.audio.json && !options.csv && run.restoreError.empty())
                report += "the DAC's volume is back as it was\n";
            std::fputs(report.c_str(), stdout);
            std::fflush(stdout);
            return conclude(context, run, points, stops.cause(), *block);
        });
    stops.finished();
    return status;
}
