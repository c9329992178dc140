// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <chrono>
#include <cstdint>

// The DAC as its USB bridge presents it: a 48-byte settings block and a
// request/answer exchange of 7-byte reports. Plain C++ so that any USB-level
// attachment (the libusb stand-in, an emulated device node) can drive it.
//
// Report, both ways:
//   byte 0  id      request: command code; answer: command code | 0x80 when valid
//   byte 1  addr    block address
//   byte 2  length  data bytes in use, 0..4
//   3..6    data
//
// Commands:
//   1 write byte   answered 81 addr 1 value (the chip register is not modelled)
//   2 read byte    answered 82 addr 1 0
//   3 write block  stores the data bytes at addr; answered 83 addr length data
//   4 read block   answered 84 addr n block[addr..addr+n-1], n = min(length, 4,
//                  bytes left in the block)
//   5 commit       answered 85 0 0
//   6 volume       block bytes 4, 5 := data 0, 1; answered 86 0 2 left right
//   7, 8           answered 87 / 88 0 0
//   9 factory      block := factory block; answered 89 0 0
//   other          answered with the request's id, bit 7 clear
//
// The answer to a request is ready 90 ms after it arrived (the program waits
// 100 ms). Fetched earlier, the device hands out the answer with bit 7 clear.
// Before the first request it answers seven zero bytes.
class VirtualDac {
public:
    using Clock = std::chrono::steady_clock;
    using Block = std::array<uint8_t, 48>;
    using Answer = std::array<uint8_t, 7>;

    static constexpr std::chrono::milliseconds answerDelay{90};
    static constexpr int reportSize = 7;

    // The bridge carries reports in two HID class requests to interface 0:
    //   SET_REPORT  21 09 00 02 00 00 07 00  (Output report, report ID 0)
    //   GET_REPORT  A1 01 00 01 00 00 07 00  (Input report, report ID 0)
    // Any other control request it stalls.
    enum class ReportTransfer { None, Set, Get };
    static ReportTransfer reportTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                         uint16_t index, uint16_t length);

    VirtualDac();

    // The block the device leaves the factory with, in device order. It
    // differs from the program's defaults in the volume, the THD values,
    // pcm_mclk[1] and pcm_filter[0], so that a read shows.
    static Block factoryBlock();

    // Factory block, nothing pending, no faults.
    void reset();

    const Block& block() const;
    void setBlock(const Block& block);

    // SET_REPORT: the device takes a 7-byte request.
    void receive(const uint8_t* request);
    // GET_REPORT: the 7 bytes the device hands out now; false when it gives
    // nothing at all (a silent device: the transfer times out).
    bool answer(uint8_t* out);

    // Faults of the device itself.
    void setSilent(bool silent);           // takes nothing, never answers
    void setAnswersInvalid(bool invalid);  // every answer has bit 7 clear
    void setNextAnswer(const Answer& answer); // the answer to the next request, as given
    void setKeepsBlock(bool keeps);        // answers writes (3, 6, 9) as usual, block unchanged

private:
    Answer execute(const uint8_t* request);

    Block block_;
    Answer answer_{};
    Clock::time_point readyAt_;
    bool silent_ = false;
    bool answersInvalid_ = false;
    bool keepsBlock_ = false;
    bool hasNextAnswer_ = false;
    Answer nextAnswer_{};
};
