// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <vector>

// Turns the phase of a signal by the same angle at every frequency, as the
// analog stages after the DAC turn what reaches them at 2f and 3f against
// the distortion they add themselves: rotated by θ, w becomes
// cos θ·w − sin θ·H(w), H the Hilbert transform (cos → sin), so that
// cos(ωt) comes out as cos(ωt + θ).
//
// H is a linear-phase FIR (a Kaiser-windowed 2/(πk) at odd k), so the
// filter delays: what passes unrotated is delayed to match, and the sum
// comes out delay() samples late. Its length grows with the rate so that
// H's gain stays within 1e-6 of 1 (its phase is exact) from 500 Hz to
// 500 Hz below half the rate: the 2nd and 3rd harmonics of any tone from
// 300 Hz up come out right to far below 0.01°.
class RotationFilter {
public:
    explicit RotationFilter(double rate = 48000);

    int delay() const { return half_; }
    double rate() const { return rate_; }

    // Takes the next sample of what passes unrotated and of what is turned
    // by 90°; returns direct − H(quadrature), delay() samples late.
    double push(double direct, double quadrature);
    // Silence before the next sample.
    void clear();

private:
    double rate_;
    int half_;                 // odd: the outermost tap is H's
    std::vector<double> taps_; // H at 1, 3, ..., half_; at -k it is -H(k)
    // The last 2·half_ + 1 samples of each input, twice over, so that they
    // lie in one piece from any starting point.
    std::vector<double> direct_;
    std::vector<double> quadrature_;
    int next_ = 0;
};
