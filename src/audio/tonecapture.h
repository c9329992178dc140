// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <QString>

#include <atomic>
#include <vector>

// Plays a sine through one device while recording another: the DAC's output
// wired to an input of an audio interface. The two run as separate PortAudio
// streams (their clocks are not the same), callback-driven with large buffers:
// latency is of no concern here, dropouts are.
//
// The tone fades in and out over `fadeSeconds`, so that the DAC's output never
// steps: the output starts first, and whatever happens after (the input fails
// to open or to start, stops delivering, or the capture is stopped) the tone
// fades out before the output stops. The input starts once the tone plays;
// what arrives during `settleSeconds` and the output stream's reported
// latency is thrown away, the next `seconds` are kept. The run ends when that
// many frames have been captured, however long that takes on the clock (a
// simulated path runs faster than real time); a device that stops delivering
// frames ends it with an error.
//
// On Windows' WASAPI a stream is opened exclusive where the device allows it,
// otherwise shared, with Windows converting the rate to the engine's mix
// format where the two differ; `outputMode` and `inputMode` say which.
//
// Needs a live, ready AudioSystem.
class ToneCapture {
public:
    struct Settings {
        double frequencyHz = 997;
        double levelDbfs = -3;        // peak level of the sine; above 0 dBFS is taken as 0
        // The rates a capture takes, PortAudio's and the interfaces' span.
        static constexpr double lowestRateHz = 8000;
        static constexpr double highestRateHz = 384000;
        double sampleRate = 48000;    // both streams
        double seconds = 1;           // kept
        double settleSeconds = 0.25;  // discarded first
        double fadeSeconds = 0.01;
        // Suggested to the input (at least the device's own high latency).
        // Through ALSA's PipeWire plug-in, the default buffers dropped
        // samples on a loaded machine and 0.5 s did not.
        double latencySeconds = 0.5;
        // Suggested to the output (at least the device's own high
        // latency). The output stops only once the DAC has played the
        // fade-out, after all the output held before it, so a stop takes
        // this long and more. Through ALSA's PipeWire plug-in on a loaded
        // machine (load 6 on two cores), 0.05 s underflowed and 0.1 s did
        // not.
        double outputLatencySeconds = 0.1;
        // The input channels recorded, 0-based, in this order: one gives a
        // mono capture. Empty: the first two, or the one of a mono input. A
        // channel the input does not have is refused before any stream
        // opens.
        std::vector<int> inputChannels;
        // Set from another thread, it abandons the capture at the next look,
        // every 50 ms; with the fade-out played, the run ends within some
        // 0.2 s: a window's Cancel must not wait out a two-minute
        // refinement.
        const std::atomic<bool>* stop = nullptr;
    };

    struct Result {
        // Why there are no samples: a Kind::Audio error, its subject the
        // output, the input or its channels where the fault is theirs.
        Error error;
        bool stopped = false; // `stop` abandoned it (the error says so)
        double sampleRate = 0;
        // The kept samples, one vector per input channel recorded, full
        // scale 1.0.
        std::vector<std::vector<double>> channels;
        // What the streams reported while the kept samples arrived.
        int inputOverflows = 0;                // callbacks flagged paInputOverflow or paInputUnderflow
        int outputUnderflows = 0;              // callbacks flagged paOutputUnderflow
        // How each stream was opened: the host API's name, and on Windows'
        // WASAPI "WASAPI exclusive", "WASAPI shared", or with a conversion
        // "WASAPI shared, converted from 48000 Hz to the mix format's
        // 44100 Hz" (the input: "from the mix format's 44100 Hz to
        // 48000 Hz"). Empty for a stream not tried.
        QString outputMode;
        QString inputMode;
    };

    static Result run(int outputDevice, int inputDevice, const Settings& settings);
};
