// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/tonecapture.h"

#include "audio/capturestate.h"

#include <portaudio.h>

#ifdef _WIN32
#include "audio/wasapistream.h"
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <thread>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A device that delivers no frame for this long has stopped.
constexpr std::chrono::seconds kStalled{3};
// How often a capture looks whether it was asked to stop.
constexpr std::chrono::milliseconds kPoll{50};

int playTone(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
             PaStreamCallbackFlags flags, void* data)
{
    // A host API that does not know when the DAC plays a buffer says 0.
    const double dacTime = time && time->outputBufferDacTime > 0 ? time->outputBufferDacTime : -1;
    static_cast<CaptureState*>(data)->play(static_cast<float*>(output), frames,
                                           (flags & paOutputUnderflow) != 0, dacTime);
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

Error audioError(const QString& cause, Error::Subject subject = Error::Subject::None)
{
    return Error(Error::Kind::Audio, cause.toStdString(), subject);
}

QString deviceName(int device)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info && info->name ? QString::fromUtf8(info->name) : QString::number(device);
}

bool isWasapi(const PaDeviceInfo* info)
{
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    return api && api->type == paWASAPI;
}

struct Opened {
    PaStream* stream = nullptr;
    PaError error = paNoError;
    QString mode;
};

Opened openStream(int device, bool input, int channels, double latency, double sampleRate,
                  PaStreamCallback* callback, CaptureState* state)
{
    Opened opened;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = channels;
    parameters.sampleFormat = paFloat32;
    parameters.suggestedLatency = latency;
    parameters.hostApiSpecificStreamInfo = nullptr;

#ifdef _WIN32
    if (isWasapi(info)) {
        opened.error = WasapiStream::open(parameters, input, sampleRate, callback, state,
                                          &opened.stream, opened.mode);
        return opened;
    }
#endif

    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    opened.mode = api && api->name ? QString::fromUtf8(api->name) : QString();
    // No clipping of the samples by PortAudio: the level is capped here,
    // and a recording that clips must show it.
    opened.error =
        Pa_OpenStream(&opened.stream, input ? &parameters : nullptr, input ? nullptr : &parameters,
                      sampleRate, paFramesPerBufferUnspecified, paClipOff, callback, state);
    if (opened.error != paNoError)
        opened.stream = nullptr;
    return opened;
}

// The input channels to record: those asked for, or the first two (the one
// of a mono input).
std::vector<int> pickedChannels(const ToneCapture::Settings& settings, int inputs)
{
    if (!settings.inputChannels.empty())
        return settings.inputChannels;
    return inputs >= 2 ? std::vector<int>{0, 1} : std::vector<int>{0};
}

// Why a capture cannot be made as asked, before any stream opens; no error
// when it can. Inputs are numbered from 1 here, as interfaces label them.
Error refusal(int outputDevice, int inputDevice, const ToneCapture::Settings& settings)
{
    const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(outputDevice);
    const PaDeviceInfo* inInfo = Pa_GetDeviceInfo(inputDevice);
    if (!outInfo || outInfo->maxOutputChannels < 1)
        return audioError(QStringLiteral("device %1 cannot play audio").arg(outputDevice),
                          Error::Subject::Output);
    if (!inInfo || inInfo->maxInputChannels < 1)
        return audioError(QStringLiteral("device %1 cannot record audio").arg(inputDevice),
                          Error::Subject::Input);
    if (!(settings.sampleRate >= ToneCapture::Settings::lowestRateHz
          && settings.sampleRate <= ToneCapture::Settings::highestRateHz)
        || !(settings.seconds > 0 && settings.seconds <= 600)
        || !(settings.frequencyHz > 0 && settings.frequencyHz < settings.sampleRate / 2)
        || !(settings.settleSeconds >= 0) || !(settings.fadeSeconds >= 0)
        || std::isnan(settings.levelDbfs))
        return audioError(QStringLiteral("the tone cannot be played as asked"));
    for (const int channel : settings.inputChannels)
        if (channel < 0 || channel >= inInfo->maxInputChannels)
            return audioError(QStringLiteral("\"%1\" has no input %2: its inputs are 1 to %3")
                                  .arg(deviceName(inputDevice))
                                  .arg(channel + 1)
                                  .arg(inInfo->maxInputChannels),
                              Error::Subject::InputChannels);
    return Error();
}

