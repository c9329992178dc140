// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The fundamental's phase followed through a capture, segment by segment.
//
// Player and recorder run on two crystals that differ by tens of ppm and
// wander about that by a few ppm over minutes as they warm and cool. A fit at
// one frequency takes up the offset; the wander stays, a slow bend in the
// phase (over two minutes at 1 kHz, ±2 ppm over a minute bends it by about
// ±0.1 rad) that the fit of the harmonics must follow, or it is left in the
// residual as noise. A stream that loses or repeats samples is different: the
// phase steps at one place (a sample at 1 kHz and 48 kHz is 0.13 rad).
//
// The capture is cut into segments of whole cycles (about 4 ms, one cycle at
// least), the fundamental's amplitude and phase fitted in each. The phases,
// smoothed over a tenth of a second and drawn through the segments' middles,
// give the phase the harmonics are fitted on; the raw ones, before any
// smoothing, tell a slip from a wander.

#include <complex>
#include <cstddef>
#include <vector>

class PhaseTrack {
public:
    // `residual` is what a fit of DC and the harmonics at the one frequency
    // `omega` (radians per sample) left, `phasor` that fit's
    // e^(j·omega·(i − origin)) and `fundamental` its complex amplitude, all
    // over `count` samples.
    PhaseTrack(const double* residual, const std::complex<double>* phasor, std::size_t count,
               std::complex<double> fundamental, double omega, double rateHz);

    // e^(j·θ_i) for i = 0..count: the fit's phase plus the smoothed bend,
    // interpolated straight between the segments' middles and carried on
    // beyond the first and the last. The fit's own phase without segments
    // enough to follow.
    std::vector<std::complex<double>> phasors(std::size_t count, double omega, double origin) const;

    // Whether the capture lost or repeated samples: in some segment the
    // fundamental's phase steps or its amplitude jumps against the segments
    // around it, or `residual` (what the fit on the tracked phase left)
    // bursts. `amplitude` is the fundamental's.
    bool hasDropout(const std::vector<double>& residual, double amplitude) const;

private:
    void fitSegments(const double* residual, const std::complex<double>* phasor,
                     std::complex<double> fundamental);
    void smooth(double rateHz);
    bool phaseSteps(double limit) const;
    bool amplitudeJumps(double limit) const;

    std::size_t segment_ = 0;
    std::vector<double> amplitude_; // each segment's fundamental against the whole fit's
    std::vector<double> phase_;     // each segment's phase against the whole fit's, unwrapped
    std::vector<double> smoothed_;
};
