// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "device/es9038.h"
#include "settings/blocklayout.h"
#include "settings/es9038state.h"

#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One connection to the DAC for a front end (a sonvalectl command, the THD
// assistant), through the program's own command layer and mirror, so that
// every exchange is the one the window makes. Every answer is counted on its
// way up from the link: an exchange without a valid answer, or a read that
// misses a window, is a failure, never a block taken as read.
//
// The operations return no error when they went through, otherwise a
// Kind::Device error with its cause.
class DacSession final : public CT7601::OnReadDataListener, public ES9038State::OnImportFinishListener {
public:
    using Block = std::array<uint8_t, BlockLayout::size>;    // device order, as on the wire

    using Identity = CT7601::Identity;

    DacSession(uint16_t vendorId, uint16_t productId);

    Error open();
    // The whole block, read as the window reads it (the mirror's twelve
    // reads); the mirror then holds it too.
    Error readBlock(Block& block);
    // Only the four-byte windows at `addresses`; their bytes land in `block`.
    Error readWindows(const std::vector<uint8_t>& addresses, Block& block);
    Error writeWindow(uint8_t address, const Block& block);
    // Every window of `block` written as the window's import writes them,
    // committed, then verified.
    Error writeBlock(const Block& block);
    // Reads the whole block back and compares it with what was sent; the
    // error's cause names every value that differs.
    Error verify(const Block& sent);
    Error setVolume(uint8_t left, uint8_t right);
    // Reads the volume's window back; an error when it holds another volume
    // than `left` and `right`.
    Error verifyVolume(uint8_t left, uint8_t right);
    // setVolume, then verifyVolume: a volume put back is known to be back.
    Error setVolumeVerified(uint8_t left, uint8_t right);
    Error commit();
    Error restoreFactory();

    // False once the DAC has left the bus.
    bool isConnected() const;
    const Identity& identity() const;
    // Where the open DAC sits on the bus: which audio device is its own.
    CT7601::UsbLocation location() const;
    const ES9038State& mirror() const;
    // Why interface 0 could not be claimed; empty when it was.
    const std::string& interfaceProblem() const;

    // "2fc6:6013"
    static std::string identifiers(uint16_t vendorId, uint16_t productId);

    void onReadData(Report report) override;
    void onImportFinish(ES9038State* state) override;

private:
    Error openFailed() const;
    Error answered(int result, int answersBefore, const std::string& what) const;
    Error fail(const std::string& cause) const;

    ES9038 dac;
    ES9038State state;
    std::string claimProblem;
    std::string ids;          // "2fc6:6013"
    std::string name;         // "the DAC 2fc6:6013"

    int answers = 0;          // valid answers of any kind
    Block received{};         // the data of the settings reads answered
    bool windowArrived[BlockLayout::windows] = {};
    bool readFinished = false;
};
