// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/commandcontext.h"

#include "cli/optionparser.h"
#include "base/diagnostics.h"

CommandContext::CommandContext(const ToolConsole& console) : ToolConsole(console)
{
}

std::string CommandContext::device() const
{
    return DacSession::identifiers(vendorId, productId);
}

// Standard output carries only the command's result.
int CommandContext::withDac(const Work& work) const
{
    std::FILE* const diagnostics = Diagnostics::redirect(verbose ? stderr : nullptr);
    std::string cause;
    {
        DacSession session(vendorId, productId);
        cause = session.open() ? work(session) : session.error();
    }   // the DAC is closed here
    Diagnostics::redirect(diagnostics);
    return cause.empty() ? Done : fail(cause);
}

bool CommandContext::splitOptions(const Arguments& arguments, const std::vector<std::string>& known,
                                  std::vector<bool>& given, Arguments& operands) const
{
    std::vector<OptionParser::Option> options;
    for (const std::string& name : known)
        options.push_back({name});
    OptionParser parser(options, OptionParser::Scope::Anywhere);
    if (!parser.parse(arguments)) {
        refuse(parser.error());
        return false;
    }
    given.clear();
    for (const std::string& name : known)
        given.push_back(parser.isSet(name));
    operands = parser.operands();
    return true;
}
