// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"

#include <cstdint>
#include <string>

// The history-keeping steps around a change on the DAC (set, load, factory,
// undo): the DAC's folder made before anything is read, so that one that
// cannot be made stops the command before anything is sent; then the block
// the DAC holds kept as the newest entry before anything changes it. With
// no history asked for, every step does nothing.
//
// Each step returns an empty string when it went through, otherwise the
// cause of its failure, after which nothing may be sent that changes the DAC.
class HistoryKeeper {
public:
    struct Keeping {
        bool keep = true;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        // What the history says ran: "set pcm_mclk[2]=4".
        std::string commandLine;
        // How a person does without the history, said after the cause of a
        // failure: " (--no-history does without the history)".
        std::string remedy;
    };

    HistoryKeeper(const Keeping& keeping, DacSession& session);

    // "the DAC's settings cannot be kept in its history, so the DAC was
    // left as it was: <error>", and the remedy.
    static std::string notKept(const std::string& error, const std::string& remedy = {});

    std::string makeFolder() const;
    std::string keep(const DacSession::Block& held) const;
    // All three: makes the folder, reads the whole block into `held`, keeps it.
    std::string readAndKeep(DacSession::Block& held) const;

private:
    const Keeping keeping;
    DacSession& session;
};
