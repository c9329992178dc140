// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/audiooptions.h"
#include "ctl/commandcontext.h"

#include <optional>
#include <string>

class MeasurementRig;
#include <vector>

// sonvalectl's commands. Each takes the words after its name and returns
// the exit status; a new command is a function here, one row in the table
// (commandtable.cpp) with its usage lines, and its test.
namespace Commands {

using Arguments = CommandContext::Arguments;

// The ones that only read (readcommands.cpp).
int status(const CommandContext& context, const Arguments& arguments);
int show(const CommandContext& context, const Arguments& arguments);
int get(const CommandContext& context, const Arguments& arguments);
int save(const CommandContext& context, const Arguments& arguments);
int diff(const CommandContext& context, const Arguments& arguments);
int history(const CommandContext& context, const Arguments& arguments);

// The ones that change the DAC, keeping the history (changecommands.cpp).
int set(const CommandContext& context, const Arguments& arguments);
int load(const CommandContext& context, const Arguments& arguments);
int factory(const CommandContext& context, const Arguments& arguments);
int undo(const CommandContext& context, const Arguments& arguments);

// The ones that play and record (audiocommands.cpp, tunethdcommand.cpp,
// thdmapcommand.cpp, sweepcommand.cpp).
int audioDevices(const CommandContext& context, const Arguments& arguments);
int measure(const CommandContext& context, const Arguments& arguments);
int tuneThd(const CommandContext& context, const Arguments& arguments);
int thdMap(const CommandContext& context, const Arguments& arguments);
int sweep(const CommandContext& context, const Arguments& arguments);
// The interface's own distortion, kept as its profile (interfacecommand.cpp).
int checkInterface(const CommandContext& context, const Arguments& arguments);
// The interface's floor and its warnings into `setup`, when a profile of
// the input `rig` recorded on applies to `analysis` (`inputs` 0-based); a
// profile file that is none is named on standard error. The larger of the
// interface's H2 and H3 there, when a profile applies.
std::optional<double> applyInterfaceProfile(const CommandContext& context, const MeasurementRig& rig,
                           const std::vector<int>& inputs, const CaptureAnalysis& analysis,
                           MeasurementSetup& setup);
// The note on standard error when --level asked for more than 0 dBFS.
void noteLevelCap(const CommandContext& context, const AudioOptions& options);
// Puts back what the rig set up for the measurements (a sound server's
// volume and clock), saying so on standard error.
void putBack(MeasurementRig& rig);

struct Command {
    const char* name;
    const char* usage;   // its lines in the help's list of commands
    int (*run)(const CommandContext& context, const Arguments& arguments);
};

// In the order the help lists them.
const std::vector<Command>& table();

} // namespace Commands
