// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/audiosystem.h"

#include <portaudio.h>

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

QString AudioSystem::error() const
{
    if (error_ == paNoError)
        return {};
    return QString::fromUtf8(Pa_GetErrorText(error_));
}

std::vector<AudioDevice> AudioSystem::devices() const
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
        if (const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi))
            device.hostApi = QString::fromUtf8(api->name ? api->name : "");
        device.maxInputChannels = info->maxInputChannels;
        device.maxOutputChannels = info->maxOutputChannels;
        device.defaultSampleRate = info->defaultSampleRate;
        list.push_back(device);
    }
    return list;
}

int AudioSystem::defaultOutput() const
{
    if (!isReady())
        return -1;
    const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
    return device == paNoDevice ? -1 : device;
}

int AudioSystem::defaultInput() const
{
    if (!isReady())
        return -1;
    const PaDeviceIndex device = Pa_GetDefaultInputDevice();
    return device == paNoDevice ? -1 : device;
}
