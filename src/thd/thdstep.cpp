// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdstep.h"

ThdStep ThdStep::measuring(int capture, int captures, double seconds, bool newGain)
{
    ThdStep step;
    step.request = Request::Measure;
    step.newGain = newGain;
    step.seconds = seconds;
    step.capture = capture;
    step.captures = captures;
    return step;
}

ThdStep ThdStep::sweeping(double volumeDb, int capture, int captures, double seconds)
{
    ThdStep step = measuring(capture, captures, seconds);
    step.request = Request::Sweep;
    step.volumeDb = volumeDb;
    return step;
}

ThdStep ThdStep::solving(Request request, const ThdSolver::Step& solver, double seconds,
                         int capture, int captures)
{
    ThdStep step = measuring(capture, captures, seconds * solver.lengthFactor);
    step.request = request;
    step.solver = solver;
    return step;
}
