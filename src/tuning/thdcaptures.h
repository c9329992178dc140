// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The captures of one tuning, each with the values it was made at and its
// length, and what they tell of each compensation value: the line its
// harmonic follows on each output (ThdLine), the step from a capture to that
// line's null, how well the capture tells it and how well it is needed; and
// so the values and the length of the next capture.
//
// A line takes every capture in which, of the values that act on that
// harmonic at that output, only its own differs from the start: a probe of
// another pair, or a refinement that moves another pair's value, would
// otherwise lay that value's effect on this one's.

#include "measure/analysis.h"
#include "tuning/thdline.h"
#include "tuning/thdsolver.h"

#include <array>
#include <complex>
#include <cstddef>
#include <vector>

class ThdCaptures {
public:
    struct Capture {
        ThdValues values;
        CaptureAnalysis analysis;
        double lengthFactor = 1;
    };

    // What the capture planned from says of one value (a pair's 2nd or 3rd).
    struct Plan {
        bool solvable = false;   // it moves its harmonic on an output its pair drives
        double step = 0;         // from the capture's value to the null, in units
        double uncertainty = 0;  // of that step, from the capture's noise
        double needed = 0;       // how well the value is needed, in units
        double lengthFactor = 1; // the capture that tells it that well
        bool settled = false;    // told that well, and at most that far from the null
    };

    // The values to capture next from the capture `from`: each value not
    // yet settled stepped to its null (rounded, within the range).
    struct Next {
        ThdValues values;
        double lengthFactor = 1;  // the longest any of them needs
        std::vector<int> outputs; // those whose values are not settled
        bool settled = true;      // every value solvable is
        bool beyondRange = false; // a null lies outside the register's range
    };

    void setOutputs(int outputs);
    void add(const ThdValues& values, const CaptureAnalysis& analysis, double lengthFactor);
    std::size_t size() const { return captures.size(); }
    const Capture& at(std::size_t index) const { return captures.at(index); }

    // Whether a pair's 2nd (which 0) or 3rd (1) value moved its harmonic on
    // an output beyond the noise when probed.
    void setActs(int pair, int output, int which, bool acts);
    bool acts(int pair, int output, int which) const;

    ThdLine line(int pair, int which, int output) const;
    Next next(const std::array<ThdSolver::PairEffect, 3>& pairs, std::size_t from,
              const ThdSolver::Settings& settings) const;

    // H2 (which 0) or H3 (1) of an output, and the noise of each of its parts.
    static std::complex<double> harmonic(const CaptureAnalysis& capture, int output, int which);
    static double noise(const CaptureAnalysis& capture, int output);
    // Σ |H2|² + |H3|² over the outputs: what the tuning lowers; its mean
    // from noise alone, and how far noise moves it about its mean.
    static double distortion(const CaptureAnalysis& capture);
    static double noiseDistortion(const CaptureAnalysis& capture);
    static double distortionSpread(const CaptureAnalysis& capture);
    // The largest of H2 and H3 over the outputs.
    static double worstDbc(const CaptureAnalysis& capture);

private:
    // The step of a value from the capture `from` to the null of its
    // harmonic on `outputs` (those its pair drives): one value for all of
    // them, where their squared sum is least.
    Plan plan(int pair, int which, const std::vector<int>& outputs, std::size_t from,
              const ThdSolver::Settings& settings) const;

    std::vector<Capture> captures;
    std::array<std::vector<std::array<bool, 2>>, 3> acting;
};