CaptureState::Tone toneOf(const ToneCapture::Settings& settings, const PaDeviceInfo* output)
{
    CaptureState::Tone tone;
    tone.omega = 2 * kPi * settings.frequencyHz / settings.sampleRate;
    tone.amplitude = std::pow(10.0, std::min(settings.levelDbfs, 0.0) / 20);
    tone.fadeFrames =
        std::max(1LL, (long long)std::llround(settings.fadeSeconds * settings.sampleRate));
    tone.channels = std::min(2, output->maxOutputChannels);
    tone.sampleRate = settings.sampleRate;
    return tone;
}

bool stopAsked(const ToneCapture::Settings& settings)
{
    return settings.stop && settings.stop->load();
}

// Waits for the kept frames, however long they take; only a recording that
// stops moving, or a stop asked for, ends the wait early.
void waitForCapture(CaptureState& state, int inputDevice, const ToneCapture::Settings& settings,
                    ToneCapture::Result& result)
{
    long long seen = 0;
    auto lastMove = std::chrono::steady_clock::now();
    while (!state.complete()) {
        if (stopAsked(settings)) {
            result.stopped = true;
            result.error = audioError(QStringLiteral("the capture was stopped"));
            return;
        }
        const long long now = state.waitForFrames(seen, kPoll);
        if (now != seen) {
            seen = now;
            lastMove = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastMove >= kStalled) {
            result.error = audioError(
                QStringLiteral("\"%1\" stopped delivering audio").arg(deviceName(inputDevice)),
                Error::Subject::Input);
            return;
        }
    }
}

// Records from the input while the output plays: opens and starts it, waits
// for the frames. The error, if any, lands in `result`.
void recordWhilePlaying(CaptureState& state, PaStream*& input, int inputDevice,
                        double outputLatency, const ToneCapture::Settings& settings,
                        ToneCapture::Result& result)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(inputDevice);
    CaptureState::Recording recording;
    recording.picked = pickedChannels(settings, info->maxInputChannels);
    // WASAPI opens a device with its own channel count: in shared mode any
    // other goes through Windows' channel mixer, which would blend inputs.
    // Elsewhere the stream holds the inputs up to the last one recorded.
    recording.streamChannels =
        isWasapi(info) ? info->maxInputChannels
                       : *std::max_element(recording.picked.begin(), recording.picked.end()) + 1;
    Opened opened = openStream(inputDevice, true, recording.streamChannels,
                               std::max(settings.latencySeconds, info->defaultHighInputLatency),
                               settings.sampleRate, recordTone, &state);
    result.inputMode = opened.mode;
    input = opened.stream;
    if (!input) {
        result.error = audioError(QStringLiteral("cannot open \"%1\" for recording: %2")
                                      .arg(deviceName(inputDevice), paText(opened.error)),
                                  Error::Subject::Input);
        return;
    }
    // The tone reaches the input once the output's buffers have played out:
    // that, and the settling time, are thrown away.
    recording.discard =
        (long long)std::llround((settings.settleSeconds + outputLatency) * settings.sampleRate);
    recording.keep = (long long)std::llround(settings.seconds * settings.sampleRate);
    state.setRecording(recording);
    const PaError error = Pa_StartStream(input);
    if (error != paNoError) {
        result.error = audioError(QStringLiteral("cannot start recording from \"%1\": %2")
                                      .arg(deviceName(inputDevice), paText(error)),
                                  Error::Subject::Input);
        return;
    }
    waitForCapture(state, inputDevice, settings, result);
}

