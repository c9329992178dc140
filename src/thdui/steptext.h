// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdstep.h"

#include <QString>

// How the window words the capture the engine is about to make, on its
// progress bar.
class StepText {
public:
    // "Measuring, capture 1 of 1", "Probing thd_range1 (the 2nd and 3rd
    // harmonic), capture 3 of 7", "At -15.0 dB: Measuring the start, capture
    // 5 of 12", "At -37.5 dB, capture 2 of 17".
    static QString of(const ThdStep& step);

private:
    // What the solver knows of a capture before it is made: "Refining both
    // outputs' values (a 4-second capture)".
    static QString solverStep(const ThdStep& step);
};
