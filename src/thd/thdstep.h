// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "tuning/thdsolver.h"

#include <QMetaType>

#include <optional>

// A capture about to be made, as the engine knows it: which request it
// belongs to, what it is for and where it stands in the count. The window
// words it; the numbers also drive its bar.
struct ThdStep {
    enum class Request { Measure, Tune, Map, Sweep };

    Request request = Request::Measure;
    // Tune and Map: what the solver knows of the capture (its purpose, the
    // pair probed, the attempt, the round, the outputs, the length).
    ThdSolver::Step solver;
    // Map and Sweep: the DAC's volume the capture is made at, both outputs.
    std::optional<double> volumeDb;
    // Measure: the second capture of a separation, at the input gain the
    // person has just set.
    bool newGain = false;
    // How long the capture lasts, seconds (the solver may ask for longer
    // ones near the null).
    double seconds = 1;
    int capture = 0;  // counted from 1 across the whole request
    int captures = 0; // planned so far, this one included; it may grow

    // One capture of a measurement, or of a sweep at `volumeDb`.
    static ThdStep measuring(int capture, int captures, double seconds, bool newGain = false);
    static ThdStep sweeping(double volumeDb, int capture, int captures, double seconds);
    // What the solver announces; a map's count runs across its volumes,
    // `capture` and `captures` say where.
    static ThdStep solving(Request request, const ThdSolver::Step& solver, double seconds,
                           int capture, int captures);
};

Q_DECLARE_METATYPE(ThdStep)
