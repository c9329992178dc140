// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audiosim.h"
#include "rotationfilter.h"
#include "virtualdac.h"

#include <deque>
#include <optional>
#include <random>

// The wires from the DAC's outputs to the audio interface's inputs, as
// audiosim.h describes them: what the DAC plays goes in on the DAC's sample
// clock, through its analog stages; what the interface records comes out on
// the interface's own clock. Not thread-safe: the stand-in's lock guards it.
class AnalogPath {
public:
    static constexpr int outputs = 2;

    void setAnalog(const AudioSim::Analog& analog);

    // Each output's volume and distortion from the DAC's block, as it
    // stands when a stream starts.
    void takeBlock(const VirtualDac::Block& block);

    // The DAC plays `count` frames of two interleaved samples (left, right)
    // at `rate`; with `interface`, the interface's own outputs play them
    // instead, wired back to its inputs.
    void play(const float* frames, int count, double rate, bool interface = false);

    // The interface starts recording what the DAC plays from now on.
    void startRecording(double rate);
    // Whether the DAC has played all that `count` more frames of the
    // interface need.
    bool canRecord(int count) const;
    // The interface records `count` frames of `channels` interleaved
    // samples into `frames`; true when it reports an overflow in them.
    bool record(float* frames, int count, int channels);

    // Lets go of what neither end needs any longer.
    void trim(bool recording);
    // Both ends idle: the path starts over with the next stream.
    void clear();

private:
    // One output's analog stages.
    struct Stage {
        double volume = 1;
        double a2 = 0; // h2 + k2·c2
        double a3 = 0;
        double h2 = 0; // the DAC's own
        double h3 = 0;
        double k2c2 = 0; // what the THD values add
        double k3c3 = 0;
        // Made when the path turns anything, for the rate it plays at.
        std::optional<RotationFilter> rotation;
    };

    // The THD pair that drives an output (thd_range0..2).
    int pairFor(int output, const VirtualDac::Block& block) const;
    // The frames a dropout loses.
    double lostFrames() const;
    // The interface's clock moves on by one of its samples.
    void tick();
    // The analog signal at each output where the interface samples it next.
    void sample(double (&y)[outputs]) const;
    // The hum at the interface's inputs, `seconds` into its recording.
    double humAt(double seconds) const;

    AudioSim::Analog analog_;
    Stage stages_[outputs];
    double inputGain_ = 1;
    double adcGain_ = 1; // the interface's own, for the stream recording now
    // What the interface records comes from its own outputs, on its own
    // clock, not from the DAC's.
    bool ownOutput_ = false;
    int recordings_ = 0; // input streams started
    // The analog stages' phase at 2f and 3f, against the DAC's own
    // distortion.
    bool rotating_ = false;
    double cos2_ = 1, sin2_ = 0, cos3_ = 1, sin3_ = 0;
    double hum_[3]{}; // the peak of 50, 100 and 150 Hz
    // The analog signal at the DAC's outputs, on the DAC's sample clock:
    // base_ is the index of the first sample held.
    std::deque<double> signal_[outputs];
    double base_ = 0;
    double written_ = 0;
    // The interface's next sample, as a position on the DAC's clock.
    double position_ = 0;
    double rate_ = 0;
    double frames_ = 0; // recorded
    double clock_ = 0;  // the interface's clock since it started, in frames
    bool dropped_ = false;
    bool overflowed_ = false;
    std::mt19937_64 noise_{0x5eed};
};
