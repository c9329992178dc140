// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "virtualdac.h"

#include <algorithm>

namespace {

constexpr uint8_t kValid = 0x80;

constexpr uint8_t kSetReportType = 0x21;   // host-to-device, class, interface
constexpr uint8_t kGetReportType = 0xA1;   // device-to-host, class, interface
constexpr uint8_t kSetReport = 0x09;
constexpr uint8_t kGetReport = 0x01;
constexpr uint16_t kOutputReport = 0x0200;
constexpr uint16_t kInputReport = 0x0100;

// Settings block offsets the device acts on.
constexpr size_t kVolumeLeft = 4;
constexpr size_t kVolumeRight = 5;

} // namespace

VirtualDac::VirtualDac()
{
    reset();
}

VirtualDac::Block VirtualDac::factoryBlock()
{
    // Device order: the six THD values are big-endian.
    return Block{
        0x73, 0x02, 0x00, 0x00,     // 0  hwType 's', version, mute, standby
        0x19, 0x19, 0x00, 0xFF,     // 4  volume left, right (-12.5 dB), max, min
        0x3C, 0x00,                 // 8  thd_vol_thresholds
        0xFE, 0xD4, 0x01, 0x04,     // 10 thd_range0 2nd -300, 3rd 260
        0x00, 0x2D, 0xFF, 0x88,     // 14 thd_range1 2nd 45, 3rd -120
        0xFF, 0xFC, 0x00, 0x19,     // 18 thd_range2 2nd -4, 3rd 25
        0x00, 0x00,                 // 22 reserved
        0x0F, 0x07, 0x0F, 0x0F,     // 24 pcm_mclk, entry 1 at 7
        0x0F, 0x0F, 0x0F, 0x0F,
        0x00, 0x00, 0x00, 0x00,     // 32 dsd_mclk, reserved
        0xA0, 0x20, 0x20, 0x20,     // 36 pcm_filter, entry 0 "min phase fast"
        0x20, 0x20, 0x20, 0x20,
        0x20, 0x20, 0x20, 0x20,     // 44 dsd_filter, reserved
    };
}

VirtualDac::ReportTransfer VirtualDac::reportTransfer(uint8_t requestType, uint8_t request,
                                                      uint16_t value, uint16_t index, uint16_t length)
{
    if (index != 0 || length != reportSize)
        return ReportTransfer::None;
    if (requestType == kSetReportType && request == kSetReport && value == kOutputReport)
        return ReportTransfer::Set;
    if (requestType == kGetReportType && request == kGetReport && value == kInputReport)
        return ReportTransfer::Get;
    return ReportTransfer::None;
}

void VirtualDac::reset()
{
    block_ = factoryBlock();
    answer_ = Answer{};
    readyAt_ = Clock::time_point{};
    silent_ = false;
    answersInvalid_ = false;
    keepsBlock_ = false;
    hasNextAnswer_ = false;
    nextAnswer_ = Answer{};
}

const VirtualDac::Block& VirtualDac::block() const
{
    return block_;
}

void VirtualDac::setBlock(const Block& block)
{
    block_ = block;
}

void VirtualDac::receive(const uint8_t* request)
{
    if (silent_)
        return;
    const Block before = block_;
    answer_ = execute(request);
    if (keepsBlock_)
        block_ = before;
    if (hasNextAnswer_) {
        answer_ = nextAnswer_;
        hasNextAnswer_ = false;
    }
    if (answersInvalid_)
        answer_[0] &= ~kValid;
    readyAt_ = Clock::now() + answerDelay;
}

bool VirtualDac::answer(uint8_t* out)
{
    if (silent_)
        return false;
    std::copy(answer_.begin(), answer_.end(), out);
    if (Clock::now() < readyAt_)
        out[0] &= ~kValid;
    return true;
}

VirtualDac::Answer VirtualDac::execute(const uint8_t* request)
{
    const uint8_t id = request[0];
    const uint8_t addr = request[1];
    const uint8_t length = std::min<uint8_t>(request[2], 4);
    const uint8_t* data = request + 3;

    Answer a{};
    a[0] = id;
    a[1] = addr;
    switch (id) {
    case 1:
        a[2] = 1;
        a[3] = data[0];
        break;
    case 2:
        a[2] = 1;
        break;
    case 3:
        for (uint8_t i = 0; i < length && addr + i < block_.size(); ++i)
            block_[addr + i] = data[i];
        a[2] = length;
        std::copy(data, data + length, a.begin() + 3);
        break;
    case 4: {
        const size_t left = addr < block_.size() ? block_.size() - addr : 0;
        const uint8_t n = static_cast<uint8_t>(std::min<size_t>(length, left));
        a[2] = n;
        std::copy(block_.begin() + addr, block_.begin() + addr + n, a.begin() + 3);
        break;
    }
    case 6:
        block_[kVolumeLeft] = data[0];
        block_[kVolumeRight] = data[1];
        a[2] = 2;
        a[3] = data[0];
        a[4] = data[1];
        break;
    case 9:
        block_ = factoryBlock();
        break;
    case 5:
    case 7:
    case 8:
        break;
    default:
        a[0] = id & ~kValid;
        return a;
    }
    a[0] = id | kValid;
    return a;
}

void VirtualDac::setSilent(bool silent)
{
    silent_ = silent;
}

void VirtualDac::setAnswersInvalid(bool invalid)
{
    answersInvalid_ = invalid;
}

void VirtualDac::setNextAnswer(const Answer& answer)
{
    nextAnswer_ = answer;
    hasNextAnswer_ = true;
}

void VirtualDac::setKeepsBlock(bool keeps)
{
    keepsBlock_ = keeps;
}
