// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/dacsession.h"

#include <string>

class CommandContext;

// The history-keeping steps around a change on the DAC (set, load, factory,
// undo): the DAC's folder made before anything is read, so that one that
// cannot be made stops the command before anything is sent; then the block
// the DAC holds kept as the newest entry before anything changes it. With
// --no-history every step does nothing.
//
// Each step returns an empty string when it went through, otherwise the
// cause of its failure, after which nothing may be sent that changes the DAC.
class HistoryKeeper {
public:
    HistoryKeeper(const CommandContext& context, DacSession& session);

    std::string makeFolder() const;
    std::string keep(const DacSession::Block& held) const;
    // All three: makes the folder, reads the whole block into `held`, keeps it.
    std::string readAndKeep(DacSession::Block& held) const;

private:
    std::string notKept(const std::string& error) const;

    const CommandContext& context;
    DacSession& session;
};
