// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/tonecapture.h"

#include <portaudio.h>

#if defined(_WIN32) && defined(__has_include)
#if __has_include(<pa_win_wasapi.h>)
#include <pa_win_wasapi.h>
#define SONVALE_HAVE_WASAPI 1
#endif
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A device that delivers no frame for this long has stopped.
constexpr std::chrono::seconds kStalled{3};
// How often a capture looks whether it was asked to stop.
constexpr std::chrono::milliseconds kPoll{50};

struct Shared {
    // The tone.
    double omega = 0;           // radians per frame
    double amplitude = 0;
    long long fadeFrames = 1;
    int outputChannels = 2;
    long long played = 0;
    std::atomic<bool> fadeOut{false};
    long long fadeOutFrom = -1;
    std::atomic<bool> faded{false};

    // The recording.
    int inputChannels = 2;
    long long discard = 0;
    long long keep = 0;
    std::vector<float> kept;            // interleaved
    std::atomic<long long> received{0};
    std::atomic<bool> keeping{false};
    std::atomic<int> inputFlags{0};
    std::atomic<int> outputFlags{0};

    std::mutex mutex;
    std::condition_variable changed;

    void notify()
    {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    }
};

// A raised-cosine ramp from 0 to 1 over `length` frames.
double ramp(long long frame, long long length)
{
    if (frame <= 0)
        return 0;
    if (frame >= length)
        return 1;
    return 0.5 - 0.5 * std::cos(kPi * double(frame) / double(length));
}

int playTone(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
             PaStreamCallbackFlags flags, void* data)
{
    auto* s = static_cast<Shared*>(data);
    if ((flags & paOutputUnderflow) && s->keeping)
        ++s->outputFlags;
    auto* out = static_cast<float*>(output);
    bool nowFaded = false;
    for (unsigned long i = 0; i < frames; ++i) {
        const long long n = s->played++;
        double gain = ramp(n, s->fadeFrames);
        if (s->fadeOut) {
            if (s->fadeOutFrom < 0)
                s->fadeOutFrom = n;
            gain *= 1 - ramp(n - s->fadeOutFrom, s->fadeFrames);
            nowFaded = nowFaded || n - s->fadeOutFrom >= s->fadeFrames;
        }
        const float value = float(s->amplitude * gain * std::sin(s->omega * double(n)));
        for (int c = 0; c < s->outputChannels; ++c)
            *out++ = value;
    }
    if (nowFaded && !s->faded) {
        s->faded = true;
        s->notify();
    }
    return paContinue;
}

int recordTone(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
               PaStreamCallbackFlags flags, void* data)
{
    auto* s = static_cast<Shared*>(data);
    // Samples lost (overflow) or made up (underflow) by the input.
    if ((flags & (paInputOverflow | paInputUnderflow)) && s->keeping)
        ++s->inputFlags;
    const auto* in = static_cast<const float*>(input);
    const long long first = s->received;
    const long long total = s->discard + s->keep;
    for (unsigned long i = 0; i < frames; ++i) {
        const long long n = first + (long long)i;
        if (n < s->discard || n >= total)
            continue;
        s->keeping = true;
        const size_t at = size_t(n - s->discard) * size_t(s->inputChannels);
        for (int c = 0; c < s->inputChannels; ++c)
            s->kept[at + size_t(c)] = in ? in[i * unsigned(s->inputChannels) + unsigned(c)] : 0.0f;
    }
    s->received = first + (long long)frames;
    s->notify();
    return s->received >= total ? paComplete : paContinue;
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
                  const ToneCapture::Settings& settings, PaStreamCallback* callback, Shared* shared)
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
                                     paFramesPerBufferUnspecified, paNoFlag, callback, shared);
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
                                 paFramesPerBufferUnspecified, paClipOff, callback, shared);
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

    Shared s;
    s.omega = 2 * kPi * settings.frequencyHz / settings.sampleRate;
    s.amplitude = std::pow(10.0, std::min(settings.levelDbfs, 0.0) / 20);
    s.fadeFrames = std::max(1LL, (long long)std::llround(settings.fadeSeconds * settings.sampleRate));
    s.outputChannels = std::min(2, outInfo->maxOutputChannels);
    s.inputChannels = std::min(2, inInfo->maxInputChannels);
    s.keep = (long long)std::llround(settings.seconds * settings.sampleRate);

    Opened out = openStream(outputDevice, false, s.outputChannels,
                            std::max(settings.latencySeconds, outInfo->defaultHighOutputLatency),
                            settings, playTone, &s);
    result.outputMode = out.mode;
    if (!out.stream) {
        result.error = QStringLiteral("cannot open \"%1\" for playing: %2")
                           .arg(deviceName(outputDevice), paText(out.error));
        return result;
    }
    Opened in = openStream(inputDevice, true, s.inputChannels,
                           std::max(settings.latencySeconds, inInfo->defaultHighInputLatency),
                           settings, recordTone, &s);
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
    s.discard = (long long)std::llround((settings.settleSeconds + outputLatency) * settings.sampleRate);
    s.kept.assign(size_t(s.keep) * size_t(s.inputChannels), 0.0f);

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
        const long long total = s.discard + s.keep;
        std::unique_lock<std::mutex> lock(s.mutex);
        auto stopAsked = [&] { return settings.stop && settings.stop->load(); };
        long long seen = s.received;
        auto lastMove = std::chrono::steady_clock::now();
        while (s.received < total) {
            if (stopAsked()) {
                result.stopped = true;
                result.error = QStringLiteral("the capture was stopped");
                break;
            }
            s.changed.wait_for(lock, kPoll, [&] { return s.received != seen || s.received >= total || stopAsked(); });
            const auto now = std::chrono::steady_clock::now();
            if (s.received != seen) {
                seen = s.received;
                lastMove = now;
            } else if (now - lastMove >= kStalled && !stopAsked()) {
                result.error = QStringLiteral("\"%1\" stopped delivering audio").arg(deviceName(inputDevice));
                break;
            }
        }
        complete = !result.stopped && s.received >= total;
        // The tone fades out before the output stops, so that the DAC's
        // output does not step.
        s.fadeOut = true;
        s.changed.wait_for(lock, kStalled, [&] { return s.faded.load(); });
    }

    Pa_StopStream(in.stream);
    Pa_StopStream(out.stream);
    Pa_CloseStream(in.stream);
    Pa_CloseStream(out.stream);

    result.inputOverflows = s.inputFlags;
    result.outputUnderflows = s.outputFlags;
    if (!complete)
        return result;
    result.channels.assign(size_t(s.inputChannels), std::vector<double>(size_t(s.keep)));
    for (long long i = 0; i < s.keep; ++i)
        for (int c = 0; c < s.inputChannels; ++c)
            result.channels[size_t(c)][size_t(i)] = double(s.kept[size_t(i) * size_t(s.inputChannels) + size_t(c)]);
    result.ok = true;
    return result;
}
