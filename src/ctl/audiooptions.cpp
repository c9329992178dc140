// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/audiooptions.h"

#include "cli/optionparser.h"
#include "cli/toolconsole.h"

#include <QString>

#include <algorithm>
#include <cmath>

namespace {

// A decimal number in the C locale's form, all of the word, finite.
bool parseNumber(const std::string& text, double& number)
{
    bool ok = false;
    number = QString::fromStdString(text).trimmed().toDouble(&ok);
    return ok && std::isfinite(number) && text.find_first_of(" \t") == std::string::npos;
}

} // namespace

bool AudioOptions::parse(const ToolConsole& console, const char* command, const std::vector<std::string>& arguments,
                         bool withFile)
{
    std::vector<OptionParser::Option> options = {
        {"--json"},           {"--frequency", "HZ"}, {"--level", "DBFS"},  {"--rate", "HZ"},
        {"--seconds", "S"},   {"--output", "DEV"},   {"--input", "DEV"},
    };
    if (withFile)
        options.push_back({"--input-file", "FILE.wav"});
    OptionParser parser(options, OptionParser::Scope::Anywhere, "--");
    if (!parser.parse(arguments)) {
        console.refuse(parser.error());
        return false;
    }
    if (!parser.operands().empty()) {
        console.refuse(std::string(command) + " takes no arguments but its options, not '" + parser.operands().front()
                       + "'");
        return false;
    }
    bool rateGiven = false, secondsGiven = false;
    for (const auto& [option, value] : parser.given()) {
        double number = 0;
        const bool numeric = parseNumber(value, number);
        auto bad = [&, option = option, value = value](const std::string& what) {
            console.refuse(option + " takes " + what + ", not '" + value + "'");
            return false;
        };
        if (option == "--json") {
            json = true;
        } else if (option == "--frequency") {
            if (!numeric || number < 10 || number > 96000)
                return bad("a frequency in Hz from 10 to 96000");
            frequencyHz = number;
            frequencyGiven = true;
        } else if (option == "--level") {
            if (!numeric || number < -120)
                return bad("a level in dBFS, -120 or more (0 dBFS is a full-scale sine)");
            requestedLevelDbfs = number;
            levelDbfs = std::min(number, highestLevelDbfs);
            levelCapped = number > highestLevelDbfs;
            levelGiven = true;
        } else if (option == "--rate") {
            if (!numeric || number != std::floor(number) || number < 8000 || number > 384000)
                return bad("a sample rate in Hz from 8000 to 384000");
            rateHz = int(number);
            rateGiven = true;
        } else if (option == "--seconds") {
            if (!numeric || number < 0.1 || number > 60)
                return bad("the seconds to capture, 0.1 to 60");
            seconds = number;
            secondsGiven = true;
        } else if (option == "--output" || option == "--input") {
            if (value.empty())
                return bad("a device: its index, its name, a part of its name, or 'default'");
            (option == "--output" ? output : input) = value;
        } else if (option == "--input-file") {
            if (value.empty())
                return bad("a WAV file");
            inputFile = value;
        }
    }
    if (inputFile && (rateGiven || secondsGiven || output || input)) {
        console.refuse("--input-file analyses a recording as it is: --rate, --seconds, --output and --input do not "
                       "go with it");
        return false;
    }
    if (!inputFile && frequencyHz >= 0.45 * rateHz) {
        console.refuse("--frequency " + QString::number(frequencyHz).toStdString() + " lies too close to half the rate "
                       + std::to_string(rateHz) + " Hz: the tone must stay below 45 % of the rate");
        return false;
    }
    return true;
}
