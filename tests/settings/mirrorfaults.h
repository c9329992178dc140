// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the mirror's fault tests share: the device's block, the console lines
// of the link, and the mirror's visible state as text.

#include "device/es9038.h"
#include "settings/es9038state.h"

#include "consolecapture.h"
#include "unplugafter.h"
#include "usbsim.h"

#include <QString>
#include <QStringList>
#include <QTest>

#include <cstdint>


inline constexpr int kWindows = 12;

// The device's block at the start of each case, in device order: THD
// -300/260, 45/-120, -4/25, volume 0x19, mclk entry 1 at 7, filter entry 0 at
// shape 5. It differs from the mirror's defaults in every field the getters
// show.
inline const VirtualDac::Block deviceBlock = {
    0x73, 0x02, 0x00, 0x00, 0x19, 0x19, 0x00, 0xFF, 0x3C, 0x00, 0xFE, 0xD4,
    0x01, 0x04, 0x00, 0x2D, 0xFF, 0x88, 0xFF, 0xFC, 0x00, 0x19, 0x00, 0x00,
    0x0F, 0x07, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x00, 0x00, 0x00, 0x00,
    0xA0, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
};

// The mirror's defaults in device order.
inline const VirtualDac::Block defaultBlock = {
    0x73, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0xFF, 0x3C, 0x00, 0x00, 0x00,
    0x00, 0x82, 0x00, 0x00, 0x00, 0x82, 0xFF, 0xFC, 0x00, 0x19, 0x00, 0x00,
    0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x00, 0x00, 0x00, 0x00,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
};

inline const QString identity = "Manufacturer:\tSonvale Labs\n"
                         "Product:\tSonvale ES9038 USB DAC\n"
                         "Serial number:\tSV9038-0001\n";

// The line of the exchange that meets the DAC's absence: libusb says it has
// gone (Linux), or only that the request failed (Windows' HID driver).
inline QString unplugged(bool windows)
{
    return QString::asprintf("Error sending data over usb.(ret=%d\n", windows ? -1 : -4);
}

// A sweep's rows, the DAC leaving after each count of answers below
// `exchanges` in both ways; the row at `rereadAt` reads the block afresh.
inline void addLeavingRows(int exchanges, int rereadAt)
{
    QTest::addColumn<int>("answers");
    QTest::addColumn<bool>("reread");
    QTest::addColumn<bool>("windows");
    for (bool windows : {false, true})
        for (int n = 0; n < exchanges; ++n)
            QTest::addRow("after %d answers%s", n, windows ? ", Windows" : "") << n << (n == rereadAt) << windows;
}

inline QString response(uint8_t id, uint8_t addr, uint8_t length, const uint8_t* data)
{
    return QString::asprintf("Response: id=%x addr=%x length=%x data: %x %x %x %x\n", id, addr,
                             length, data[0], data[1], data[2], data[3]);
}

inline QString readResponse(const VirtualDac::Block& block, int window)
{
    return response(0x84, uint8_t(4 * window), 4, block.data() + 4 * window);
}

inline QString readResponses(const VirtualDac::Block& block)
{
    QString text;
    for (int w = 0; w < kWindows; ++w)
        text += readResponse(block, w);
    return text;
}

// Everything the window can learn from the mirror, as text, so that a
// difference shows which field moved.
inline QString shown(const ES9038State& state)
{
    QString text = QString::asprintf("volume %.6f thd", double(state.volume()));
    for (uint8_t r = 0; r < 3; ++r)
        text += QString::asprintf(" %d/%d", state.thd2nd(r), state.thd3rd(r));
    text += " mclk";
    for (int i = 0; i < 8; ++i)
        text += QString::asprintf(" %d", state.mclk(i));
    text += " filter";
    for (int i = 0; i < 8; ++i)
        text += QString::asprintf(" %d", state.filter(i));
    return text;
}

// The same text for a block the mirror would hold after reading `block`.
inline QString shownAfterReading(const VirtualDac::Block& block)
{
    ES9038 absent;                      // never connected: nothing is sent
    ES9038State state(&absent);
    for (int w = 0; w < kWindows; ++w)
        state.onGetState(uint8_t(4 * w), block.data() + 4 * w, 4);
    return shown(state);
}

inline QString shownDefaults()
{
    ES9038 absent;
    ES9038State state(&absent);
    return shown(state);
}

inline bool connectQuietly(ES9038& dac)
{
    ConsoleCapture console;
    const bool connected = dac.reconnect();
    return console.stop() == identity && connected;
}

class Finished : public ES9038State::OnImportFinishListener {
public:
    void onImportFinish(ES9038State*) override { ++count; }
    int count = 0;
};

// The loss of the DAC ended the connection: the link holds nothing and
// refuses every exchange. The DAC comes back; reconnecting opens it anew and
// prints its identity; the link then works. With `reread` a full read follows
// and the mirror takes the device's block.
inline void replugAndStartAfresh(ES9038& dac, ES9038State& state, bool reread,
                                 const VirtualDac::Block& expectedBlock)
{
    QVERIFY(!dac.isConnected());
    QCOMPARE(UsbSim::liveContexts(), 0);
    QCOMPARE(UsbSim::liveHandles(), 0);
    const QString before = shown(state);
    UsbSim::setDevices({UsbSim::Device()});
    UsbSim::clearLog();

    ConsoleCapture reconnecting;
    const bool reconnected = dac.reconnect();
    const uint8_t none[4] = {0, 0, 0, 0};
    const int ret = dac.command7();
    QCOMPARE(reconnecting.stop(), identity + response(0x87, 0, 0, none));
    QVERIFY(reconnected);
    QCOMPARE(ret, 7);
    QCOMPARE(UsbSim::liveContexts(), 1);
    QCOMPARE(UsbSim::liveHandles(), 1);
    QCOMPARE(UsbSim::maxLiveContexts(), 1);
    QCOMPARE(UsbSim::maxLiveHandles(), 1);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());
    QCOMPARE(shown(state), before);

    if (!reread)
        return;
    Finished finished;
    ConsoleCapture reading;
    state.readState(&finished);
    QCOMPARE(reading.stop(), readResponses(expectedBlock));
    QCOMPARE(finished.count, 1);
    QCOMPARE(shown(state), shownAfterReading(expectedBlock));
}
