// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/audiosystem.h"

#include "audio/hostapichoice.h"

#include <portaudio.h>

namespace {

AudioDevice::Api apiOf(PaHostApiTypeId type)
{
    switch (type) {
    case paWASAPI: return AudioDevice::Api::Wasapi;
    case paWDMKS: return AudioDevice::Api::WdmKs;
    case paDirectSound: return AudioDevice::Api::DirectSound;
    case paMME: return AudioDevice::Api::Mme;
    default: return AudioDevice::Api::Other;
    }
}

} // namespace

AudioSystem::AudioSystem()
    : error_(Pa_Initialize())
{
}

AudioSystem::~AudioSystem()
{
    if (error_ == paNoError)
        Pa_Terminate();
}

bool AudioSystem::isReady() const
{
    return error_ == paNoError;
}

Error AudioSystem::failure() const
{
    if (error_ == paNoError)
        return Error();
    return Error(Error::Kind::Audio,
                 std::string("the audio system cannot start: ") + Pa_GetErrorText(error_));
}

std::vector<AudioDevice> AudioSystem::devices(HostApis which) const
{
    std::vector<AudioDevice> list;
    if (!isReady())
        return list;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info)
            continue;
        AudioDevice device;
        device.index = i;
        // PortAudio hands out names as UTF-8 on every host API (the Windows
        // ones convert from UTF-16).
        device.name = QString::fromUtf8(info->name ? info->name : "");
        if (const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi)) {
            device.hostApi = QString::fromUtf8(api->name ? api->name : "");
            device.api = apiOf(api->type);
            device.apiDefaultOutput = api->defaultOutputDevice == i;
            device.apiDefaultInput = api->defaultInputDevice == i;
        }
        device.maxInputChannels = info->maxInputChannels;
        device.maxOutputChannels = info->maxOutputChannels;
        device.defaultSampleRate = info->defaultSampleRate;
        list.push_back(device);
    }
    return which == HostApis::All ? list : HostApiChoice::offered(list);
}

int AudioSystem::defaultOutput() const
{
    if (!isReady())
        return -1;
    const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
    return HostApiChoice::defaultOutput(devices(HostApis::All), device == paNoDevice ? -1 : device);
}

int AudioSystem::defaultInput() const
{
    if (!isReady())
        return -1;
    const PaDeviceIndex device = Pa_GetDefaultInputDevice();
    return HostApiChoice::defaultInput(devices(HostApis::All), device == paNoDevice ? -1 : device);
}

QString AudioSystem::depthWarning(const AudioDevice& device)
{
    return HostApiChoice::depthWarning(device);
}
