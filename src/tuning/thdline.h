// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// One phase-referenced harmonic as a straight line in one compensation
// value, h = a + g·c, fitted by weighted least squares to the captures that
// tell it: each point weighs 1/σ², σ the noise of the real and of the
// imaginary part of its h. The fit is of the complex h on the real c, so
// the slope g keeps the direction in which the value moves the harmonic.

#include <complex>

class ThdLine {
public:
    void add(double value, std::complex<double> harmonic, double noise);

    // At least two points at different values, each with a finite noise.
    bool fits() const;
    int points() const { return count; }
    // g, per unit of the value; 0 while the line does not fit.
    std::complex<double> slope() const;

private:
    // Sums over the points, of the value taken from the first point's: the
    // values lie within a few hundred units of each other or up to the
    // whole range apart, and their squares would drown the spread.
    double origin = 0;
    double weights = 0;
    double sumC = 0;
    double sumCC = 0;
    std::complex<double> sumH = 0;
    std::complex<double> sumCH = 0;
    int count = 0;
};
