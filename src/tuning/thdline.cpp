// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/thdline.h"

#include <cmath>

void ThdLine::add(double value, std::complex<double> harmonic, double noise)
{
    if (!(noise > 0) || !std::isfinite(noise) || !std::isfinite(harmonic.real())
        || !std::isfinite(harmonic.imag()))
        return;
    if (count == 0)
        origin = value;
    const double c = value - origin;
    const double weight = 1 / (noise * noise);
    weights += weight;
    sumC += weight * c;
    sumCC += weight * c * c;
    sumH += weight * harmonic;
    sumCH += weight * c * harmonic;
    ++count;
}

bool ThdLine::fits() const
{
    // The weighted spread of the values: 0 when they all lie at one.
    return count >= 2 && sumCC - sumC * sumC / weights > 0;
}

std::complex<double> ThdLine::slope() const
{
    if (!fits())
        return 0;
    return (sumCH - sumC * sumH / weights) / (sumCC - sumC * sumC / weights);
}
