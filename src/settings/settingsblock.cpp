// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/settingsblock.h"

#include "settings/presetfile.h"

#include <cstdio>
#include <cstring>

SettingsBlock::SettingsBlock()
{
    // The defaults leave the unnamed bytes alone; a fresh block starts them at
    // zero so that it is the same 48 bytes every time.
    reserved22[0] = 0;
    reserved22[1] = 0;
    reserved35 = 0;
    setDefaults();
}

void SettingsBlock::setDefaults()
{
    hwType = 's';
    version = 1;
    mute = 1;
    standby = 1;
    volume[0] = 0x00;
    volume[1] = 0x00;
    volume[2] = 0x00;
    volume[3] = 0xFF;
    thd_vol_thresholds[0] = 0x3C;
    thd_vol_thresholds[1] = 0x00;
    thd_range0[0] = 0;
    thd_range0[1] = 130;
    thd_range1[0] = 0;
    thd_range1[1] = 130;
    thd_range2[0] = -4;
    thd_range2[1] = 25;
    std::memset(pcm_mclk, 0x0F, sizeof pcm_mclk);
    std::memset(dsd_mclk, 0x00, sizeof dsd_mclk);
    std::memset(pcm_filter, 0x20, sizeof pcm_filter);
    std::memset(dsd_filter, 0x20, sizeof dsd_filter);
    reserved47 = 0x20;
}

// The device stores the THD values most significant byte first; the hosts we
// run on are little-endian, so the conversion is the same exchange both ways.
void SettingsBlock::swapThdByteOrder()
{
    for (int pair = 0; pair < thdPairCount; ++pair) {
        swap16(thdPair(pair)[0]);
        swap16(thdPair(pair)[1]);
    }
}

int16_t* SettingsBlock::thdPair(int pair)
{
    return const_cast<int16_t*>(static_cast<const SettingsBlock*>(this)->thdPair(pair));
}

const int16_t* SettingsBlock::thdPair(int pair) const
{
    const int16_t* pairs[thdPairCount] = {thd_range0, thd_range1, thd_range2};
    return pairs[pair];
}

void SettingsBlock::swap16(int16_t& value)
{
    value = swapped16(value);
}

int16_t SettingsBlock::swapped16(int16_t value)
{
    const auto bits = static_cast<uint16_t>(value);
    return static_cast<int16_t>(static_cast<uint16_t>((bits << 8) | (bits >> 8)));
}

void SettingsBlock::dump() const
{
    std::printf("hwType=%c\nversion=%d\nmute=%d\nstandby=%d\n", hwType, version, mute, standby);
    std::printf("volume[left,right,max,min]: 0x%x 0x%x 0x%x 0x%x\n",
                volume[0], volume[1], volume[2], volume[3]);
    std::printf("thd_vol_thresholds: 0x%x 0x%x\n", thd_vol_thresholds[0], thd_vol_thresholds[1]);
    std::printf("thd_range0: 2nd=%d 3rd=%d\n", thd_range0[0], thd_range0[1]);
    std::printf("thd_range1: 2nd=%d 3rd=%d\n", thd_range1[0], thd_range1[1]);
    std::printf("thd_range2: 2nd=%d 3rd=%d\n", thd_range2[0], thd_range2[1]);
    std::printf("pcm_mclk[44.1 ...]: %d %d %d %d %d %d %d %d\n",
                pcm_mclk[0], pcm_mclk[1], pcm_mclk[2], pcm_mclk[3],
                pcm_mclk[4], pcm_mclk[5], pcm_mclk[6], pcm_mclk[7]);
    std::printf("dsd_mclk[64 ...]: %d %d %d\n", dsd_mclk[0], dsd_mclk[1], dsd_mclk[2]);
    std::printf("pcm_filter[44.1 ...]: 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\n",
                pcm_filter[0], pcm_filter[1], pcm_filter[2], pcm_filter[3],
                pcm_filter[4], pcm_filter[5], pcm_filter[6], pcm_filter[7]);
    std::printf("dsd_filter[64 ...]: 0x%x 0x%x 0x%x\n", dsd_filter[0], dsd_filter[1], dsd_filter[2]);
}

SettingsBlock SettingsBlock::fromDeviceBytes(const uint8_t* bytes)
{
    SettingsBlock block;
    std::memcpy(static_cast<void*>(&block), bytes, sizeof block);
    block.swapThdByteOrder();
    return block;
}

void SettingsBlock::toDeviceBytes(uint8_t* bytes) const
{
    SettingsBlock block = *this;
    block.swapThdByteOrder();
    std::memcpy(bytes, &block, sizeof block);
}

bool SettingsBlock::readPreset(const char* path)
{
    std::FILE* file = PresetFile::open(path, "rb");
    if (!file)
        return false;
    // Unbuffered, so that nothing past the checksum is ever read from the file.
    std::setvbuf(file, nullptr, _IONBF, 0);

    uint8_t block[PresetFile::blockSize];
    uint8_t stored[2];
    const bool complete = std::fread(block, 1, sizeof block, file) == sizeof block
                          && std::fread(stored, 1, sizeof stored, file) == sizeof stored;
    std::fclose(file);
    if (!complete)
        return false;

    const PresetFile::Checksum sum = PresetFile::checksum(block);
    if (stored[0] != sum.a)
        return false;
    if (stored[1] != sum.b)
        return false;

    *this = fromDeviceBytes(block);
    return true;
}
