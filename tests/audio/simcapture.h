// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the suites of the simulated analog path share: the DAC's block with
// the volumes and THD values a test sets, a tone captured as the program
// captures one (ToneCapture) with SONVALE_SIM_ANALOG as given, and the
// coefficients that explain its 2nd and 3rd harmonics.

#include "audio/audiosystem.h"
#include "audio/tonecapture.h"
#include "harmonicfit.h"
#include "usbsim.h"

#include <QByteArray>
#include <QtGlobal>

#include <complex>
#include <cstdint>
#include <vector>

namespace SimCapture {

// The factory block's THD values: pairs (2nd, 3rd) -300/260, 45/-120, -4/25.
inline const std::vector<int> factoryValues{-300, 260, 45, -120, -4, 25};

inline VirtualDac::Block blockWith(uint8_t left, uint8_t right, const std::vector<int>& thd = {})
{
    VirtualDac::Block block = VirtualDac::factoryBlock();
    block[4] = left;
    block[5] = right;
    for (size_t i = 0; i < thd.size(); ++i) {
        block[10 + 2 * i] = uint8_t(uint16_t(thd[i]) >> 8);
        block[11 + 2 * i] = uint8_t(thd[i] & 0xFF);
    }
    return block;
}

// `output`: the device that plays, -1 for the default one (the DAC's).
inline ToneCapture::Result capture(const QByteArray& analog, const VirtualDac::Block& block,
                                   ToneCapture::Settings settings = {}, int output = -1)
{
    UsbSim::reset();
    UsbSim::setBlock(block);
    qputenv("SONVALE_SIM_ANALOG", analog);
    AudioSystem audio;
    if (!audio.isReady()) {
        ToneCapture::Result failed;
        failed.error = audio.failure();
        return failed;
    }
    return ToneCapture::run(output < 0 ? audio.defaultOutput() : output, audio.defaultInput(),
                            settings);
}

struct Measured {
    double amplitude = 0; // of the fundamental
    double a2 = 0;        // the coefficients of v + a2·v² + a3·v³ that explain H2, H3
    double a3 = 0;
};

// For v = A·cos(θ): a2·v² puts a2·A²/2 at 2θ, a3·v³ puts a3·A³/4 at 3θ,
// both in phase with the fundamental.
inline Measured measure(const std::vector<double>& x, double omega)
{
    using Complex = std::complex<double>;
    const std::vector<Complex> a = HarmonicFit::fit(x, omega, 3);
    const double amplitude = std::abs(a[1]);
    const double phase = std::arg(a[1]);
    const Complex h2 = a[2] / amplitude * std::polar(1.0, -2 * phase);
    const Complex h3 = a[3] / amplitude * std::polar(1.0, -3 * phase);
    return {amplitude, 2 * h2.real() / amplitude, 4 * h3.real() / (amplitude * amplitude)};
}

} // namespace SimCapture
