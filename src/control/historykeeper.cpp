// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "control/historykeeper.h"

#include "control/history.h"

HistoryKeeper::HistoryKeeper(const Keeping& keeping, DacSession& session) : keeping(keeping), session(session)
{
}

std::string HistoryKeeper::notKept(const Error& error, const std::string& remedy)
{
    return "the DAC's settings cannot be kept in its history, so the DAC was left as it was: "
           + error.cause + remedy;
}

Error HistoryKeeper::makeFolder() const
{
    if (!keeping.keep)
        return Error();
    return History(keeping.vendorId, keeping.productId, session.identity().serial).prepare();
}

Error HistoryKeeper::keep(const DacSession::Block& held) const
{
    if (!keeping.keep)
        return Error();
    const History history(keeping.vendorId, keeping.productId, session.identity().serial);
    return history.record(held.data(), keeping.commandLine);
}

Error HistoryKeeper::readAndKeep(DacSession::Block& held) const
{
    if (Error error = makeFolder())
        return error;
    if (Error error = session.readBlock(held))
        return error;
    return keep(held);
}
