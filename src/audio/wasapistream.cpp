// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/wasapistream.h"

#include <pa_win_wasapi.h>

namespace {

// Shared mode runs at the engine's mix format. PortAudio 19.6 gives a
// WASAPI device's default rate from the format the engine runs the device
// at (PKEY_AudioEngine_DeviceFormat), which is the mix format's rate; its
// PaWasapi_GetDeviceDefaultFormat, which would say the same, is not
// exported by the MinGW build of the DLL.
double mixRate(PaDeviceIndex device)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info ? info->defaultSampleRate : 0;
}

QString sharedMode(PaDeviceIndex device, bool input, double sampleRate)
{
    const double mix = mixRate(device);
    const QString mode = QStringLiteral("WASAPI shared");
    if (mix <= 0 || mix == sampleRate)
        return mode;
    const QString asked = QStringLiteral("%1 Hz").arg(sampleRate);
    const QString engine = QStringLiteral("the mix format's %1 Hz").arg(mix);
    return QStringLiteral("%1, converted from %2 to %3")
        .arg(mode, input ? engine : asked, input ? asked : engine);
}

} // namespace

PaError WasapiStream::open(PaStreamParameters parameters, bool input, double sampleRate,
                           PaStreamCallback* callback, void* data, PaStream** stream, QString& mode)
{
    PaWasapiStreamInfo wasapi{};
    wasapi.size = sizeof wasapi;
    wasapi.hostApiType = paWASAPI;
    wasapi.version = 1;
    wasapi.flags = paWinWasapiExclusive;
    parameters.hostApiSpecificStreamInfo = &wasapi;
    PaStreamParameters* in = input ? &parameters : nullptr;
    PaStreamParameters* out = input ? nullptr : &parameters;
    // No clipping of the samples by PortAudio: the level is capped by the
    // caller, and a recording that clips must show it.
    PaError error = Pa_OpenStream(stream, in, out, sampleRate, paFramesPerBufferUnspecified,
                                  paClipOff, callback, data);
    if (error == paNoError) {
        mode = QStringLiteral("WASAPI exclusive");
        return error;
    }
    wasapi.flags = paWinWasapiAutoConvert;
    error = Pa_OpenStream(stream, in, out, sampleRate, paFramesPerBufferUnspecified, paClipOff,
                          callback, data);
    if (error != paNoError) {
        *stream = nullptr;
        mode = QStringLiteral("WASAPI shared");
        return error;
    }
    mode = sharedMode(parameters.device, input, sampleRate);
    return error;
}
