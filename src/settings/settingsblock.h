// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>

// The device's 48-byte settings block, byte for byte as the device, the
// reports and preset files hold it. The six THD values are big-endian on the
// device, on the wire and in files, host order in memory once converted with
// swapThdByteOrder().
//
//  0 hwType   1 version   2 mute   3 standby
//  4 volume[left, right, max, min]     8 thd_vol_thresholds[2]
// 10 thd_range0[2nd, 3rd]  14 thd_range1  18 thd_range2   (int16 each)
// 22 two unnamed bytes     24 pcm_mclk[8]  32 dsd_mclk[3]  35 unnamed
// 36 pcm_filter[8] (shape in bits 7..5)    44 dsd_filter[3] 47 unnamed
struct SettingsBlock {
    uint8_t hwType;
    uint8_t version;
    uint8_t mute;
    uint8_t standby;
    uint8_t volume[4];              // left, right, max, min
    uint8_t thd_vol_thresholds[2];
    int16_t thd_range0[2];          // 2nd, 3rd
    int16_t thd_range1[2];
    int16_t thd_range2[2];
    uint8_t reserved22[2];
    uint8_t pcm_mclk[8];
    uint8_t dsd_mclk[3];
    uint8_t reserved35;
    uint8_t pcm_filter[8];
    uint8_t dsd_filter[3];
    uint8_t reserved47;

    SettingsBlock();                // holds the defaults
    void setDefaults();
    void swapThdByteOrder();
    static void swap16(int16_t& value);
    static int16_t swapped16(int16_t value);
    void dump() const;
    // The block from 48 bytes in device order, as the device, the reports
    // and preset files hold it; and back.
    static SettingsBlock fromDeviceBytes(const uint8_t* bytes);
    void toDeviceBytes(uint8_t* bytes) const;
    // The THD pairs by number: thdPair(1) is thd_range1, [0] its 2nd and
    // [1] its 3rd harmonic's value.
    static constexpr int thdPairCount = 3;
    // What a THD value can hold: an int16, the full range.
    static constexpr int thdValueLowest = -32768;
    static constexpr int thdValueHighest = 32767;
    int16_t* thdPair(int pair);
    const int16_t* thdPair(int pair) const;
    bool readPreset(const char* path);
};
static_assert(sizeof(SettingsBlock) == 48);
