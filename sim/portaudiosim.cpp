// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated analog path behind the PortAudio C API: every Pa_* function
// the program calls, with PortAudio's own signatures, over the stand-in's
// host (simhost.h) and its model of the DAC's analog stages and of an audio
// interface recording them (audiosim.h).

#include "simhost.h"

#include <portaudio.h>

#include <chrono>
#include <thread>

using Stream = SimHost::Stream;

int Pa_GetVersion(void)
{
    return paMakeVersionNumber(19, 6, 0);
}

const char* Pa_GetVersionText(void)
{
    return "Sonvale simulated PortAudio";
}

const char* Pa_GetErrorText(PaError errorCode)
{
    switch (errorCode) {
    case paNoError: return "Success";
    case SimHost::analogError:
        if (!SimHost::instance().analogRefusal().empty())
            return SimHost::instance().analogRefusal().c_str();
        return "Internal PortAudio error";
    case paNotInitialized: return "PortAudio not initialized";
    case paInvalidChannelCount: return "Invalid number of channels";
    case paInvalidSampleRate: return "Invalid sample rate";
    case paInvalidDevice: return "Invalid device";
    case paSampleFormatNotSupported: return "Sample format not supported";
    case paBadStreamPtr: return "Invalid stream pointer";
    case paStreamIsStopped: return "Stream is stopped";
    case paStreamIsNotStopped: return "Stream is not stopped";
    case paDeviceUnavailable: return "Device unavailable";
    case paBadIODeviceCombination: return "Illegal combination of I/O devices";
    default: return "Invalid error code";
    }
}

PaError Pa_Initialize(void)
{
    return SimHost::instance().initialize();
}

PaError Pa_Terminate(void)
{
    return SimHost::instance().terminate();
}

PaHostApiIndex Pa_GetHostApiCount(void)
{
    return SimHost::instance().initialized() ? 1 : paNotInitialized;
}

PaHostApiIndex Pa_GetDefaultHostApi(void)
{
    return SimHost::instance().initialized() ? 0 : paNotInitialized;
}

const PaHostApiInfo* Pa_GetHostApiInfo(PaHostApiIndex hostApi)
{
    return SimHost::instance().hostApi(hostApi);
}

PaHostApiIndex Pa_HostApiTypeIdToHostApiIndex(PaHostApiTypeId type)
{
    return type == paInDevelopment ? 0 : paHostApiNotFound;
}

PaDeviceIndex Pa_HostApiDeviceIndexToDeviceIndex(PaHostApiIndex hostApi, int hostApiDeviceIndex)
{
    if (hostApi != 0)
        return paInvalidHostApi;
    return hostApiDeviceIndex >= 0 && hostApiDeviceIndex < SimHost::deviceCount ? hostApiDeviceIndex
                                                                                : paInvalidDevice;
}

const PaHostErrorInfo* Pa_GetLastHostErrorInfo(void)
{
    static const PaHostErrorInfo none{paInDevelopment, 0, ""};
    return &none;
}

PaDeviceIndex Pa_GetDeviceCount(void)
{
    return SimHost::instance().initialized() ? SimHost::deviceCount : paNotInitialized;
}

PaDeviceIndex Pa_GetDefaultInputDevice(void)
{
    return SimHost::instance().initialized() ? SimHost::inputDevice : paNoDevice;
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void)
{
    return SimHost::instance().initialized() ? SimHost::outputDevice : paNoDevice;
}

const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex device)
{
    return SimHost::instance().device(device);
}

PaError Pa_IsFormatSupported(const PaStreamParameters* inputParameters,
                             const PaStreamParameters* outputParameters, double sampleRate)
{
    const SimHost& host = SimHost::instance();
    if (!host.initialized())
        return paNotInitialized;
    if (const PaError e = host.checkParameters(inputParameters, true, sampleRate))
        return e;
    if (const PaError e = host.checkParameters(outputParameters, false, sampleRate))
        return e;
    return paFormatIsSupported;
}

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* inputParameters,
                      const PaStreamParameters* outputParameters, double sampleRate,
                      unsigned long framesPerBuffer, PaStreamFlags streamFlags,
                      PaStreamCallback* streamCallback, void* userData)
{
    (void)framesPerBuffer;
    (void)streamFlags;
    return SimHost::instance().open(stream, inputParameters, outputParameters, sampleRate,
                                    streamCallback, userData);
}

PaError Pa_OpenDefaultStream(PaStream** stream, int numInputChannels, int numOutputChannels,
                             PaSampleFormat sampleFormat, double sampleRate,
                             unsigned long framesPerBuffer, PaStreamCallback* streamCallback,
                             void* userData)
{
    PaStreamParameters in{SimHost::inputDevice, numInputChannels, sampleFormat, 0, nullptr};
    PaStreamParameters out{SimHost::outputDevice, numOutputChannels, sampleFormat, 0, nullptr};
    return Pa_OpenStream(stream, numInputChannels ? &in : nullptr,
                         numOutputChannels ? &out : nullptr, sampleRate, framesPerBuffer, paNoFlag,
                         streamCallback, userData);
}

PaError Pa_CloseStream(PaStream* stream)
{
    return SimHost::instance().close(stream);
}

PaError Pa_SetStreamFinishedCallback(PaStream* stream, PaStreamFinishedCallback* callback)
{
    return SimHost::instance().withStream(stream, PaError(paBadStreamPtr), [callback](Stream& st) {
        if (st.state != Stream::State::Stopped)
            return PaError(paStreamIsNotStopped);
        st.finished = callback;
        return PaError(paNoError);
    });
}

PaError Pa_StartStream(PaStream* stream)
{
    return SimHost::instance().start(stream);
}

PaError Pa_StopStream(PaStream* stream)
{
    return SimHost::instance().stop(stream);
}

PaError Pa_AbortStream(PaStream* stream)
{
    return SimHost::instance().stop(stream);
}

PaError Pa_IsStreamStopped(PaStream* stream)
{
    return SimHost::instance().withStream(stream, PaError(paBadStreamPtr), [](Stream& st) {
        return PaError(st.state == Stream::State::Stopped ? 1 : 0);
    });
}

PaError Pa_IsStreamActive(PaStream* stream)
{
    return SimHost::instance().withStream(stream, PaError(paBadStreamPtr), [](Stream& st) {
        return PaError(st.state == Stream::State::Running ? 1 : 0);
    });
}

const PaStreamInfo* Pa_GetStreamInfo(PaStream* stream)
{
    return SimHost::instance().withStream(stream, static_cast<const PaStreamInfo*>(nullptr),
                                          [](Stream& st) { return &st.info; });
}

PaTime Pa_GetStreamTime(PaStream* stream)
{
    return SimHost::instance().withStream(stream, PaTime(0),
                                          [](Stream& st) { return st.framesDone / st.rate; });
}

double Pa_GetStreamCpuLoad(PaStream*)
{
    return 0;
}

PaError Pa_GetSampleSize(PaSampleFormat format)
{
    switch (format & ~paNonInterleaved) {
    case paFloat32:
    case paInt32: return 4;
    case paInt24: return 3;
    case paInt16: return 2;
    case paInt8:
    case paUInt8: return 1;
    default: return paSampleFormatNotSupported;
    }
}

void Pa_Sleep(long msec)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}
