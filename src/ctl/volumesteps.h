// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

// The DAC's volumes a sweep steps through, from "FROM:TO:STEP" in dB: FROM,
// then on by STEP towards TO (down when FROM lies above TO), and TO itself
// last even where STEP does not land on it. Each volume is rounded to a
// hundredth of a decibel, so that -40 + 0.1 · n prints as it reads.
class VolumeSteps {
public:
    // The default sweep: -40 dB to 0 dB in steps of 2.5 dB.
    VolumeSteps();

    // False, with the reason in a sentence, when `text` is not three numbers,
    // STEP is not above 0, a volume lies outside -127.5 to 0 dB or the sweep
    // holds more than `mostPoints` volumes.
    bool parse(const std::string& text, std::string& error);

    const std::vector<double>& volumesDb() const;

    static constexpr std::size_t mostPoints = 200;

private:
    std::vector<double> volumes;
};
