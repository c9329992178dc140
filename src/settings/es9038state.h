// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "device/es9038.h"
#include "settings/settingsblock.h"

#include <QString>
#include <cstdint>

// The program's copy of the device's settings block, and the one place where
// edits become device commands.
class ES9038State : public ES9038::OnGetStateListener {
public:
    class OnImportFinishListener {
    public:
        virtual void onImportFinish(ES9038State* state) = 0;
    };

    explicit ES9038State(ES9038* commandLayer);
    void readState(OnImportFinishListener* listener);
    void onGetState(uint8_t address, const uint8_t* data, uint8_t length) override;
    void setVolume(float fraction);
    float volume() const;
    float volumeDb() const;
    // The level in dB that the window shows for a channel's attenuation
    // byte, between the block's max and min bytes (volumeDb() is the left
    // channel's).
    static float volumeDbOf(uint8_t attenuation, uint8_t max, uint8_t min);
    QString volumeDbText() const;
    int16_t thd2nd(uint8_t range) const;
    int16_t thd3rd(uint8_t range) const;
    void setThd2nd(uint8_t range, int16_t value);
    void setThd3rd(uint8_t range, int16_t value);
    uint8_t mclk(int index) const;
    void setMclk(int index, uint8_t value);
    uint8_t filter(int index) const;
    void setFilter(int index, uint8_t shape);
    void writeAll();
    bool importPreset(const char* path);

    ES9038* commandLayer;                 // public, not owned

private:
    int16_t* thdRange(uint8_t range);
    const int16_t* thdRange(uint8_t range) const;
    void sendThdRange(uint8_t range);
    void sendWindows(uint8_t first, uint8_t last, const SettingsBlock& block);

    SettingsBlock current;                // host order
    SettingsBlock transfer;               // staging copy, device order
    OnImportFinishListener* importListener;
};
