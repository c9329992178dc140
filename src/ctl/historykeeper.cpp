// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/historykeeper.h"

#include "ctl/commandcontext.h"
#include "ctl/history.h"

HistoryKeeper::HistoryKeeper(const CommandContext& context, DacSession& session) : context(context), session(session)
{
}

std::string HistoryKeeper::notKept(const std::string& error) const
{
    return "the DAC's settings cannot be kept in its history, so the DAC was left as it was: " + error
           + " (--no-history does without the history)";
}

std::string HistoryKeeper::makeFolder() const
{
    if (!context.keepHistory)
        return std::string();
    const History history(context.vendorId, context.productId, session.identity().serial);
    std::string error;
    return history.prepare(error) ? std::string() : notKept(error);
}

std::string HistoryKeeper::keep(const DacSession::Block& held) const
{
    if (!context.keepHistory)
        return std::string();
    const History history(context.vendorId, context.productId, session.identity().serial);
    std::string error;
    return history.record(held.data(), context.commandLine, error) ? std::string() : notKept(error);
}

std::string HistoryKeeper::readAndKeep(DacSession::Block& held) const
{
    std::string fault = makeFolder();
    if (fault.empty() && !session.readBlock(held))
        fault = session.error();
    return fault.empty() ? keep(held) : fault;
}
