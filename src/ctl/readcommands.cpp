// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The sonvalectl commands that only read the DAC.

#include "ctl/commandoutput.h"
#include "ctl/commands.h"
#include "control/history.h"
#include "settings/blocklayout.h"
#include "settings/fieldassignment.h"
#include "settings/presetfile.h"
#include "settings/settingsblock.h"

#include <algorithm>
#include <cstdio>

using Block = DacSession::Block;

int Commands::status(const CommandContext& context, const Arguments& arguments)
{
    if (!arguments.empty())
        return context.refuse("status takes no arguments");
    DacSession::Identity identity;
    std::string note;
    const int result = context.withDac([&](DacSession& session) {
        identity = session.identity();
        note = session.interfaceProblem();
        return Error();
    });
    if (result == CommandContext::Done)
        CommandOutput::printStatus(context.device(), identity, note);
    return result;
}

int Commands::show(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {"--json"}, given, operands))
        return CommandContext::BadUsage;
    if (!operands.empty())
        return context.refuse("show takes no arguments but --json");
    CommandOutput::Shown shown;
    const int result = context.withDac([&](DacSession& session) {
        Block block;
        if (Error error = session.readBlock(block))
            return error;
        shown = CommandOutput::shown(session, block);
        return Error();
    });
    if (result == CommandContext::Done)
        CommandOutput::printBlock(context.device(), shown, given[0]);
    return result;
}

int Commands::get(const CommandContext& context, const Arguments& arguments)
{
    std::vector<FieldAssignment> fields;
    std::vector<uint8_t> windows;
    for (const std::string& argument : arguments) {
        FieldAssignment field;
        if (const Error error = field.parseField(argument))
            return context.refuseField(error);
        for (int offset = field.offset(); offset < field.offset() + field.length(); ++offset)
            windows.push_back(uint8_t(offset / BlockLayout::window * BlockLayout::window));
        fields.push_back(field);
    }
    if (fields.empty())
        return context.refuse("get needs at least one FIELD, e.g. get pcm_mclk[0] volume");
    std::sort(windows.begin(), windows.end());
    windows.erase(std::unique(windows.begin(), windows.end()), windows.end());

    // Only the windows that hold the fields asked for.
    Block block{};
    const int result =
        context.withDac([&](DacSession& session) { return session.readWindows(windows, block); });
    if (result != CommandContext::Done)
        return result;
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    for (const FieldAssignment& field : fields)
        std::printf("%s\n", CommandOutput::joined(field.valuesIn(settings), " ").c_str());
    return CommandContext::Done;
}

int Commands::save(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {}, given, operands))
        return CommandContext::BadUsage;
    if (operands.size() != 1)
        return context.refuse("save takes exactly one FILE");

    Block block{};
    const int result =
        context.withDac([&](DacSession& session) { return session.readBlock(block); });
    if (result != CommandContext::Done)
        return result;
    std::vector<unsigned char> bytes(block.begin(), block.end());
    bytes.resize(PresetFile::minimumSize);
    if (const Error error = PresetFile::write(operands[0], bytes))
        return context.fail(error.cause);
    return CommandContext::Done;
}

int Commands::diff(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {}, given, operands))
        return CommandContext::BadUsage;
    if (operands.size() != 1)
        return context.refuse("diff takes exactly one FILE");
    const std::string& path = operands[0];

    std::vector<unsigned char> bytes;
    if (const Error fault = PresetFile::read(path, bytes)) {
        context.fail(path + ": " + fault.cause);
        return CommandContext::DiffFailed;
    }
    Block block{};
    const int result =
        context.withDac([&](DacSession& session) { return session.readBlock(block); });
    if (result != CommandContext::Done)
        return CommandContext::DiffFailed;
    // Byte 0 stays the DAC's own when the file is loaded.
    const auto differences = FieldAssignment::differences(block.data(), bytes.data(), 1);
    for (const FieldAssignment::Difference& d : differences)
        std::printf("%s: DAC %ld, file %ld\n", d.name.c_str(), d.first, d.second);
    return differences.empty() ? CommandContext::Done : CommandContext::Different;
}

int Commands::history(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {"--json"}, given, operands))
        return CommandContext::BadUsage;
    if (!operands.empty())
        return context.refuse("history takes no arguments but --json");
    // Only the DAC's serial number is needed, to find its history.
    std::string serial;
    const int result = context.withDac([&](DacSession& session) {
        serial = session.identity().serial;
        return Error();
    });
    if (result != CommandContext::Done)
        return result;
    const History kept(context.vendorId, context.productId, serial);
    CommandOutput::printHistory(context.device(), serial, kept, given[0]);
    return CommandContext::Done;
}
