// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/measurementoutput.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

namespace {

constexpr int lastShown = 5;    // H2..H5

std::string formatted(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A figure and its unit; "-" alone when there is no figure.
std::string figure(double value, int decimals, const char* unit)
{
    return std::isfinite(value) ? MeasurementOutput::fixed(value, decimals) + " " + unit : "-";
}

// A figure with its unit, padded to line up the columns.
std::string padded(std::string text, std::size_t width)
{
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text + " ";
}

std::string explained(const std::string& problem)
{
    if (problem == Problem::noSignal)
        return "no signal: no tone arrived at the input (is the DAC's output connected to it, and the input "
               "the one named?)";
    if (problem == Problem::clipping)
        return "clipping: the capture reaches full scale (lower --level, the DAC's volume or the input's gain)";
    if (problem == Problem::dropout)
        return "dropout: samples were lost or repeated during the capture (a busy machine, or a device that "
               "cannot keep up)";
    if (problem == Problem::level)
        return "level: the fundamental lies more than 1 dB from the level expected (the input's gain, or "
               "another path than the one named)";
    if (problem == Problem::weakSignal)
        return "weak signal: the input's noise lies above what a measurement of the DAC's distortion must "
               "resolve (raise the interface's input gain)";
    return problem;
}

JsonText shareJson(const InterfaceSeparation::Share& share)
{
    JsonText object;
    object.add("dbc", MeasurementOutput::number(share.dbc(), 3))
        .add("phase_deg", MeasurementOutput::number(share.phaseDeg(), 2))
        .add("uncertainty_db", MeasurementOutput::number(share.uncertaintyDb(), 3))
        .add("uncertainty_deg", MeasurementOutput::number(share.uncertaintyDeg(), 2));
    return object;
}

// "-110.02 dBc   40.1 deg (±0.05 dB, ±0.3 deg)"
std::string shareText(const InterfaceSeparation::Share& share)
{
    const std::string uncertainty =
        std::isfinite(share.uncertaintyDb())
            ? "(±" + MeasurementOutput::fixed(share.uncertaintyDb(), 2) + " dB, ±"
                  + MeasurementOutput::fixed(share.uncertaintyDeg(), 1) + " deg)"
            : "(within the noise)";
    return padded(figure(share.dbc(), 2, "dBc"), 13)
           + padded(figure(share.phaseDeg(), 1, "deg"), 11) + uncertainty;
}

} // namespace

std::string MeasurementOutput::separationText(const InterfaceSeparation& separation,
                                              std::size_t channels)
{
    std::string text = "the DAC's and the interface's shares (the input's level changed by "
                       + fixed(separation.gainChangeDb(), 2) + " dB between the captures):\n";
    for (std::size_t c = 0; c < separation.channels.size(); ++c) {
        text += CaptureAnalysis::channelName(c, channels) + "\n";
        for (int order = 2; order <= InterfaceSeparation::highestOrder; ++order) {
            const InterfaceSeparation::Harmonic& split =
                separation.channels[c].harmonics[std::size_t(order - 2)];
            text += "  H" + std::to_string(order) + "  DAC        " + shareText(split.dac) + "\n"
                    + "      interface  " + shareText(split.interface1) + "\n";
        }
    }
    return text;
}

std::string MeasurementOutput::fixed(double value, int decimals)
{
    if (!std::isfinite(value))
        return "-";
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    std::string text = formatted(format, value);
    return text == "-0" || text.find_first_not_of("-0.") == std::string::npos ? text.erase(0, text[0] == '-') : text;
}

QJsonValue MeasurementOutput::number(double value, int decimals)
{
    if (!std::isfinite(value))
        return QJsonValue();
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    return rounded == 0 ? 0.0 : rounded;
}

std::string MeasurementOutput::problemText(const CaptureAnalysis& analysis)
{
    std::string text;
    for (const std::string& problem : analysis.problems)
        text += "problem: " + explained(problem) + "\n";
    return text;
}

std::string MeasurementOutput::text(const Setup& setup, const CaptureAnalysis& analysis)
{
    std::string text;
    if (!setup.file.empty()) {
        text += "analysed: " + setup.file + " (" + setup.fileFormat + ", " + fixed(analysis.rateHz, 0) + " Hz, "
                + fixed(analysis.seconds, 3) + " s)\n";
    } else {
        text += "measured: " + fixed(setup.frequencyHz, 1) + " Hz at " + fixed(setup.levelDbfs, 1) + " dBFS"
                + (setup.levelCapped ? " (capped from " + fixed(setup.requestedLevelDbfs, 1) + ")" : "") + ", "
                + fixed(analysis.rateHz, 0) + " Hz, " + fixed(analysis.seconds, 3) + " s\n";
        text += "output: " + setup.output;
        if (setup.outputIsDac && setup.dacVolumeDb.size() == 2) {
            text += " (the DAC, volume " + fixed(setup.dacVolumeDb[0], 1) + " dB left, " + fixed(setup.dacVolumeDb[1], 1)
                    + " dB right)";
        } else if (setup.outputIsDac) {
            text += " (the DAC)";
        }
        // Windows' WASAPI opens a device exclusive or shared, converting
        // rates or not: which one it was is said.
        const auto mode = [](const std::string& how) {
            return how.find("WASAPI") == std::string::npos ? std::string() : " through " + how;
        };
        text += mode(setup.outputMode) + "\ninput: " + setup.input + mode(setup.inputMode) + "\n";
    }
    const std::size_t channels = analysis.channels.size();
    for (std::size_t c = 0; c < channels; ++c) {
        const ChannelAnalysis& channel = analysis.channels[c];
        text += CaptureAnalysis::channelName(c, channels) + "\n";
        text += "  fundamental  " + padded(figure(channel.levelDbfs, 2, "dBFS"), 15)
                + figure(channel.frequencyHz, 3, "Hz");
        if (c < setup.expectedLevels.size())
            text += "  (expected " + fixed(setup.expectedLevels[c], 2) + " dBFS)";
        else if (c < setup.playedLevels.size())
            text += "  (played " + fixed(setup.playedLevels[c], 2) + " dBFS)";
        if (c < setup.playedLevels.size())
            text +=
                "\n  path gain    " + figure(channel.levelDbfs - setup.playedLevels[c], 2, "dB");
        text += "\n  THD          " + padded(figure(channel.thdDb, 2, "dB"), 15)
                + (std::isfinite(channel.thdPercent) ? channel.thdPercentText() + " %" : "-") + "\n";
        text += "  THD+N        " + figure(channel.thdnDb, 2, "dB") + "\n";
        for (int order = 2; order <= lastShown; ++order) {
            text += "  H" + std::to_string(order) + "           "
                    + padded(figure(channel.harmonicDbc(order), 2, "dBc"), 15)
                    + figure(channel.harmonicPhaseDeg(order), 1, "deg");
            // The interface's own H2 and H3 beside the DAC's, when a
            // profile of it applies.
            if (order <= 3 && c < setup.interfaceFloors.size()) {
                const MeasurementSetup::InterfaceFloor& floor = setup.interfaceFloors[c];
                text += "  (interface " + figure(order == 2 ? floor.h2Dbc : floor.h3Dbc, 2, "dBc")
                        + ")";
            }
            text += "\n";
        }
    }
    for (const std::string& warning : setup.warnings)
        text += "warning: " + warning + "\n";
    const std::string problems = problemText(analysis);
    return text + (problems.empty() ? "problems: none\n" : problems);
}

JsonText MeasurementOutput::json(const Setup& setup, const CaptureAnalysis& analysis,
                                 const InterfaceSeparation* separation)
{
    const std::size_t channels = analysis.channels.size();
    double frequency = setup.frequencyHz;
    if (frequency <= 0 && channels > 0)
        frequency = analysis.channels.front().frequencyHz;
    JsonText document;
    document.add("frequency", number(frequency, 3))
        .add("rate", number(analysis.rateHz, 0))
        .add("seconds", number(analysis.seconds, 4));
    if (setup.file.empty()) {
        document.add("level_dbfs", number(setup.levelDbfs, 2))
            .add("output", QString::fromStdString(setup.output))
            .add("output_is_dac", setup.outputIsDac)
            .add("input", QString::fromStdString(setup.input));
        if (!setup.outputMode.empty()) {
            document.add("output_mode", QString::fromStdString(setup.outputMode))
                .add("input_mode", QString::fromStdString(setup.inputMode));
        }
        if (!setup.dacVolumeDb.empty())
            document.add("dac_volume_db", QJsonArray{number(setup.dacVolumeDb[0], 1), number(setup.dacVolumeDb[1], 1)});
    } else {
        document.add("file", QString::fromStdString(setup.file)).add("format", QString::fromStdString(setup.fileFormat));
    }
    if (separation)
        document.add("gain_change_db", number(separation->gainChangeDb(), 2));

    std::vector<JsonText> list;
    for (std::size_t c = 0; c < channels; ++c)
        list.push_back(channelJson(setup, analysis, c, separation));
    document.addObjects("channels", list);
    QJsonArray problems;
    for (const std::string& problem : analysis.problems)
        problems.append(QString::fromStdString(problem));
    document.add("problems", problems);
    // Only beside a profile of the interface: without one the document
    // stays as it always was.
    if (!setup.interfaceFloors.empty()) {
        QJsonArray warnings;
        for (const std::string& warning : setup.warnings)
            warnings.append(QString::fromStdString(warning));
        document.add("warnings", warnings);
    }
    return document;
}

JsonText MeasurementOutput::channelJson(const Setup& setup, const CaptureAnalysis& analysis, std::size_t c,
                                        const InterfaceSeparation* separation)
{
    const std::size_t channels = analysis.channels.size();
    const ChannelAnalysis& channel = analysis.channels[c];
    JsonText entry;
    entry.add("channel", QString::fromStdString(CaptureAnalysis::channelName(c, channels)))
        .add("frequency", number(channel.frequencyHz, 3))
        .add("level_dbfs", number(channel.levelDbfs, 3));
    if (c < setup.expectedLevels.size())
        entry.add("expected_level_dbfs", number(setup.expectedLevels[c], 2));
    else if (c < setup.playedLevels.size())
        entry.add("expected_level_dbfs", number(setup.playedLevels[c], 2));
    if (c < setup.playedLevels.size())
        entry.add("path_gain_db", number(channel.levelDbfs - setup.playedLevels[c], 2));
    entry.add("thd_db", number(channel.thdDb, 3))
        .add("thd_percent",
             channel.thdPercent > 0
                 ? number(channel.thdPercent, 3 - int(std::floor(std::log10(channel.thdPercent))))
                 : number(channel.thdPercent, 6))
        .add("thdn_db", number(channel.thdnDb, 3));
    std::vector<JsonText> harmonics;
    for (int order = 2; order <= lastShown; ++order) {
        JsonText& harmonic = harmonics.emplace_back()
                                 .add("order", order)
                                 .add("dbc", number(channel.harmonicDbc(order), 3))
                                 .add("phase_deg", number(channel.harmonicPhaseDeg(order), 2));
        if (separation && c < separation->channels.size()) {
            const InterfaceSeparation::Harmonic& split = separation->channels[c].harmonics[std::size_t(order - 2)];
            harmonic.addJson("dac", shareJson(split.dac).oneLine())
                .addJson("interface", shareJson(split.interface1).oneLine());
        }
    }
    entry.addObjects("harmonics", harmonics);
    if (c < setup.interfaceFloors.size()) {
        const MeasurementSetup::InterfaceFloor& floor = setup.interfaceFloors[c];
        entry.add("interface_floor",
                  QJsonObject{{"h2_dbc", number(floor.h2Dbc, 3)}, {"h3_dbc", number(floor.h3Dbc, 3)}});
    }
    QJsonArray problems;
    for (const std::string& problem : channel.problems)
        problems.append(QString::fromStdString(problem));
    entry.add("problems", problems);
    return entry;
}
