// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "device/ct7601.h"

#include <cstdint>

// The command set of the ES9038 DAC behind the bridge. Each command is one
// report exchanged through the link; answers to command 4 (read settings)
// go on to the state listener.
class ES9038 : public CT7601::OnReadDataListener {
public:
    class OnGetStateListener {
    public:
        virtual void onGetState(uint8_t address, const uint8_t* data, uint8_t length) = 0;
    };

    ES9038();
    ~ES9038();
    ES9038(const ES9038&) = delete;
    ES9038& operator=(const ES9038&) = delete;

    bool isConnected() const;
    bool reconnect();
    int writeByte(uint8_t address, uint8_t value);
    int readByte(uint8_t address);
    int writeSettings(uint8_t address, const uint8_t* data, uint8_t count);
    int readSettings(uint8_t address, uint8_t count);
    int commitSettings();
    int setVolume(uint8_t left, uint8_t right);
    int command7();
    int command8();
    int restoreFactory();
    void onReadData(Report report) override;

    // The id of the answer to a settings read: the command's code with bit 7
    // set, as every answer carries it.
    static constexpr uint8_t readSettingsAnswer = 0x84;

    CT7601* link;                         // owned
    OnGetStateListener* stateListener;    // not owned
};
