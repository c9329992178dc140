// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <cstdint>
#include <string>
#include <vector>

// The settings a DAC held before each sonvalectl command that changed them:
// one preset file an entry, the newest 100 kept, in a folder of the device's
// own under the user's data folder (QStandardPaths' GenericDataLocation):
//
//   <data>/sonvale/history/2fc6-6013-SV9038-0001/00000042-20261207T101502Z.sonvale
//
// The number orders the entries; the device is named by its identifiers and
// its serial, where it has one. Each file is a preset as sonvale-preset
// writes one, so that sonvale-preset and load take it as it is; after its 50
// bytes, which a preset reader ignores, a few lines say when it was kept,
// from which device and what the command was:
//
//   sonvalectl history
//   time: 2026-12-07T11:15:02+01:00
//   device: 2fc6:6013
//   serial: SV9038-0001
//   command: set pcm_mclk[2]=4
class History {
public:
    static constexpr int kept = 100;

    struct Entry {
        unsigned long long number;  // the order in which they were kept
        std::string path;       // UTF-8
        std::string time;       // ISO 8601 with the offset from UTC, as kept
        std::string command;
    };

    History(uint16_t vendorId, uint16_t productId, const std::string& serial);

    // The folder of the device's entries, and the folder of all of them;
    // empty when the system names no data folder.
    const std::string& folder() const;
    static std::string root();

    // Newest first.
    std::vector<Entry> entries() const;

    // Creates the device's folder, so that a folder that cannot be made
    // stops a command before it sends anything. A Kind::File error when it
    // cannot be made.
    Error prepare() const;

    // Keeps `block` (device order) as the newest entry, followed by
    // `command`, and drops the entries beyond the newest 100. On a
    // Kind::File error nothing was kept.
    Error record(const uint8_t* block, const std::string& command) const;

    // "2026-12-07 11:15:02" in local time, from the time an entry keeps.
    static std::string localTime(const std::string& time);

private:
    std::string device;     // "2fc6:6013"
    std::string serial;
    std::string folder_;
};
