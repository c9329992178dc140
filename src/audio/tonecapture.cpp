// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/tonecapture.h"

#include "audio/capturestate.h"

#include <portaudio.h>

#if defined(_WIN32) && defined(__has_include)
#if __has_include(<pa_win_wasapi.h>)
#include <pa_win_wasapi.h>
#define SONVALE_HAVE_WASAPI 1
#endif
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A device that delivers no frame for this long has stopped.
constexpr std::chrono::seconds kStalled{3};
// How often a capture looks whether it was asked to stop.
constexpr std::chrono::milliseconds kPoll{50};

int playTone(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
             PaStreamCallbackFlags flags, void* data)
{
    static_cast<CaptureState*>(data)->play(static_cast<float*>(output), frames,
                                           (flags & paOutputUnderflow) != 0);
    return paContinue;
}

int recordTone(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
               PaStreamCallbackFlags flags, void* data)
{
    // Samples lost (overflow) or made up (underflow) by the input.
    const bool fault = (flags & (paInputOverflow | paInputUnderflow)) != 0;
    return static_cast<CaptureState*>(data)->record(static_cast<const float*>(input), frames, fault)
               ? paContinue
               : paComplete;
}

QString paText(PaError error)
{
    return QString::fromUtf8(Pa_GetErrorText(error));
}

struct Opened {
    PaStream* stream = nullptr;
    PaError error = paNoError;
    QString mode;
};

Opened openStream(int device, bool input, int channels, double latency,
                  const ToneCapture::Settings& settings, PaStreamCallback* callback,
                  CaptureState* state)
{
    Opened opened;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    opened.mode = api && api->name ? QString::fromUtf8(api->name) : QString();

    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = channels;
    parameters.sampleFormat = paFloat32;
    parameters.suggestedLatency = latency;
    parameters.hostApiSpecificStreamInfo = nullptr;
    PaStreamParameters* in = input ? &parameters : nullptr;
    PaStreamParameters* out = input ? nullptr : &parameters;

#ifdef SONVALE_HAVE_WASAPI
    // Exclusive mode keeps Windows' mixer and its effects out of the path;
    // a device that refuses it (or is held by another program in it) is
    // opened shared.
    if (api && api->type == paWASAPI) {
        PaWasapiStreamInfo wasapi;
        std::memset(&wasapi, 0, sizeof wasapi);
        wasapi.size = sizeof wasapi;
        wasapi.hostApiType = paWASAPI;
        wasapi.version = 1;
        wasapi.flags = paWinWasapiExclusive;
        parameters.hostApiSpecificStreamInfo = &wasapi;
        opened.error = Pa_OpenStream(&opened.stream, in, out, settings.sampleRate,
                                     paFramesPerBufferUnspecified, paNoFlag, callback, state);
        parameters.hostApiSpecificStreamInfo = nullptr;
        if (opened.error == paNoError) {
            opened.mode = QStringLiteral("WASAPI exclusive");
            return opened;
        }
        opened.stream = nullptr;
        opened.mode = QStringLiteral("WASAPI shared");
    }
#endif

    // No clipping of the samples by PortAudio: the level is capped here,
    // and a recording that clips must show it.
    opened.error = Pa_OpenStream(&opened.stream, in, out, settings.sampleRate,
                                 paFramesPerBufferUnspecified, paClipOff, callback, state);
    if (opened.error != paNoError)
        opened.stream = nullptr;
    return opened;
}

QString deviceName(int device)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info && info->name ? QString::fromUtf8(info->name) : QString::number(device);
}

} // namespace

