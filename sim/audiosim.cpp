// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audiosim.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

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

} // namespace

bool AudioSim::parse(const std::string& text, Analog& analog, std::string& error)
{
    const std::string prefix = "SONVALE_SIM_ANALOG: ";
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
            error = prefix + "'" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        const std::pair<const char*, double*> numbers[] = {
            {"h2l", &analog.h2l}, {"h3l", &analog.h3l}, {"h2r", &analog.h2r},
            {"h3r", &analog.h3r}, {"k2", &analog.k2},   {"k3", &analog.k3},
            {"noise", &analog.noiseDbfs}, {"ppm", &analog.ppm},
            {"adc2", &analog.adc2}, {"adc3", &analog.adc3},
            {"dropout", &analog.dropoutSeconds},
        };
        bool done = false;
        for (const auto& [name, field] : numbers) {
            if (key != name)
                continue;
            double v = 0;
            bool good = parseNumber(value, v);
            if (key == "ppm")
                good = good && std::fabs(v) <= 10000;
            if (key == "dropout")
                good = good && v >= 0;
            if (key == "noise")
                good = good && v <= 0;
            if (!good) {
                error = prefix + "bad value '" + value + "' for " + key;
                return false;
            }
            *field = v;
            done = true;
        }
        if (done)
            continue;
        if (key == "map" && (value == "straight" || value == "swapped")) {
            analog.swapped = value == "swapped";
        } else if (key == "input" && (value == "connected" || value == "silent")) {
            analog.silentInput = value == "silent";
        } else if (key == "map" || key == "input") {
            error = prefix + "bad value '" + value + "' for " + key;
            return false;
        } else {
            error = prefix + "unknown key '" + key + "'";
            return false;
        }
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
