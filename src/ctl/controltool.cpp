// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/controltool.h"

#include "base/version.h"
#include "cli/optionparser.h"
#include "ctl/commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// The command as the history keeps it: its words, those with a space or a
// quote in double quotes.
std::string commandText(const std::string& command, const std::vector<std::string>& arguments)
{
    std::string text = command;
    for (const std::string& argument : arguments) {
        if (argument.find_first_of(" \t\"'") == std::string::npos && !argument.empty()) {
            text += " " + argument;
            continue;
        }
        text += " \"";
        for (char c : argument)
            text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        text += "\"";
    }
    return text;
}

// "2fc6:6013", "0x2FC6:0X6013": two identifiers of up to four hexadecimal digits.
bool parseDevice(const std::string& text, uint16_t& vendorId, uint16_t& productId)
{
    const auto hex = [](const std::string& part, uint16_t& id) {
        std::string digits = part;
        if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
            digits = digits.substr(2);
        if (digits.empty() || digits.size() > 4)
            return false;
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
        }
        id = uint16_t(std::stoul(digits, nullptr, 16));
        return true;
    };
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    return hex(text.substr(0, colon), vendorId) && hex(text.substr(colon + 1), productId);
}

} // namespace

ControlTool::ControlTool() : ToolConsole("sonvalectl", " (sonvalectl --help shows the usage)")
{
}

int ControlTool::run(const std::vector<std::string>& arguments)
{
    // The options before the command, in the order given: --help and
    // --version end the command line where they stand.
    OptionParser options({{"--help", {}, true},
                          {"-h", {}, true},
                          {"--version", {}, true},
                          {"--verbose"},
                          {"--no-history"},
                          {"--device", "VID:PID, e.g. --device " SONVALE_USB_IDS}},
                         OptionParser::Scope::Leading, "-");
    if (!options.parse(arguments))
        return refuse(options.error());

    CommandContext context(*this);
    for (const auto& [option, value] : options.given()) {
        if (option == "--help" || option == "-h") {
            std::fputs(usage().c_str(), stdout);
            return Done;
        }
        if (option == "--version") {
            std::printf("sonvalectl %s\n" SONVALE_LICENCE_LINES, SONVALE_VERSION);
            return Done;
        }
        if (option == "--verbose") {
            context.verbose = true;
        } else if (option == "--no-history") {
            context.keepHistory = false;
        } else if (!parseDevice(value, context.vendorId, context.productId)) {
            return refuse("--device takes two hexadecimal identifiers VID:PID (e.g. " SONVALE_USB_IDS "), not '"
                          + value + "'");
        }
    }
    if (options.operands().empty())
        return refuse("missing command");

    const std::string& command = options.operands().front();
    const Commands::Arguments rest(options.operands().begin() + 1, options.operands().end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end())
        return run({"--help"});
    context.commandLine = commandText(command, rest);
    for (const Commands::Command& c : Commands::table()) {
        if (command == c.name)
            return c.run(context, rest);
    }
    return refuse("unknown command '" + command + "'");
}
