// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/es9038state.h"

#include "settings/blocklayout.h"

#include <cstring>

namespace {

using namespace BlockLayout;

const uint8_t* bytesOf(const SettingsBlock& block)
{
    return reinterpret_cast<const uint8_t*>(&block);
}

uint8_t* bytesOf(SettingsBlock& block)
{
    return reinterpret_cast<uint8_t*>(&block);
}

// The three THD ranges.
constexpr int kMaxRange = 2;

int clampIndex(int index)
{
    return index < 0 ? 0 : index >= rateEntries ? rateEntries - 1 : index;
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
    for (uint8_t address = 0; address <= lastWindow; address += window)
        commandLayer->readSettings(address, window);
}

void ES9038State::onGetState(uint8_t address, const uint8_t* data, uint8_t length)
{
    if (address > lastWindow)
        return;
    if (length > window)
        length = window;
    memcpy(bytesOf(transfer) + address, data, length);
    if (address != lastWindow)
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
    return volumeDbOf(current.volume[0], current.volume[2], current.volume[3]);
}

float ES9038State::volumeDbOf(uint8_t attenuation, uint8_t maxByte, uint8_t minByte)
{
    const float f = float(255 - attenuation) / 255.0f;
    const int max = maxByte;
    const int min = minByte;
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
    return current.thdPair(clampRange(range));
}

int16_t* ES9038State::thdRange(uint8_t range)
{
    return current.thdPair(clampRange(range));
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
    const uint8_t address = thdFirst + window * range;
    sendWindows(address, address, scratch);
}

void ES9038State::sendWindows(uint8_t first, uint8_t last, const SettingsBlock& block)
{
    for (uint8_t address = first; address <= last; address += window)
        commandLayer->writeSettings(address, bytesOf(block) + address, window);
}

uint8_t ES9038State::mclk(int index) const
{
    return current.pcm_mclk[clampIndex(index)];
}

void ES9038State::setMclk(int index, uint8_t value)
{
    if (index < 0 || index >= rateEntries || value > maxMclk)
        return;
    current.pcm_mclk[index] = value;
    sendWindows(mclkFirst, mclkFirst + window, current);
}

uint8_t ES9038State::filter(int index) const
{
    return current.pcm_filter[clampIndex(index)] >> shapeShift;
}

void ES9038State::setFilter(int index, uint8_t shape)
{
    if (index < 0 || index >= rateEntries || shape > maxShape)
        return;
    current.pcm_filter[index] = uint8_t(shape << shapeShift);
    sendWindows(filterFirst, filterFirst + window, current);
}

void ES9038State::writeAll()
{
    if (!commandLayer->isConnected())
        return;
    transfer = current;
    transfer.swapThdByteOrder();
    sendWindows(0, lastWindow, transfer);
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
