// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// A loopback records the DAC and the audio interface together: each
// harmonic it measures is the DAC's plus the interface's own. The two are
// told apart by changing the interface's input gain between two captures.
//
// The DAC's harmonic k, relative to its fundamental, does not depend on what
// the interface does with the signal. The interface's own harmonic k comes
// from its input stage's curve, which the signal reaches r times as loud
// after the change: relative to the fundamental it scales with r^(k−1). So
// each phase-referenced harmonic splits as
//     m1 = D + E            (the first capture)
//     m2 = D + E·q,  q = r^(k−1)
// with D the DAC's share and E the interface's at the first capture's gain,
// both complex, and
//     E = (m1 − m2)/(1 − q),   D = (m2 − q·m1)/(1 − q).
// r is measured from the fundamental's level in the two captures, never
// typed. The closer q lies to 1 the more the captures' noise is amplified:
// below a 3 dB change the shares are not told.

#include "measure/analysis.h"

#include <complex>
#include <string>
#include <vector>

class InterfaceSeparation {
public:
    static constexpr double smallestChangeDb = 3;
    static constexpr int highestOrder = 5; // H2..H5, as the reports show them

    // A share of one harmonic, relative to the fundamental and referred to
    // its phase as ChannelAnalysis::harmonics are; `sigma` the standard
    // deviation of its real and of its imaginary part that the captures'
    // noise leaves.
    struct Share {
        std::complex<double> value;
        double sigma = 0;

        double dbc() const;
        double phaseDeg() const; // (−180°, 180°]
        // One standard deviation, in dB of its size and degrees of its
        // phase; NaN where the noise is as large as the share.
        double uncertaintyDb() const;
        double uncertaintyDeg() const;
    };

    struct Harmonic {
        Share dac;
        Share interface1; // at the first capture's gain
    };

    struct Channel {
        double gainChangeDb = 0;         // the second capture's fundamental against the first's
        std::vector<Harmonic> harmonics; // [order − 2], H2..H5
    };

    // The shares of each channel of two captures of the same tone, the
    // interface's input gain changed between them. Told only when every
    // channel's level changed by smallestChangeDb or more; `unsplit` names
    // the channel and the change otherwise. The captures must have no
    // problems.
    static InterfaceSeparation split(const CaptureAnalysis& first, const CaptureAnalysis& second,
                                     const std::vector<std::string>& channelNames);

    bool ok() const { return unsplit.empty(); }
    std::string unsplit; // why the shares could not be told
    std::vector<Channel> channels;
    // The mean change over the channels, dB.
    double gainChangeDb() const;

    // The interface's share at the second capture's gain taken out of a
    // capture made at that gain: its harmonics become the DAC's, its THD
    // theirs (THD+N, which counts the interface's noise, is left).
    void removeInterface(CaptureAnalysis& analysis) const;
    // The interface's share of harmonic `order` at the second capture's
    // gain, dBc.
    double interfaceAtSecondDbc(std::size_t channel, int order) const;
};
