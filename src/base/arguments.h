// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

// The arguments after the program name, in UTF-8. On Windows `argv` is in
// the ANSI code page, which cannot name most files; there the arguments are
// taken from the UTF-16 command line instead, so that any name can be given.
std::vector<std::string> utf8Arguments(int argc, char* argv[]);
