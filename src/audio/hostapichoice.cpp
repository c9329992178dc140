// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/hostapichoice.h"

#include <algorithm>

namespace {

bool hasWasapi(const std::vector<AudioDevice>& devices)
{
    return std::any_of(devices.begin(), devices.end(), [](const AudioDevice& device) {
        return device.api == AudioDevice::Api::Wasapi;
    });
}

int wasapiDefault(const std::vector<AudioDevice>& devices, bool AudioDevice::*isDefault)
{
    for (const AudioDevice& device : devices)
        if (device.api == AudioDevice::Api::Wasapi && device.*isDefault)
            return device.index;
    return -1;
}

} // namespace

std::vector<AudioDevice> HostApiChoice::offered(const std::vector<AudioDevice>& all)
{
    if (!hasWasapi(all))
        return all;
    std::vector<AudioDevice> wasapi;
    std::copy_if(all.begin(), all.end(), std::back_inserter(wasapi),
                 [](const AudioDevice& device) { return device.api == AudioDevice::Api::Wasapi; });
    return wasapi;
}

int HostApiChoice::defaultOutput(const std::vector<AudioDevice>& all, int portAudioDefault)
{
    return hasWasapi(all) ? wasapiDefault(all, &AudioDevice::apiDefaultOutput) : portAudioDefault;
}

int HostApiChoice::defaultInput(const std::vector<AudioDevice>& all, int portAudioDefault)
{
    return hasWasapi(all) ? wasapiDefault(all, &AudioDevice::apiDefaultInput) : portAudioDefault;
}

QString HostApiChoice::depthWarning(const AudioDevice& device)
{
    if (device.api != AudioDevice::Api::Mme && device.api != AudioDevice::Api::DirectSound)
        return {};
    return QStringLiteral("%1 carries fewer than 24 bits, through Windows' mixer: a measurement "
                          "through \"%2\" reads that floor (about -99 dB THD), not the DAC's "
                          "distortion; its Windows WASAPI device carries the DAC's full depth")
        .arg(device.hostApi, device.name);
}
