// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>
#include <cstdint>

// One 7-byte HID report, the same layout both ways:
//   byte 0  id      request: command code; answer: bit 7 set when valid
//   byte 1  addr    address the command refers to
//   byte 2  length  data bytes in use, 0..4
//   3..6    data    unused bytes are 0
struct Report {
    uint8_t id = 0;
    uint8_t addr = 0;
    uint8_t length = 0;
    uint8_t data[4] = {0, 0, 0, 0};

    Report();
    Report(uint8_t id, uint8_t addr, uint8_t length, const uint8_t* data);
    uint8_t* bytes();                 // the seven bytes in order
    const uint8_t* bytes() const;
    QString toString() const;
};
static_assert(sizeof(Report) == 7);
