// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvale-preset: makes, shows, checks and edits Sonvale preset files.

#include "base/arguments.h"
#include "presettool/presettool.h"

int main(int argc, char* argv[])
{
    return PresetTool().run(utf8Arguments(argc, argv));
}
