// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "cli/toolconsole.h"

#include <string>
#include <vector>

// The sonvalectl command line: the DAC from a terminal, one command per
// job, through the program's own command layer, mirror and preset files.
// Standard output carries only a command's result; every failure ends with
// one line on standard error naming its cause. The commands themselves are
// in commands.h.
class ControlTool : public ToolConsole {
public:
    ControlTool();

    // `arguments` without the program name, file names in UTF-8.
    int run(const std::vector<std::string>& arguments);

    // The --help text.
    static std::string usage();
};
