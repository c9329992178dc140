// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "settings/settingsblock.h"

#include <cstddef>
#include <cstdint>

// Where things lie in the DAC's 48-byte settings block and how the block
// travels: every rule that the mirror, the command-line tools and the preset
// files must agree on, written down once.
namespace BlockLayout {

constexpr int size = int(sizeof(SettingsBlock));

// The DAC reads and writes the block in four-byte windows at multiples of 4;
// a read of the whole block is the twelve windows at 0, 4, ..., 44.
constexpr uint8_t window = 4;
constexpr int windows = size / window;
constexpr uint8_t lastWindow = uint8_t(size - window);

constexpr int volumeLeft = int(offsetof(SettingsBlock, volume));
constexpr int volumeRight = volumeLeft + 1;
constexpr int rateEntries = 8;      // pcm_mclk and pcm_filter: one per PCM rate, 44.1 kHz up

// The three THD ranges (bytes 10 to 21) lie across the four-byte windows.
// The window writes each range as a window of its own, starting where the
// range starts (10, 14, 18): its 2nd value, then its 3rd, each most
// significant byte first.
constexpr int thdFirst = int(offsetof(SettingsBlock, thd_range0));
constexpr int thdEnd = int(offsetof(SettingsBlock, reserved22));

constexpr uint8_t mclkFirst = uint8_t(offsetof(SettingsBlock, pcm_mclk));
constexpr uint8_t filterFirst = uint8_t(offsetof(SettingsBlock, pcm_filter));

// The window offers pcm_mclk entries 0..15 and filter shapes 0..7, which a
// pcm_filter byte holds in its bits 7..5; bits 4..0 stay zero.
constexpr uint8_t maxMclk = 15;
constexpr uint8_t maxShape = 7;
constexpr int shapeShift = 5;
constexpr uint8_t shapeBits = uint8_t(maxShape << shapeShift);

// The window that a change of byte `offset` is written in, as the window
// writes it: a THD range's own window, otherwise the four-byte window that
// holds the byte.
constexpr uint8_t windowOf(int offset)
{
    if (offset >= thdFirst && offset < thdEnd)
        return uint8_t(thdFirst + (offset - thdFirst) / window * window);
    return uint8_t(offset / window * window);
}

// Values no edit in the window produces: a pcm_mclk entry above 15, a
// pcm_filter byte with any of bits 4..0 set.
constexpr bool windowSetsMclk(uint8_t value)
{
    return value <= maxMclk;
}

constexpr bool windowSetsFilter(uint8_t value)
{
    return (value & ~shapeBits) == 0;
}

} // namespace BlockLayout
