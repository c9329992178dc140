// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <utility>
#include <vector>

// The command lines of sonvalectl and sonvale-preset, read from a table of
// the options each part of them knows: the options before a command, and
// those of a command among its operands. An option may take a value, as
// "--device 2fc6:6013" or "--device=2fc6:6013". (Qt's QCommandLineParser
// knows no commands, and words such as "-1" or "-h" it would read its own
// way.)
class OptionParser {
public:
    struct Option {
        std::string name;           // "--json", "-h"
        std::string value = {};     // what its value is, e.g. "VID:PID"; empty: it takes none
        bool endsParsing = false;   // --help, --version: what follows is not read
    };

    enum class Scope {
        Leading,    // options up to the first other word: the options before a command
        Anywhere,   // options among the operands: a command's own
    };

    enum class Unknown {
        Refused,    // a word that starts like an option but is none is refused
        Operand,    // ... is taken as an operand
    };

    OptionParser(std::vector<Option> options, Scope scope, std::string optionStart = "--",
                 Unknown unknown = Unknown::Refused);

    // False for a bad command line, with the message in error().
    bool parse(const std::vector<std::string>& words);
    const std::string& error() const;

    // The options given, in the order given, each with its value.
    const std::vector<std::pair<std::string, std::string>>& given() const;
    bool isSet(const std::string& name) const;
    // The operands; with Scope::Leading the first word that is no option
    // and every word after it.
    const std::vector<std::string>& operands() const;

private:
    const Option* find(const std::string& name) const;

    std::vector<Option> options;
    Scope scope;
    std::string optionStart;
    Unknown unknown;

    std::string error_;
    std::vector<std::pair<std::string, std::string>> given_;
    std::vector<std::string> operands_;
};
