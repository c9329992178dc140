// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "control/historykeeper.h"

#include "control/history.h"

HistoryKeeper::HistoryKeeper(const Keeping& keeping, DacSession& session) : keeping(keeping), session(session)
{
}

std::string HistoryKeeper::notKept(const std::string& error, const std::string& remedy)
{
    return "the DAC's settings cannot be kept in its history, so the DAC was left as it was: " + error + remedy;
}

std::string HistoryKeeper::makeFolder() const
{
    if (!keeping.keep)
        return std::string();
    const History history(keeping.vendorId, keeping.productId, session.identity().serial);
    std::string error;
    return history.prepare(error) ? std::string() : notKept(error, keeping.remedy);
}

std::string HistoryKeeper::keep(const DacSession::Block& held) const
{
    if (!keeping.keep)
        return std::string();
    const History history(keeping.vendorId, keeping.productId, session.identity().serial);
    std::string error;
    return history.record(held.data(), keeping.commandLine, error) ? std::string()
                                                                   : notKept(error, keeping.remedy);
}

std::string HistoryKeeper::readAndKeep(DacSession::Block& held) const
{
    std::string fault = makeFolder();
    if (fault.empty() && !session.readBlock(held))
        fault = session.error();
    return fault.empty() ? keep(held) : fault;
}
