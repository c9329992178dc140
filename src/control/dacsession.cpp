// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "control/dacsession.h"

#include "settings/blocklayout.h"
#include "settings/fieldassignment.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>

namespace {

using BlockLayout::window;
using BlockLayout::windows;

std::string errorName(int code)
{
    return libusb_error_name(code);
}

} // namespace

DacSession::DacSession(uint16_t vendorId, uint16_t productId)
    : state(&dac), ids(identifiers(vendorId, productId)), name("the DAC " + ids)
{
    dac.link->vendorId = vendorId;
    dac.link->productId = productId;
    dac.link->listener = this;     // every answer passes here on its way to the command layer
}

std::string DacSession::identifiers(uint16_t vendorId, uint16_t productId)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

Error DacSession::open()
{
    if (!dac.reconnect())
        return openFailed();
    // The link goes on without the interface, as the window does; should
    // the exchanges then fail, their message says why they may have.
    if (dac.link->claimError() != 0) {
        claimProblem = "its interface 0 could not be claimed (" + errorName(dac.link->claimError())
                       + "): is another program, such as Sonvale's window, using the DAC?";
    }
    return Error();
}

Error DacSession::openFailed() const
{
    switch (dac.link->failure()) {
    case CT7601::Failure::Init:
        return fail("libusb cannot be initialised");
    case CT7601::Failure::Hotplug:
        return fail("libusb cannot watch the bus for the DAC (hotplug registration failed)");
    case CT7601::Failure::NotFound:
        return fail("no DAC " + ids + " is connected");
    case CT7601::Failure::None:
    case CT7601::Failure::Open:
        break;
    }
    const int error = dac.link->failureCode();
    if (error != LIBUSB_ERROR_ACCESS)
        return fail(name + " cannot be opened (" + errorName(error) + ")");
#ifdef _WIN32
    return fail(name + " cannot be opened for lack of access (LIBUSB_ERROR_ACCESS): its interface 0 needs a "
                "driver libusb can use (the system HID driver, WinUSB, libusbK or UsbDk; Zadig installs WinUSB), "
                "and no other program may hold it");
#else
    return fail(name + " cannot be opened for lack of permission (LIBUSB_ERROR_ACCESS): install the udev rule "
                "70-sonvale.rules that Sonvale installs, run 'udevadm control --reload-rules' as root, "
                "then unplug the DAC and plug it in again");
#endif
}

// The interface that could not be claimed may be why an exchange failed:
// it is said with the cause.
Error DacSession::fail(const std::string& cause) const
{
    return Error(Error::Kind::Device, claimProblem.empty() ? cause : cause + "; " + claimProblem);
}

Error DacSession::answered(int result, int answersBefore, const std::string& what) const
{
    if (!dac.isConnected() || result == LIBUSB_ERROR_NO_DEVICE)
        return fail("the DAC was disconnected");
    if (answers > answersBefore)
        return Error();
    std::string why;
    if (result < 0)
        why = errorName(result);
    else if (result == int(sizeof(Report)))
        why = "its answer lacks the valid bit";
    else
        why = "a transfer of " + std::to_string(result) + " bytes instead of 7";
    return fail("the DAC did not answer " + what + " (" + why + ")");
}

Error DacSession::readBlock(Block& block)
{
    std::fill(std::begin(windowArrived), std::end(windowArrived), false);
    readFinished = false;
    state.readState(this);
    if (!dac.isConnected())
        return fail("the DAC was disconnected");
    std::string missing;
    int count = 0;
    for (int number = 0; number < windows; ++number) {
        if (windowArrived[number])
            continue;
        missing += (count++ ? ", " : "") + std::to_string(number * window);
    }
    if (count > 0) {
        return fail("the read was incomplete: " + std::to_string(count) + " of the " + std::to_string(windows)
                    + " windows did not arrive (at " + missing + ")");
    }
    if (!readFinished)
        return fail("the read was incomplete");
    block = received;
    return Error();
}

Error DacSession::readWindows(const std::vector<uint8_t>& addresses, Block& block)
{
    for (uint8_t address : addresses) {
        windowArrived[address / window] = false;
        const int before = answers;
        const std::string what = "the read at " + std::to_string(address);
        if (Error error = answered(dac.readSettings(address, window), before, what))
            return error;
        if (!windowArrived[address / window])
            return fail("the DAC answered " + what + " with other bytes than asked for");
        std::copy_n(received.begin() + address, window, block.begin() + address);
    }
    return Error();
}

Error DacSession::writeWindow(uint8_t address, const Block& block)
{
    const int before = answers;
    return answered(dac.writeSettings(address, block.data() + address, window), before,
                    "the write at " + std::to_string(address));
}

Error DacSession::writeBlock(const Block& block)
{
    for (int address = 0; address < BlockLayout::size; address += window) {
        if (Error error = writeWindow(uint8_t(address), block))
            return error;
    }
    if (Error error = commit())
        return error;
    return verify(block);
}

Error DacSession::verify(const Block& sent)
{
    Block held;
    if (Error error = readBlock(held))
        return error;
    std::string differences;
    for (const FieldAssignment::Difference& d : FieldAssignment::differences(held.data(), sent.data())) {
        differences += (differences.empty() ? "" : ", ") + d.name + "=" + std::to_string(d.first) + " (sent "
                       + std::to_string(d.second) + ")";
    }
    if (differences.empty())
        return Error();
    // The DAC answered: what it holds is the failure, not the interface.
    return Error(Error::Kind::Device,
                 "the block read back differs from what was sent: the DAC holds " + differences);
}

Error DacSession::setVolume(uint8_t left, uint8_t right)
{
    const int before = answers;
    return answered(dac.setVolume(left, right), before, "the volume command");
}

Error DacSession::verifyVolume(uint8_t left, uint8_t right)
{
    Block held{};
    if (Error error = readWindows({BlockLayout::windowOf(BlockLayout::volumeLeft)}, held))
        return error;
    if (held[BlockLayout::volumeLeft] != left || held[BlockLayout::volumeRight] != right)
        return Error(Error::Kind::Device, "the volume read back differs from what was sent");
    return Error();
}

Error DacSession::setVolumeVerified(uint8_t left, uint8_t right)
{
    if (Error error = setVolume(left, right))
        return error;
    return verifyVolume(left, right);
}

Error DacSession::commit()
{
    const int before = answers;
    return answered(dac.commitSettings(), before, "the commit");
}

Error DacSession::restoreFactory()
{
    const int before = answers;
    return answered(dac.restoreFactory(), before, "the factory restore");
}

bool DacSession::isConnected() const
{
    return dac.isConnected();
}

const DacSession::Identity& DacSession::identity() const
{
    return dac.link->identity();
}

CT7601::UsbLocation DacSession::location() const
{
    return dac.link->location();
}

const ES9038State& DacSession::mirror() const
{
    return state;
}

const std::string& DacSession::interfaceProblem() const
{
    return claimProblem;
}

void DacSession::onReadData(Report report)
{
    ++answers;
    if (report.id == ES9038::readSettingsAnswer && report.length == window && report.addr % window == 0
        && report.addr < windows * window) {
        std::copy_n(report.data, window, received.begin() + report.addr);
        windowArrived[report.addr / window] = true;
    }
    dac.onReadData(report);
}

void DacSession::onImportFinish(ES9038State*)
{
    readFinished = true;
}
