// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/commandoutput.h"

#include "ctl/jsontext.h"
#include "settings/blocklayout.h"
#include "settings/fieldassignment.h"
#include "settings/settingsblock.h"

#include <QJsonArray>

#include <cstdio>

namespace {

QJsonValue stringOrNull(const std::string& text)
{
    return text.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(text));
}

QJsonValue numbers(const std::vector<long>& values)
{
    if (values.size() == 1)
        return QJsonValue(qint64(values[0]));
    QJsonArray array;
    for (long value : values)
        array.append(qint64(value));
    return array;
}

} // namespace

CommandOutput::Shown CommandOutput::shown(const DacSession& session, const DacSession::Block& block)
{
    return {block, session.identity(), double(session.mirror().volumeDb()),
            session.mirror().volumeDbText().toStdString()};
}

void CommandOutput::printBlock(const std::string& device, const Shown& shown, bool json)
{
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(shown.block.data());
    std::vector<std::string> shapes;
    for (uint8_t filter : settings.pcm_filter)
        shapes.push_back(FieldAssignment::shapeName(filter >> BlockLayout::shapeShift));

    if (!json) {
        std::fflush(stdout);
        settings.dump();
        std::printf("volume: %s\n", shown.volumeDbText.c_str());
        std::string line;
        for (size_t i = 0; i < shapes.size(); ++i)
            line += (i ? ", " : "") + shapes[i];
        std::printf("pcm_filter shapes[44.1 ...]: %s\n", line.c_str());
        return;
    }

    QJsonArray shapeNames;
    for (const std::string& shape : shapes)
        shapeNames.append(QString::fromStdString(shape));
    JsonText fields;
    for (int field = 0; field < FieldAssignment::fieldCount(); ++field)
        fields.add(FieldAssignment::fieldName(field), numbers(FieldAssignment::fieldValues(field, settings)));
    JsonText document;
    document.add("device", QString::fromStdString(device))
        .add("manufacturer", stringOrNull(shown.identity.manufacturer))
        .add("product", stringOrNull(shown.identity.product))
        .add("serial", stringOrNull(shown.identity.serial))
        .add("volume_db", shown.volumeDb)
        .add("volume_text", QString::fromStdString(shown.volumeDbText))
        .add("pcm_filter_shapes", shapeNames)
        .addJson("settings", fields.lines(2));
    std::fputs((document.lines() + "\n").c_str(), stdout);
}

void CommandOutput::printStatus(const std::string& device, const DacSession::Identity& identity,
                                const std::string& note)
{
    std::printf("device: %s\n", device.c_str());
    const std::pair<const char*, const std::string*> strings[] = {
        {"manufacturer", &identity.manufacturer},
        {"product", &identity.product},
        {"serial number", &identity.serial},
    };
    for (const auto& s : strings) {
        if (!s.second->empty())
            std::printf("%s: %s\n", s.first, s.second->c_str());
    }
    if (!note.empty())
        std::printf("note: %s\n", note.c_str());
}

void CommandOutput::printHistory(const std::string& device, const std::string& serial, const History& history,
                                 bool json)
{
    const std::vector<History::Entry> entries = history.entries();
    if (json) {
        std::vector<JsonText> list(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            list[i]
                .add("number", qint64(i + 1))
                .add("time", stringOrNull(entries[i].time))
                .add("command", QString::fromStdString(entries[i].command))
                .add("file", QString::fromStdString(entries[i].path));
        }
        JsonText document;
        document.add("device", QString::fromStdString(device))
            .add("serial", stringOrNull(serial))
            .add("folder", stringOrNull(history.folder()))
            .addObjects("entries", list);
        std::fputs((document.lines() + "\n").c_str(), stdout);
        return;
    }
    if (entries.empty())
        std::fprintf(stderr, "sonvalectl: the history of the DAC %s is empty (%s)\n", device.c_str(),
                     history.folder().c_str());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::printf("%3zu  %s  %s\n", i + 1, History::localTime(entries[i].time).c_str(),
                    entries[i].command.c_str());
    }
}

std::string CommandOutput::joined(const std::vector<long>& values, const char* separator)
{
    std::string text;
    for (size_t i = 0; i < values.size(); ++i)
        text += (i ? separator : "") + std::to_string(values[i]);
    return text;
}
