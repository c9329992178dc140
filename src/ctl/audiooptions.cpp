// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/audiooptions.h"

#include "audio/tonecapture.h"
#include "cli/optionparser.h"
#include "cli/toolconsole.h"

#include <QString>
#include <QStringList>

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

// "1,2" or "3": input numbers from 1, at most two, not the same twice.
bool parseChannels(const std::string& text, std::vector<int>& channels)
{
    const QStringList parts = QString::fromStdString(text).split(QLatin1Char(','));
    std::vector<int> parsed;
    for (const QString& part : parts) {
        bool ok = false;
        const int number = part.toInt(&ok);
        if (!ok || number < 1 || number > 256 || part.trimmed() != part)
            return false;
        parsed.push_back(number - 1);
    }
    if (parsed.size() > 2 || (parsed.size() == 2 && parsed[0] == parsed[1]))
        return false;
    channels = parsed;
    return true;
}

// "0,-15,-35": volumes in dB, each within the DAC's range, none twice.
bool parseVolumes(const std::string& text, std::vector<double>& volumes)
{
    std::vector<double> parsed;
    for (const QString& part : QString::fromStdString(text).split(QLatin1Char(','))) {
        double volume = 0;
        if (!parseNumber(part.toStdString(), volume) || volume > AudioOptions::highestVolumeDb
            || volume < AudioOptions::lowestVolumeDb
            || std::find(parsed.begin(), parsed.end(), volume) != parsed.end())
            return false;
        parsed.push_back(volume);
    }
    volumes = parsed;
    return !volumes.empty();
}

} // namespace

bool AudioOptions::parse(const ToolConsole& console, const char* command,
                         const std::vector<std::string>& arguments, int extras)
{
    std::vector<OptionParser::Option> options = {
        {"--json"},         {"--frequency", "HZ"}, {"--level", "DBFS"}, {"--rate", "HZ"},
        {"--seconds", "S"}, {"--output", "DEV"},   {"--input", "DEV"},  {"--input-channels", "L,R"},
    };
    if (extras & InputFile) {
        options.push_back({"--input-file", "FILE.wav"});
        options.push_back({"--save-capture", "FILE.wav"});
        options.push_back({"--csv", "FILE"});
    }
    if (extras & Volume)
        options.push_back({"--volume", "DB"});
    if (extras & Volumes)
        options.push_back({"--volumes", "LIST"});
    if (extras & Separate)
        options.push_back({"--separate"});
    OptionParser parser(options, OptionParser::Scope::Anywhere, "--");
    if (!parser.parse(arguments)) {
        console.refuse(parser.error());
        return false;
    }
    if (!parser.operands().empty()) {
        console.refuse(std::string(command) + " takes no arguments but its options, not '"
                       + parser.operands().front() + "'");
        return false;
    }
    bool rateGiven = false, secondsGiven = false;
    for (const auto& [option, value] : parser.given()) {
        if (!apply(console, option, value))
            return false;
        rateGiven = rateGiven || option == "--rate";
        secondsGiven = secondsGiven || option == "--seconds";
    }
    if (inputFile && separate) {
        console.refuse(
            "--separate records twice, at two input gains; --input-file records nothing");
        return false;
    }
    if (inputFile && saveCapture) {
        console.refuse("--save-capture keeps what a capture recorded; --input-file records nothing");
        return false;
    }
    if (inputFile && (rateGiven || secondsGiven || output || input || inputChannelsGiven)) {
        console.refuse(
            "--input-file analyses a recording as it is: --rate, --seconds, --output, --input and "
            "--input-channels do not go with it");
        return false;
    }
    if (!inputFile && frequencyHz >= 0.45 * rateHz) {
        console.refuse("--frequency " + QString::number(frequencyHz).toStdString()
                       + " lies too close to half the rate " + std::to_string(rateHz)
                       + " Hz: the tone must stay below 45 % of the rate");
        return false;
    }
    return true;
}

bool AudioOptions::apply(const ToolConsole& console, const std::string& option,
                         const std::string& value)
{
    double number = 0;
    const bool numeric = parseNumber(value, number);
    auto bad = [&](const std::string& what) {
        console.refuse(option + " takes " + what + ", not '" + value + "'");
        return false;
    };
    if (option == "--json") {
        json = true;
    } else if (option == "--separate") {
        separate = true;
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
        if (!numeric || number != std::floor(number) || number < ToneCapture::Settings::lowestRateHz
            || number > ToneCapture::Settings::highestRateHz)
            return bad("a sample rate in Hz from "
                       + std::to_string(int(ToneCapture::Settings::lowestRateHz)) + " to "
                       + std::to_string(int(ToneCapture::Settings::highestRateHz)));
        rateHz = int(number);
    } else if (option == "--seconds") {
        if (!numeric || number < 0.1 || number > 60)
            return bad("the seconds to capture, 0.1 to 60");
        seconds = number;
    } else if (option == "--output" || option == "--input") {
        if (value.empty())
            return bad("a device: its index, its name, a part of its name, or 'default'");
        (option == "--output" ? output : input) = value;
    } else if (option == "--input-file") {
        if (value.empty())
            return bad("a WAV file");
        inputFile = value;
    } else if (option == "--csv") {
        if (value.empty())
            return bad("a file to write the spectrum to");
        csv = value;
    } else if (option == "--save-capture") {
        if (value.empty())
            return bad("a WAV file to write");
        saveCapture = value;
    } else if (option == "--input-channels") {
        if (!parseChannels(value, inputChannels))
            return bad("one or two input numbers counted from 1, e.g. 1,2 or 3");
        inputChannelsGiven = true;
    } else if (option == "--volume") {
        if (!numeric || number > highestVolumeDb || number < lowestVolumeDb)
            return bad("the DAC's volume in dB, from -127.5 to 0");
        volumeDb = number;
    } else if (option == "--volumes") {
        if (!parseVolumes(value, volumesDb))
            return bad("a list of the DAC's volumes in dB, each from -127.5 to 0, e.g. 0,-15,-35");
    }
    return true;
}
