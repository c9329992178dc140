// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "device/es9038.h"
#include "settings/blocklayout.h"
#include "settings/es9038state.h"

#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One connection to the DAC for one sonvalectl command, through the
// program's own command layer and mirror, so that every exchange is the one
// the window makes. Every answer is counted on its way up from the link:
// an exchange without a valid answer, or a read that misses a window, is a
// failure, never a block taken as read.
//
// The operations return false on failure and leave its cause in error().
class DacSession final : public CT7601::OnReadDataListener, public ES9038State::OnImportFinishListener {
public:
    using Block = std::array<uint8_t, BlockLayout::size>;    // device order, as on the wire

    using Identity = CT7601::Identity;

    DacSession(uint16_t vendorId, uint16_t productId);

    bool open();
    // The whole block, read as the window reads it (the mirror's twelve
    // reads); the mirror then holds it too.
    bool readBlock(Block& block);
    // Only the four-byte windows at `addresses`; their bytes land in `block`.
    bool readWindows(const std::vector<uint8_t>& addresses, Block& block);
    bool writeWindow(uint8_t address, const Block& block);
    // Every window of `block` written as the window's import writes them,
    // committed, then verified.
    bool writeBlock(const Block& block);
    // Reads the whole block back and compares it with what was sent; the
    // error names every value that differs.
    bool verify(const Block& sent);
    bool setVolume(uint8_t left, uint8_t right);
    bool commit();
    bool restoreFactory();

    // False once the DAC has left the bus.
    bool isConnected() const;
    const Identity& identity() const;
    // Where the open DAC sits on the bus: which audio device is its own.
    CT7601::UsbLocation location() const;
    const ES9038State& mirror() const;
    const std::string& error() const;
    // Why interface 0 could not be claimed; empty when it was.
    const std::string& interfaceProblem() const;

    // "2fc6:6013"
    static std::string identifiers(uint16_t vendorId, uint16_t productId);

    void onReadData(Report report) override;
    void onImportFinish(ES9038State* state) override;

private:
    bool openFailed();
    bool answered(int result, int answersBefore, const std::string& what);
    bool fail(const std::string& cause);

    ES9038 dac;
    ES9038State state;
    std::string error_;
    std::string claimProblem;
    std::string ids;          // "2fc6:6013"
    std::string name;         // "the DAC 2fc6:6013"

    int answers = 0;          // valid answers of any kind
    Block received{};         // the data of the settings reads answered
    bool windowArrived[BlockLayout::windows] = {};
    bool readFinished = false;
};
