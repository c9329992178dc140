// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "cli/toolconsole.h"

#include <cstdio>

ToolConsole::ToolConsole(const char* program, const char* usageHint) : name(program), hint(usageHint)
{
}

const char* ToolConsole::program() const
{
    return name;
}

int ToolConsole::refuse(const std::string& message) const
{
    std::fprintf(stderr, "%s: %s%s\n", name, message.c_str(), hint);
    return BadUsage;
}

int ToolConsole::refuseField(const Error& error) const
{
    if (error.kind == Error::Kind::NotFound)
        return refuse(error.cause + " (" + name + " --help lists the fields)");
    return refuse(error.cause);
}

int ToolConsole::fail(const std::string& cause) const
{
    std::fprintf(stderr, "%s: %s\n", name, cause.c_str());
    return Failed;
}
