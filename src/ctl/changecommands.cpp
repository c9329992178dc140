// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The sonvalectl commands that change the DAC: each keeps what the DAC held
// in the history before it sends anything that changes it, and reads the
// block back afterwards to check it.

#include "ctl/commandoutput.h"
#include "ctl/commands.h"
#include "control/history.h"
#include "control/historykeeper.h"
#include "settings/blocklayout.h"
#include "settings/fieldassignment.h"
#include "settings/presetfile.h"
#include "settings/settingsblock.h"

#include <algorithm>

namespace {

using Block = DacSession::Block;

// Writes `wanted` as the window's import does, and checks what the DAC then
// holds. A preset's byte 0 (hwType) gives way to the DAC's own; a block the
// DAC itself held (`itsOwn`) goes back whole. With the history, the whole
// block is read and kept first; without, only the window that holds byte 0.
Error writeWholeBlock(const CommandContext& context, DacSession& session, Block wanted, bool itsOwn)
{
    Block held{};
    if (context.keepHistory) {
        if (const Error fault = context.historyKeeper(session).readAndKeep(held))
            return context.historyError(fault);
    } else if (Error error = session.readWindows({0}, held)) {
        return error;
    }
    if (!itsOwn)
        wanted[0] = held[0];
    return session.writeBlock(wanted);
}

Block blockOf(const std::vector<unsigned char>& presetBytes)
{
    Block block;
    std::copy_n(presetBytes.begin(), block.size(), block.begin());
    return block;
}

// The values of a preset that no edit in the window produces, "" if none.
std::string valuesTheWindowNeverSets(const Block& block)
{
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    std::string found;
    for (int i = 0; i < BlockLayout::rateEntries; ++i) {
        const std::string entry = "[" + std::to_string(i) + "]=";
        if (!BlockLayout::windowSetsMclk(settings.pcm_mclk[i]))
            found += (found.empty() ? "" : ", ") + ("pcm_mclk" + entry) + std::to_string(settings.pcm_mclk[i]);
        if (!BlockLayout::windowSetsFilter(settings.pcm_filter[i]))
            found += (found.empty() ? "" : ", ") + ("pcm_filter" + entry) + std::to_string(settings.pcm_filter[i]);
    }
    return found;
}

// A positive whole number, digits only.
bool parseCount(const std::string& text, size_t& count)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = size_t(std::stoul(text));
    return count > 0;
}

} // namespace

int Commands::set(const CommandContext& context, const Arguments& arguments)
{
    std::vector<FieldAssignment> assignments;
    for (const std::string& argument : arguments) {
        FieldAssignment assignment;
        if (const Error error = assignment.parse(argument))
            return context.refuseField(error);
        assignments.push_back(assignment);
    }
    if (assignments.empty())
        return context.refuse("set needs at least one FIELD=VALUE, e.g. set pcm_mclk[0]=7");

    return context.withDac([&](DacSession& session) {
        const HistoryKeeper history = context.historyKeeper(session);
        if (const Error fault = history.makeFolder())
            return context.historyError(fault);
        Block held{};
        if (Error error = session.readBlock(held))
            return error;
        SettingsBlock settings = SettingsBlock::fromDeviceBytes(held.data());
        for (const FieldAssignment& assignment : assignments)
            assignment.applyTo(settings);
        Block wanted;
        settings.toDeviceBytes(wanted.data());

        // The channel volumes go with the volume command, which keeps the
        // channel that is not named as the device holds it; every other
        // change in the window that holds it, each window once.
        bool volume = false;
        std::vector<uint8_t> windows;
        for (int offset = 0; offset < BlockLayout::size; ++offset) {
            const uint8_t address = BlockLayout::windowOf(offset);
            if (wanted[size_t(offset)] == held[size_t(offset)])
                continue;
            if (offset == BlockLayout::volumeLeft || offset == BlockLayout::volumeRight)
                volume = true;
            else if (windows.empty() || windows.back() != address)
                windows.push_back(address);
        }
        if (windows.empty() && !volume)
            return Error(); // nothing changes: nothing is kept, nothing sent
        if (const Error fault = history.keep(held))
            return context.historyError(fault);
        for (uint8_t address : windows) {
            if (Error error = session.writeWindow(address, wanted))
                return error;
        }
        if (volume) {
            if (Error error = session.setVolume(wanted[BlockLayout::volumeLeft],
                                                wanted[BlockLayout::volumeRight]))
                return error;
        }
        return session.verify(wanted);
    });
}

int Commands::load(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {"--force"}, given, operands))
        return CommandContext::BadUsage;
    if (operands.size() != 1)
        return context.refuse("load takes exactly one FILE");
    const std::string& path = operands[0];

    std::vector<unsigned char> bytes;
    if (const Error fault = PresetFile::read(path, bytes))
        return context.fail(path + ": " + fault.cause);
    const Block wanted = blockOf(bytes);

    // Values the window cannot produce go to the device only when asked for.
    const std::string strange = valuesTheWindowNeverSets(wanted);
    if (!strange.empty() && !given[0]) {
        return context.fail(path + ": it holds values the window never sets (" + strange
                            + "; pcm_mclk goes to 15, pcm_filter uses bits 7..5 only); --force loads it unchanged");
    }
    return context.withDac([&](DacSession& session) { return writeWholeBlock(context, session, wanted, false); });
}

int Commands::factory(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {"--yes", "--json"}, given, operands))
        return CommandContext::BadUsage;
    if (!operands.empty())
        return context.refuse("factory takes no arguments but --yes and --json");
    if (!given[0]) {
        return context.refuse("factory replaces every setting on the DAC with its factory settings; keep them "
                              "first with 'sonvalectl save FILE', then run 'sonvalectl factory --yes'");
    }
    CommandOutput::Shown shown;
    const int result = context.withDac([&](DacSession& session) {
        Block block;
        if (context.keepHistory) {
            if (const Error fault = context.historyKeeper(session).readAndKeep(block))
                return context.historyError(fault);
        }
        Error error = session.restoreFactory();
        if (!error)
            error = session.readBlock(block);
        if (error)
            return error;
        shown = CommandOutput::shown(session, block);
        return Error();
    });
    if (result == CommandContext::Done)
        CommandOutput::printBlock(context.device(), shown, given[1]);
    return result;
}

int Commands::undo(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {}, given, operands))
        return CommandContext::BadUsage;
    size_t number = 1;
    if (operands.size() > 1 || (operands.size() == 1 && !parseCount(operands[0], number)))
        return context.refuse("undo takes the number of an entry of 'sonvalectl history' (1, the newest, if none)");

    return context.withDac([&](DacSession& session) {
        const History kept(context.vendorId, context.productId, session.identity().serial);
        const std::vector<History::Entry> entries = kept.entries();
        if (number > entries.size()) {
            const std::string held =
                std::to_string(entries.size()) + (entries.size() == 1 ? " entry" : " entries");
            return Error(Error::Kind::Refused,
                         "the history of the DAC " + context.device() + " holds " + held + ", not "
                             + std::to_string(number) + " (" + kept.folder() + ")");
        }
        // What the DAC held once goes back as it was, hwType and whatever the
        // window would not have set included.
        const std::string& path = entries[number - 1].path;
        std::vector<unsigned char> bytes;
        if (const Error fault = PresetFile::read(path, bytes))
            return Error(Error::Kind::File, path + ": " + fault.cause);
        return writeWholeBlock(context, session, blockOf(bytes), true);
    });
}
