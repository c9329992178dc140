// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "control/dacsession.h"

#include <cstdint>
#include <string>

// The history-keeping steps around a change on the DAC (set, load, factory,
// undo): the DAC's folder made before anything is read, so that one that
// cannot be made stops the command before anything is sent; then the block
// the DAC holds kept as the newest entry before anything changes it. With
// no history asked for, every step does nothing.
//
// Each step returns no error when it went through, otherwise its failure:
// Kind::File when the history cannot be kept, Kind::Device when the DAC
// failed. After either, nothing may be sent that changes the DAC.
class HistoryKeeper {
public:
    struct Keeping {
        bool keep = true;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        // What the history says ran: "set pcm_mclk[2]=4".
        std::string commandLine;
    };

    HistoryKeeper(const Keeping& keeping, DacSession& session);

    // A history that cannot be kept (a Kind::File error) in words: "the
    // DAC's settings cannot be kept in its history, so the DAC was left as
    // it was: <cause>", then `remedy`, how a person does without the
    // history: " (--no-history does without the history)".
    static std::string notKept(const Error& error, const std::string& remedy = {});

    Error makeFolder() const;
    Error keep(const DacSession::Block& held) const;
    // All three: makes the folder, reads the whole block into `held`, keeps it.
    Error readAndKeep(DacSession::Block& held) const;

private:
    const Keeping keeping;
    DacSession& session;
};
