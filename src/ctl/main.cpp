// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl: the DAC from a terminal.

#include "base/arguments.h"
#include "ctl/controltool.h"

int main(int argc, char* argv[])
{
    return ControlTool().run(utf8Arguments(argc, argv));
}
