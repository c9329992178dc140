// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/measurementsetup.h"

std::string MeasurementSetup::channelName(std::size_t channel, std::size_t channels)
{
    if (channels == 1)
        return "mono";
    if (channel < 2)
        return channel == 0 ? "left" : "right";
    return "channel " + std::to_string(channel + 1);
}
