// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/dacsession.h"

#include <functional>
#include <string>
#include <vector>

class FieldAssignment;
class QString;
struct SettingsBlock;

// The sonvalectl command line: the DAC from a terminal, one command per
// job, through the program's own command layer, mirror and preset files.
// Standard output carries only a command's result; every failure ends with
// one line on standard error naming its cause.
class ControlTool {
public:
    enum ExitStatus {
        Done = 0,
        Failed = 1,     // the device or a file failed
        BadUsage = 2,   // bad command line; nothing sent, nothing written
        Different = 1,  // diff: the DAC and the file differ
        DiffFailed = 3, // diff: the device or the file failed
    };

    // `arguments` without the program name, file names in UTF-8.
    int run(const std::vector<std::string>& arguments);

private:
    using Arguments = std::vector<std::string>;
    using Block = DacSession::Block;

    int status(const Arguments& arguments);
    int show(const Arguments& arguments);
    int get(const Arguments& arguments);
    int set(const Arguments& arguments);
    int load(const Arguments& arguments);
    int save(const Arguments& arguments);
    int factory(const Arguments& arguments);
    int diff(const Arguments& arguments);
    int history(const Arguments& arguments);
    int undo(const Arguments& arguments);

    // Opens the DAC and runs `work` on it with its diagnostics redirected.
    int withDac(const std::function<bool(DacSession&)>& work);
    bool keep(DacSession& session, const Block* held);
    bool keepWhatItHolds(DacSession& session, Block& held);
    bool import(DacSession& session, Block wanted, bool itsOwn);
    bool readAndKeep(DacSession& session);
    bool verify(DacSession& session, const Block& sent);
    void printBlock(bool json) const;
    bool parseDevice(const std::string& text);
    bool parseOptions(const Arguments& arguments, const std::vector<std::string>& known, std::vector<bool>& given,
                      Arguments& operands);

    static int refuse(const std::string& message);
    static int fail(const std::string& cause);

    uint16_t vendorId = 0x2FC6;
    uint16_t productId = 0x6013;
    bool verbose = false;
    bool keepHistory = true;
    std::string commandLine;          // the command as the history keeps it
    std::string failure;              // the cause of a failure found after the exchanges

    // What a command read, for printing once the device is closed.
    Block block{};
    DacSession::Identity identity;
    std::string interfaceProblem;
    double volumeDb = 0;
    std::string volumeDbText;
};
