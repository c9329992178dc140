// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The Kaiser window (beta 14) that shapes the simulated analog path's
// filters: its sidelobes lie some 135 dB down, so that a filter cut off
// by it leaves nothing a measurement of -130 dBc harmonics could see.
class KaiserWindow {
public:
    static constexpr double beta = 14;

    // The window at u, |u| <= 1 (1 at the centre, I0(0)/I0(beta) at the
    // ends), from a table fine enough that linear interpolation in it stays
    // below -150 dB.
    static double at(double u);
};
