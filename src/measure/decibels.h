// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cmath>

// Every level in this folder is an amplitude ratio in decibels (20·log10).
//
// 0 dBFS is a full-scale sine: peak 1.0, RMS 1/√2. A tone's level in dBFS is
// 20·log10 of its peak. Noise and residuals are given by their RMS against
// that sine's RMS (as AES17 does), so their level in dBFS is
// 20·log10(rms·√2): white noise at -130 dBFS has an RMS of 10^(-130/20)/√2.
// dBc is relative to the fundamental of the same channel.

inline double dbToLinear(double db)
{
    return std::pow(10.0, db / 20.0);
}

// -inf for a ratio of 0.
inline double linearToDb(double ratio)
{
    return 20.0 * std::log10(ratio);
}
