// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "device/es9038.h"

#include <algorithm>

namespace {

// Command codes of the DAC. Each answer carries the code with bit 7 set.
enum Command : uint8_t {
    WriteByte = 1,
    ReadByte = 2,
    WriteSettings = 3,
    ReadSettings = 4,
    CommitSettings = 5,
    SetVolume = 6,
    Command7 = 7,
    Command8 = 8,
    RestoreFactory = 9,
};
static_assert(ES9038::readSettingsAnswer == (0x80 | ReadSettings));

} // namespace

ES9038::ES9038() : link(new CT7601), stateListener(nullptr)
{
    link->listener = this;
}

ES9038::~ES9038()
{
    link->close();
    delete link;
}

bool ES9038::isConnected() const
{
    return link->isConnected();
}

bool ES9038::reconnect()
{
    link->close();
    return link->connect();
}

int ES9038::writeByte(uint8_t address, uint8_t value)
{
    return link->sendReport(Report(WriteByte, address, 1, &value));
}

int ES9038::readByte(uint8_t address)
{
    return link->sendReport(Report(ReadByte, address, 1, nullptr));
}

int ES9038::writeSettings(uint8_t address, const uint8_t* data, uint8_t count)
{
    return link->sendReport(Report(WriteSettings, address, count, data));
}

int ES9038::readSettings(uint8_t address, uint8_t count)
{
    return link->sendReport(Report(ReadSettings, address, count, nullptr));
}

int ES9038::commitSettings()
{
    return link->sendReport(Report(CommitSettings, 0, 0, nullptr));
}

int ES9038::setVolume(uint8_t left, uint8_t right)
{
    const uint8_t attenuation[2] = {left, right};
    return link->sendReport(Report(SetVolume, 0, 2, attenuation));
}

int ES9038::command7()
{
    return link->sendReport(Report(Command7, 0, 0, nullptr));
}

int ES9038::command8()
{
    return link->sendReport(Report(Command8, 0, 0, nullptr));
}

int ES9038::restoreFactory()
{
    return link->sendReport(Report(RestoreFactory, 0, 0, nullptr));
}

void ES9038::onReadData(Report report)
{
    if (report.id != readSettingsAnswer || !stateListener)
        return;
    stateListener->onGetState(report.addr, report.data, std::min<uint8_t>(report.length, sizeof report.data));
}