ToneCapture::Result ToneCapture::run(int outputDevice, int inputDevice, const Settings& settings)
{
    Result result;
    result.sampleRate = settings.sampleRate;
    const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(outputDevice);
    const PaDeviceInfo* inInfo = Pa_GetDeviceInfo(inputDevice);
    if (!outInfo || outInfo->maxOutputChannels < 1) {
        result.error = QStringLiteral("device %1 cannot play audio").arg(outputDevice);
        return result;
    }
    if (!inInfo || inInfo->maxInputChannels < 1) {
        result.error = QStringLiteral("device %1 cannot record audio").arg(inputDevice);
        return result;
    }
    if (!(settings.sampleRate >= 8000 && settings.sampleRate <= 384000)
        || !(settings.seconds > 0 && settings.seconds <= 600)
        || !(settings.frequencyHz > 0 && settings.frequencyHz < settings.sampleRate / 2)
        || !(settings.settleSeconds >= 0) || !(settings.fadeSeconds >= 0)
        || std::isnan(settings.levelDbfs)) {
        result.error = QStringLiteral("the tone cannot be played as asked");
        return result;
    }

    if (settings.stop && settings.stop->load()) {
        result.stopped = true;
        result.error = QStringLiteral("the capture was stopped");
        return result;
    }

    CaptureState::Tone tone;
    tone.omega = 2 * kPi * settings.frequencyHz / settings.sampleRate;
    tone.amplitude = std::pow(10.0, std::min(settings.levelDbfs, 0.0) / 20);
    tone.fadeFrames =
        std::max(1LL, (long long)std::llround(settings.fadeSeconds * settings.sampleRate));
    tone.channels = std::min(2, outInfo->maxOutputChannels);
    CaptureState state(tone);
    CaptureState::Recording recording;
    recording.streamChannels = std::min(2, inInfo->maxInputChannels);
    recording.picked = recording.streamChannels == 2 ? std::vector<int>{0, 1} : std::vector<int>{0};
    recording.keep = (long long)std::llround(settings.seconds * settings.sampleRate);

    Opened out = openStream(outputDevice, false, tone.channels,
                            std::max(settings.latencySeconds, outInfo->defaultHighOutputLatency),
                            settings, playTone, &state);
    result.outputMode = out.mode;
    if (!out.stream) {
        result.error = QStringLiteral("cannot open \"%1\" for playing: %2")
                           .arg(deviceName(outputDevice), paText(out.error));
        return result;
    }
    Opened in = openStream(inputDevice, true, recording.streamChannels,
                           std::max(settings.latencySeconds, inInfo->defaultHighInputLatency),
                           settings, recordTone, &state);
    result.inputMode = in.mode;
    if (!in.stream) {
        Pa_CloseStream(out.stream);
        result.error = QStringLiteral("cannot open \"%1\" for recording: %2")
                           .arg(deviceName(inputDevice), paText(in.error));
        return result;
    }

    // The tone reaches the input once the output's buffers have played out:
    // that, and the settling time, are thrown away.
    const PaStreamInfo* outStreamInfo = Pa_GetStreamInfo(out.stream);
    const double outputLatency = outStreamInfo ? outStreamInfo->outputLatency : 0;
    recording.discard =
        (long long)std::llround((settings.settleSeconds + outputLatency) * settings.sampleRate);
    state.setRecording(recording);

    PaError error = Pa_StartStream(out.stream);
    if (error == paNoError) {
        error = Pa_StartStream(in.stream);
        if (error != paNoError)
            result.error = QStringLiteral("cannot start recording from \"%1\": %2")
                               .arg(deviceName(inputDevice), paText(error));
    } else {
        result.error = QStringLiteral("cannot start playing on \"%1\": %2")
                           .arg(deviceName(outputDevice), paText(error));
    }

    bool complete = false;
    if (error == paNoError) {
        // Wait for the frames, however long they take; only a recording that
        // stops moving, or a stop asked for, ends the wait early. The wait
        // wakes often enough to see the stop.
        auto stopAsked = [&] { return settings.stop && settings.stop->load(); };
        long long seen = 0;
        auto lastMove = std::chrono::steady_clock::now();
        while (!state.complete()) {
            if (stopAsked()) {
                result.stopped = true;
                result.error = QStringLiteral("the capture was stopped");
                break;
            }
            const long long now = state.waitForFrames(seen, kPoll);
            if (now != seen) {
                seen = now;
                lastMove = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastMove >= kStalled && !stopAsked()) {
                result.error = QStringLiteral("\"%1\" stopped delivering audio").arg(deviceName(inputDevice));
                break;
            }
        }
        complete = !result.stopped && state.complete();
        // The tone fades out before the output stops, so that the DAC's
        // output does not step.
        state.fadeOut(kStalled);
    }

    Pa_StopStream(in.stream);
    Pa_StopStream(out.stream);
    Pa_CloseStream(in.stream);
    Pa_CloseStream(out.stream);

    result.inputOverflows = state.inputFaults();
    result.outputUnderflows = state.outputFaults();
    if (!complete)
        return result;
    result.channels = state.kept();
    result.ok = true;
    return result;
}
