// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audiosim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

const std::string kPrefix = "SONVALE_SIM_ANALOG: ";
constexpr double kAny = std::numeric_limits<double>::infinity();

// The keys that take a number, and the range they take it in.
struct NumberKey {
    const char* name;
    double AudioSim::Analog::*field;
    double lowest;
    double highest;
};

const NumberKey kNumberKeys[] = {
    {"h2l", &AudioSim::Analog::h2l, -kAny, kAny},
    {"h3l", &AudioSim::Analog::h3l, -kAny, kAny},
    {"h2r", &AudioSim::Analog::h2r, -kAny, kAny},
    {"h3r", &AudioSim::Analog::h3r, -kAny, kAny},
    {"k2", &AudioSim::Analog::k2, -kAny, kAny},
    {"k3", &AudioSim::Analog::k3, -kAny, kAny},
    {"noise", &AudioSim::Analog::noiseDbfs, -kAny, 0},
    {"ppm", &AudioSim::Analog::ppm, -10000, 10000},
    {"adc2", &AudioSim::Analog::adc2, -kAny, kAny},
    {"adc3", &AudioSim::Analog::adc3, -kAny, kAny},
    {"iface2", &AudioSim::Analog::iface2, -kAny, kAny},
    {"iface3", &AudioSim::Analog::iface3, -kAny, kAny},
    {"dropout", &AudioSim::Analog::dropoutSeconds, 0, kAny},
    {"xrun", &AudioSim::Analog::xrunSeconds, 0, kAny},
    {"gain", &AudioSim::Analog::gainDb, -100, 100},
    {"hum", &AudioSim::Analog::humDbfs, -kAny, 0},
    {"wander", &AudioSim::Analog::wanderPpm, 0, 10000},
    {"rot2", &AudioSim::Analog::rot2Deg, -360, 360},
    {"rot3", &AudioSim::Analog::rot3Deg, -360, 360},
};

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

// A whole number from `lowest` to `highest`, in decimal digits alone.
bool parseInteger(const std::string& text, int lowest, int highest, int& value)
{
    if (text.empty() || text.size() > 9
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int v = std::stoi(text);
    if (v < lowest || v > highest)
        return false;
    value = v;
    return true;
}

enum class Outcome { Set, UnknownKey, BadValue };

// The inputs and where the DAC's outputs arrive among them.
Outcome setInputs(const std::string& key, const std::string& value, AudioSim::Analog& analog)
{
    if (key == "inputs")
        return parseInteger(value, 2, AudioSim::maxInputs, analog.inputs) ? Outcome::Set
                                                                          : Outcome::BadValue;
    const size_t comma = value.find(',');
    int left = 0, right = 0;
    if (comma == std::string::npos
        || !parseInteger(value.substr(0, comma), 1, AudioSim::maxInputs, left)
        || !parseInteger(value.substr(comma + 1), 1, AudioSim::maxInputs, right) || left == right)
        return Outcome::BadValue;
    analog.route[0] = left;
    analog.route[1] = right;
    return Outcome::Set;
}

// The keys that take a word.
Outcome setWord(const std::string& key, const std::string& value, AudioSim::Analog& analog)
{
    using Map = AudioSim::Analog::Map;
    if (key == "map") {
        if (value == "straight")
            analog.map = Map::Straight;
        else if (value == "swapped")
            analog.map = Map::Swapped;
        else if (value == "volume")
            analog.map = Map::Volume;
        else
            return Outcome::BadValue;
    } else if (key == "input") {
        if (value != "connected" && value != "silent")
            return Outcome::BadValue;
        analog.silentInput = value == "silent";
    } else if (key == "busy") {
        if (value != "output" && value != "input")
            return Outcome::BadValue;
        (value == "output" ? analog.busyOutput : analog.busyInput) = true;
    } else if (key == "pace") {
        if (value != "fast" && value != "realtime")
            return Outcome::BadValue;
        analog.realtime = value == "realtime";
    } else {
        return Outcome::UnknownKey;
    }
    return Outcome::Set;
}

Outcome set(const std::string& key, const std::string& value, AudioSim::Analog& analog)
{
    for (const NumberKey& number : kNumberKeys) {
        if (key != number.name)
            continue;
        double v = 0;
        if (!parseNumber(value, v) || v < number.lowest || v > number.highest)
            return Outcome::BadValue;
        analog.*number.field = v;
        return Outcome::Set;
    }
    if (key == "inputs" || key == "route")
        return setInputs(key, value, analog);
    if (key == "adcgain") {
        std::vector<double> gains;
        size_t from = 0;
        for (;;) {
            const size_t comma = std::min(value.find(',', from), value.size());
            double v = 0;
            if (!parseNumber(value.substr(from, comma - from), v) || v < -100 || v > 100)
                return Outcome::BadValue;
            gains.push_back(v);
            if (comma == value.size())
                break;
            from = comma + 1;
        }
        analog.adcGainDb = gains;
        return Outcome::Set;
    }
    return setWord(key, value, analog);
}

} // namespace

bool AudioSim::parse(const std::string& text, Analog& analog, std::string& error)
{
    std::string route; // as given
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            error = kPrefix + "'" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        if (key == "route" && start <= text.size()) {
            // L,R: the comma is the value's own.
            comma = std::min(text.find(',', start), text.size());
            value += "," + text.substr(start, comma - start);
            start = comma + 1;
        }
        // G1,G2,...: each item without a key is the list's.
        while (key == "adcgain" && start <= text.size()) {
            comma = std::min(text.find(',', start), text.size());
            const std::string next = text.substr(start, comma - start);
            if (next.find('=') != std::string::npos)
                break;
            value += "," + next;
            start = comma + 1;
        }
        if (key == "route")
            route = value;
        switch (set(key, value, analog)) {
        case Outcome::Set: break;
        case Outcome::UnknownKey: error = kPrefix + "unknown key '" + key + "'"; return false;
        case Outcome::BadValue:
            error = kPrefix + "bad value '" + value + "' for " + key;
            return false;
        }
    }
    // Only a route given can lie past the inputs: the default's are 1 and 2.
    if (std::max(analog.route[0], analog.route[1]) > analog.inputs) {
        error = kPrefix + "bad value '" + route + "' for route";
        return false;
    }
    return true;
}

float AudioSim::volumeDb(unsigned char attenuation, unsigned char max, unsigned char min)
{
    // The window's arithmetic, in float as it does it: the attenuation byte
    // places the level between the block's max and min, in half decibels.
    const float f = float(255 - attenuation) / 255.0f;
    const float level = f * float(int(max) - int(min)) + float(min);
    const float x = level * -0.5f;
    if (double(x) > -0.4)
        return 0;
    return float(int(x * 2.0f)) / 2.0f;
}

const char* AudioSim::hostApiName()
{
    return "Sonvale simulation";
}

const char* AudioSim::inputName()
{
    return "Sonvale loopback interface";
}
