// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/es9038state.h"

#include <cstddef>
#include <cstring>

namespace {

// The whole block travels as twelve four-byte windows at 0, 4, ..., 44.
constexpr uint8_t kWindow = 4;
constexpr uint8_t kLastWindow = 44;

constexpr uint8_t kThdFirst = offsetof(SettingsBlock, thd_range0);
constexpr uint8_t kMclkFirst = offsetof(SettingsBlock, pcm_mclk);
constexpr uint8_t kFilterFirst = offsetof(SettingsBlock, pcm_filter);
constexpr int kEntries = 8;
constexpr int kMaxRange = 2;
constexpr uint8_t kMaxMclk = 15;
constexpr uint8_t kMaxShape = 7;
constexpr int kShapeShift = 5;        // the filter shape lives in bits 7..5

const uint8_t* bytesOf(const SettingsBlock& block)
{
    return reinterpret_cast<const uint8_t*>(&block);
}

uint8_t* bytesOf(SettingsBlock& block)
{
    return reinterpret_cast<uint8_t*>(&block);
}

int clampIndex(int index)
{
    return index < 0 ? 0 : index >= kEntries ? kEntries - 1 : index;
}

uint8_t clampRange(uint8_t range)
{
    return range > kMaxRange ? kMaxRange : range;
}

} // namespace

ES9038State::ES9038State(ES9038* commandLayer)
    : commandLayer(commandLayer), importListener(nullptr)
{
}

void ES9038State::readState(OnImportFinishListener* listener)
{
    if (!commandLayer->isConnected())
        return;
    importListener = listener;
    commandLayer->stateListener = this;
    for (uint8_t address = 0; address <= kLastWindow; address += kWindow)
        commandLayer->readSettings(address, kWindow);
}

void ES9038State::onGetState(uint8_t address, const uint8_t* data, uint8_t length)
{
    if (address > kLastWindow)
        return;
    if (length > kWindow)
        length = kWindow;
    memcpy(bytesOf(transfer) + address, data, length);
    if (address != kLastWindow)
        return;

    // The last window has arrived: the block is complete.
    commandLayer->stateListener = nullptr;
    transfer.swapThdByteOrder();
    current = transfer;
    if (importListener) {
        importListener->onImportFinish(this);
        importListener = nullptr;
    }
}

void ES9038State::setVolume(float fraction)
{
    uint8_t attenuation;
    if (fraction > 1)
        attenuation = 0;
    else if (fraction < 0 || fraction != fraction)   // not a number: the quietest
        attenuation = 255;
    else
        attenuation = uint8_t(255 - int(fraction * 255.0f));
    current.volume[0] = attenuation;
    current.volume[1] = attenuation;
    commandLayer->setVolume(attenuation, attenuation);
}

float ES9038State::volume() const
{
    return float(255 - current.volume[0]) / 255.0f;
}

float ES9038State::volumeDb() const
{
    const float f = float(255 - current.volume[0]) / 255.0f;
    const int max = current.volume[2];
    const int min = current.volume[3];
    const float level = f * float(max - min) + float(min);
    const float x = level * -0.5f;
    if (double(x) > -0.4)
        return 0;
    return float(int(x * 2.0f)) / 2.0f;
}

QString ES9038State::volumeDbText() const
{
    return QStringLiteral("%1dB").arg(double(volumeDb()), 0, 'g', 6);
}

const int16_t* ES9038State::thdRange(uint8_t range) const
{
    const int16_t* ranges[] = {current.thd_range0, current.thd_range1, current.thd_range2};
    return ranges[clampRange(range)];
}

int16_t* ES9038State::thdRange(uint8_t range)
{
    int16_t* ranges[] = {current.thd_range0, current.thd_range1, current.thd_range2};
    return ranges[clampRange(range)];
}

int16_t ES9038State::thd2nd(uint8_t range) const
{
    return thdRange(range)[0];
}

int16_t ES9038State::thd3rd(uint8_t range) const
{
    return thdRange(range)[1];
}

void ES9038State::setThd2nd(uint8_t range, int16_t value)
{
    thdRange(range)[0] = value;
    sendThdRange(clampRange(range));
}

void ES9038State::setThd3rd(uint8_t range, int16_t value)
{
    thdRange(range)[1] = value;
    sendThdRange(clampRange(range));
}

// One THD range is one window: its 2nd then its 3rd value, each most
// significant byte first.
void ES9038State::sendThdRange(uint8_t range)
{
    SettingsBlock scratch = current;
    scratch.swapThdByteOrder();
    const uint8_t address = kThdFirst + kWindow * range;
    sendWindows(address, address, scratch);
}

void ES9038State::sendWindows(uint8_t first, uint8_t last, const SettingsBlock& block)
{
    for (uint8_t address = first; address <= last; address += kWindow)
        commandLayer->writeSettings(address, bytesOf(block) + address, kWindow);
}

uint8_t ES9038State::mclk(int index) const
{
    return current.pcm_mclk[clampIndex(index)];
}

void ES9038State::setMclk(int index, uint8_t value)
{
    if (index < 0 || index >= kEntries || value > kMaxMclk)
        return;
    current.pcm_mclk[index] = value;
    sendWindows(kMclkFirst, kMclkFirst + kWindow, current);
}

uint8_t ES9038State::filter(int index) const
{
    return current.pcm_filter[clampIndex(index)] >> kShapeShift;
}

void ES9038State::setFilter(int index, uint8_t shape)
{
    if (index < 0 || index >= kEntries || shape > kMaxShape)
        return;
    current.pcm_filter[index] = uint8_t(shape << kShapeShift);
    sendWindows(kFilterFirst, kFilterFirst + kWindow, current);
}

void ES9038State::writeAll()
{
    if (!commandLayer->isConnected())
        return;
    transfer = current;
    transfer.swapThdByteOrder();
    sendWindows(0, kLastWindow, transfer);
    commandLayer->commitSettings();
}

bool ES9038State::importPreset(const char* path)
{
    SettingsBlock preset;
    if (!preset.readPreset(path))
        return false;
    // The file's hardware type does not replace the device's own.
    memcpy(bytesOf(current) + 1, bytesOf(preset) + 1, sizeof(SettingsBlock) - 1);
    writeAll();
    return true;
}
