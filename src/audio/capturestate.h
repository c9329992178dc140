// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

// What the two streams of a ToneCapture share: the tone the output plays,
// with its fades, and the frames the input keeps. `play` and `record` are
// the streams' callbacks' work, on threads of the host API's; the capture's
// own thread sets the recording up, waits on it and reads the result.
//
// The streams' over- and underflows count only while the kept frames
// arrive: from the input's first buffer that holds a kept frame to its last.
// The output's underflows while the recording settles, and during the
// fade-out after it, spoil nothing that is kept.
class CaptureState {
public:
    struct Tone {
        double omega = 0;         // radians per frame
        double amplitude = 0;     // peak, full scale 1.0
        long long fadeFrames = 1; // of the fade-in, and of the fade-out
        int channels = 2;         // interleaved, all alike
        double sampleRate = 48000;
    };
    struct Recording {
        int streamChannels = 2;  // interleaved in each frame the input delivers
        std::vector<int> picked; // those of them kept, in this order
        long long discard = 0;   // frames thrown away first
        long long keep = 0;      // frames kept after them
    };

    explicit CaptureState(const Tone& tone);
    CaptureState(const CaptureState&) = delete;
    CaptureState& operator=(const CaptureState&) = delete;

    // Room for `samples` kept samples (frames times channels kept), taken
    // before any stream runs: memory that runs out (bad_alloc) must end a
    // capture there, not in the middle of one whose callbacks use this
    // state.
    void reserve(std::size_t samples);
    // Before the input starts (the output may be playing already); takes
    // no memory beyond what reserve() took for the same recording.
    void setRecording(const Recording& recording);

    // The output's next `frames` frames, which the DAC plays from
    // `dacTime` on the output stream's clock (negative: not known).
    // `underflow`: the host API said the output ran dry before them.
    void play(float* output, unsigned long frames, bool underflow, double dacTime = -1);
    // The input's next `frames` frames (null: silence). `overflow`: the host
    // API lost or made up frames before them. False once every frame wanted
    // has arrived.
    bool record(const float* input, unsigned long frames, bool overflow);

    // Waits until more than `seen` frames have arrived, at most `timeout`;
    // the frames arrived so far.
    long long waitForFrames(long long seen, std::chrono::milliseconds timeout);
    bool complete() const;
    // Starts the fade-out and waits until the output has been handed all of
    // it, at most `timeout`; true when it has.
    bool fadeOut(std::chrono::milliseconds timeout);
    // When the DAC will have played the whole fade-out, on the output
    // stream's clock; negative while that is not known.
    double fadePlayedAt() const;

    int inputFaults() const;
    int outputFaults() const;
    // The kept samples, one vector per picked channel.
    std::vector<std::vector<double>> kept() const;

private:
    enum Phase { Settling, Keeping, Done };

    void notify();

    const Tone tone_;
    long long played_ = 0;    // the output's thread only
    long long fadeFrom_ = -1; // the output's thread only
    std::atomic<bool> fading_{false};
    std::atomic<bool> faded_{false};
    std::atomic<double> fadePlayedAt_{-1};

    Recording recording_;
    std::vector<float> kept_; // interleaved, the picked channels
    std::atomic<long long> received_{0};
    std::atomic<int> phase_{Settling};
    std::atomic<int> inputFaults_{0};
    std::atomic<int> outputFaults_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
};
