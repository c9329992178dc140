// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdsweep.h"

#include <QString>

// How the window words the end of a sweep: on its progress bar, and as the
// line it prints on the console.
class SweepText {
public:
    // "Swept at 17 volumes", "Sweep cancelled", "Not swept".
    static QString outcome(const ThdSweep& sweep);
    // "swept: 17 volumes, -40.0 dB to 0.0 dB; the volume was put back", or
    // "not swept: cancelled; ...".
    static QString line(const ThdSweep& sweep);
};