// Waits until the DAC has played the fade-out the output was handed, or
// for the output's whole latency where its clock does not say when: a
// stopped stream drops what it still holds (WASAPI's does, ALSA's plays it
// out), and the tone would step there. The DAC time a host API gives leaves
// out what follows its own buffer (a shared engine's period; under wine,
// PulseAudio's buffer cut the last 2 ms of the fade): a margin covers it.
void waitUntilPlayed(PaStream* output, const CaptureState& state, double latency)
{
    constexpr double margin = 0.02;
    const double playedAt = state.fadePlayedAt();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(latency) + kPoll;
    while (std::chrono::steady_clock::now() < until) {
        if (playedAt >= 0 && Pa_GetStreamTime(output) >= playedAt + margin)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

ToneCapture::Result ToneCapture::run(int outputDevice, int inputDevice, const Settings& settings)
{
    Result result;
    result.sampleRate = settings.sampleRate;
    result.error = refusal(outputDevice, inputDevice, settings);
    if (result.error)
        return result;
    if (stopAsked(settings)) {
        result.stopped = true;
        result.error = audioError(QStringLiteral("the capture was stopped"));
        return result;
    }

    const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(outputDevice);
    CaptureState state(toneOf(settings, outInfo));
    // Ten minutes at 384 kHz take gigabytes: if they cannot be had, the
    // capture ends before its streams start (recordWhilePlaying keeps as
    // many frames on as many channels).
    const std::size_t frames = std::size_t(std::llround(settings.seconds * settings.sampleRate));
    try {
        state.reserve(
            frames
            * pickedChannels(settings, Pa_GetDeviceInfo(inputDevice)->maxInputChannels).size());
    } catch (const std::bad_alloc&) {
        result.error = audioError(
            QStringLiteral("the memory ran out for a capture of %1 s").arg(settings.seconds));
        return result;
    }
    const Opened out =
        openStream(outputDevice, false, std::min(2, outInfo->maxOutputChannels),
                   std::max(settings.outputLatencySeconds, outInfo->defaultHighOutputLatency),
                   settings.sampleRate, playTone, &state);
    result.outputMode = out.mode;
    if (!out.stream) {
        result.error = audioError(QStringLiteral("cannot open \"%1\" for playing: %2")
                                      .arg(deviceName(outputDevice), paText(out.error)),
                                  Error::Subject::Output);
        return result;
    }
    const PaError error = Pa_StartStream(out.stream);
    if (error != paNoError) {
        Pa_CloseStream(out.stream);
        result.error = audioError(QStringLiteral("cannot start playing on \"%1\": %2")
                                      .arg(deviceName(outputDevice), paText(error)),
                                  Error::Subject::Output);
        return result;
    }

    const PaStreamInfo* outStreamInfo = Pa_GetStreamInfo(out.stream);
    const double outputLatency = outStreamInfo ? outStreamInfo->outputLatency : 0;
    PaStream* input = nullptr;
    recordWhilePlaying(state, input, inputDevice, outputLatency, settings, result);

    // Whatever ended the recording, the tone fades out before the output
    // stops, so that the DAC's output does not step. The output takes it
    // within its latency; a stalled one is waited for no longer.
    if (input) {
        Pa_AbortStream(input);
        Pa_CloseStream(input);
    }
    const auto fadeWait =
        std::chrono::duration<double>(settings.fadeSeconds + outputLatency) + 2 * kPoll;
    if (state.fadeOut(std::chrono::duration_cast<std::chrono::milliseconds>(fadeWait)))
        waitUntilPlayed(out.stream, state, outputLatency + settings.fadeSeconds);
    Pa_StopStream(out.stream);
    Pa_CloseStream(out.stream);

    result.inputOverflows = state.inputFaults();
    result.outputUnderflows = state.outputFaults();
    if (!result.error)
        result.channels = state.kept();
    return result;
}
