// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"
#include "control/history.h"

#include <string>
#include <vector>

// What sonvalectl's commands print on standard output, as text or as one
// JSON document.
class CommandOutput {
public:
    // A block as show and factory print it, with what the window shows of it.
    struct Shown {
        DacSession::Block block{};
        DacSession::Identity identity;
        double volumeDb = 0;
        std::string volumeDbText;   // "-12.5dB"
    };

    // What `session` has just read as `block`, its mirror holding it too.
    static Shown shown(const DacSession& session, const DacSession::Block& block);

    // Every field as 'sonvale-preset show' prints them, then the volume in
    // dB and the filter shapes; or the JSON document of all that.
    static void printBlock(const std::string& device, const Shown& shown, bool json);

    // The DAC's identifiers and strings; `note` why its interface could not
    // be claimed, if it could not.
    static void printStatus(const std::string& device, const DacSession::Identity& identity,
                            const std::string& note);

    // The history's entries, newest first, numbered from 1.
    static void printHistory(const std::string& device, const std::string& serial, const History& history,
                             bool json);

    // The values of a field on one line: "25 25 0 255"
    static std::string joined(const std::vector<long>& values, const char* separator);
};
