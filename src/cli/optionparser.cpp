// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "cli/optionparser.h"

#include <algorithm>

OptionParser::OptionParser(std::vector<Option> options, Scope scope, std::string optionStart, Unknown unknown)
    : options(std::move(options)), scope(scope), optionStart(std::move(optionStart)), unknown(unknown)
{
}

const OptionParser::Option* OptionParser::find(const std::string& name) const
{
    const auto option = std::find_if(options.begin(), options.end(), [&](const Option& o) { return o.name == name; });
    return option == options.end() ? nullptr : &*option;
}

bool OptionParser::parse(const std::vector<std::string>& words)
{
    error_.clear();
    given_.clear();
    operands_.clear();
    for (size_t next = 0; next < words.size(); ++next) {
        const std::string& word = words[next];
        const Option* option = find(word);
        std::string value;
        if (!option) {
            // "--device=2fc6:6013"
            const size_t equals = word.find('=');
            const Option* withValue = equals == std::string::npos ? nullptr : find(word.substr(0, equals));
            if (withValue && !withValue->value.empty()) {
                option = withValue;
                value = word.substr(equals + 1);
            }
        } else if (!option->value.empty()) {
            if (++next == words.size()) {
                error_ = word + " needs " + option->value;
                return false;
            }
            value = words[next];
        }

        if (option) {
            given_.emplace_back(option->name, value);
            if (option->endsParsing)
                return true;
            continue;
        }
        if (word.rfind(optionStart, 0) == 0 && unknown == Unknown::Refused) {
            error_ = "unknown option '" + word + "'";
            return false;
        }
        if (scope == Scope::Leading) {
            operands_.assign(words.begin() + long(next), words.end());
            return true;
        }
        operands_.push_back(word);
    }
    return true;
}

const std::string& OptionParser::error() const
{
    return error_;
}

const std::vector<std::pair<std::string, std::string>>& OptionParser::given() const
{
    return given_;
}

bool OptionParser::isSet(const std::string& name) const
{
    return std::any_of(given_.begin(), given_.end(), [&](const auto& option) { return option.first == name; });
}

const std::vector<std::string>& OptionParser::operands() const
{
    return operands_;
}
