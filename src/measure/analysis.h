// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The distortion of a captured sine, one channel at a time. Pure functions on
// samples in memory (full scale 1.0; decibels.h says what 0 dBFS is): no
// device, no file, no Qt.
//
// Playback and capture run on clocks that are not synchronised, so nothing
// here assumes a tone centred on an FFT bin: the frequency comes from a
// windowed FFT's peak, refined by a least-squares sine fit, and the harmonics
// from a least-squares fit of DC and cos/sin at k·θ (k = 1..9) over a whole
// number of cycles. The two clocks also wander against each other by a few
// ppm over minutes, so θ is not a straight line ω·t: it is the phase the
// fundamental follows, fitted about every 4 ms and smoothed over a tenth of
// a second (phasetrack.h), and what it bends by never reaches the residual.
// A stream that lost or repeated samples makes that phase step at one place,
// which is what "dropout" looks for; a slow bend is not one.
//
// Phase convention: with the analysed samples written as
// Σ |a_k|·cos(k·θ(t) + φ_k), θ(t) the fundamental's phase and t = 0 at the
// first sample analysed, the phase of harmonic k is φ_k − k·φ_1, wrapped to
// (−180°, 180°]. A pure delay between playback and capture leaves it
// unchanged; y = x + c·x² puts H2 at 0° for c > 0 and at 180° for c < 0.

#include <array>
#include <complex>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

// What the analysis detected rather than measured: a capture with any of them
// does not tell the DAC's distortion.
namespace Problem {
inline constexpr const char* clipping = "clipping";   // at or near full scale, or flat-topped
inline constexpr const char* dropout = "dropout";     // samples missing or repeated
inline constexpr const char* level = "level";         // fundamental off the expected level
inline constexpr const char* weakSignal =
    "weak signal"; // the tone so low that noise hides the harmonics
inline constexpr const char* noSignal = "no signal";  // silence or noise, no tone
}

struct AnalysisOptions {
    // The level the fundamental should have; "level" when it lies further
    // than levelToleranceDb away. Unset: not checked.
    std::optional<double> expectedLevelDbfs;
    double levelToleranceDb = 1.0;
    // The tone played, if known: the search for it keeps within 2 % of this.
    // Unset: the strongest tone from 10 Hz up.
    std::optional<double> expectedFrequencyHz;
    // The band of THD+N.
    double bandLowHz = 20.0;
    double bandHighHz = 20000.0;
};

constexpr int highestHarmonic = 9;

struct ChannelAnalysis {
    // False with "no signal": then every figure below is NaN.
    bool hasTone = false;

    static constexpr double none = std::numeric_limits<double>::quiet_NaN();
    double frequencyHz = none;  // over the whole cycles analysed
    double levelDbfs = none;    // the fundamental's peak
    double dcOffset = none;     // full scale 1.0
    double thdDb = none;        // √Σ|h_k|², k = 2..9, against the fundamental
    double thdPercent = none;
    double thdnDb = none;       // all but DC and the fundamental, 20 Hz..20 kHz, against the fundamental
    double noiseDbfs = none;    // what remains after DC and all nine harmonics (whole band, RMS)

    // h_k = (a_k / |a_1|)·e^(−j·k·∠a_1), the complex amplitude of harmonic k
    // relative to the fundamental's and referred to its phase; index = order,
    // [1] = 1, [0] unused; NaN for a harmonic at or above half the rate.
    // |h_k| in dBc and arg(h_k) are the figures a person reads; the THD
    // solver works on the complex values.
    std::array<std::complex<double>, highestHarmonic + 1> harmonics{};
    // The standard deviation of the real and of the imaginary part of each
    // h_k that the capture's noise leaves (relative to the fundamental):
    // σ·√(2/N)/|a_1| over the N samples analysed, σ the RMS of the white
    // noise near H2..H5 (the median of the residual's spectrum from 1.5 to
    // 5.5 times the tone). Hum and other lines elsewhere, which noiseDbfs and
    // THD+N count, do not move a harmonic's estimate and are left out.
    double harmonicNoise = none;

    double seconds = none;      // the whole cycles analysed, from the first sample
    double cycles = none;

    // Of this channel; CaptureAnalysis::problems holds them all.
    std::vector<std::string> problems;

    double harmonicDbc(int order) const;
    double harmonicPhaseDeg(int order) const;  // (−180°, 180°]
    // The THD in per cent as people read it: three significant digits,
    // written out ("0.0000895", never "8.95e-05"); "-" without a figure.
    std::string thdPercentText() const;
};

struct CaptureAnalysis {
    double rateHz = 0;
    double seconds = 0;     // the length of the capture
    std::vector<ChannelAnalysis> channels;
    // Each problem of any channel, once, in the order of the Problem list.
    std::vector<std::string> problems;

    bool ok() const { return problems.empty(); }

    // How every report names a channel: "left", "right"; "mono" for one
    // channel; "channel 3" beyond two. With `capital`, as a label or a
    // sentence starts: "Left".
    static std::string channelName(std::size_t channel, std::size_t channels, bool capital = false);
};

ChannelAnalysis analyseChannel(const double* samples, std::size_t count, double rateHz,
                               const AnalysisOptions& options = {});
CaptureAnalysis analyseCapture(const std::vector<std::vector<double>>& channels, double rateHz,
                               const AnalysisOptions& options = {});
// Frames of `channelCount` interleaved samples, as an audio stream delivers them.
CaptureAnalysis analyseInterleaved(const float* frames, std::size_t frameCount, int channelCount,
                                   double rateHz, const AnalysisOptions& options = {});
