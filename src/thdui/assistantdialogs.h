// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "settings/blocklayout.h"

#include <QString>

#include <array>
#include <cstdint>

class QWidget;

// The questions the THD assistant asks and the files it saves, each a
// dialog over `parent`.
class AssistantDialogs {
public:
    // The tone is loud for a loudspeaker or headphones on the DAC, and the
    // analysis needs the DAC's output on the interface's input: true once
    // the person says OK.
    static bool wiringConfirmed(QWidget* parent);
    // Between a separation's two captures: true once the person has turned
    // the interface's input gain and pressed Continue.
    static bool gainChanged(QWidget* parent);
    // "Save as preset…": asks where to and writes `block` as a preset,
    // saying "saved: PATH" on the console; why not, in words, when it could
    // not ("" also when cancelled).
    static QString savePreset(QWidget* parent, const std::array<uint8_t, BlockLayout::size>& block);
};
