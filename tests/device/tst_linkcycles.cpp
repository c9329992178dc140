// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A thousand connections in a row: whichever way the link is closed and
// reconnected, it never holds more than one libusb context and one device
// handle at a time, leaves nothing behind when it is destroyed, and prints the
// same lines every time. No transfers are made, so this runs in moments.

#include "device/ct7601.h"
#include "device/es9038.h"

#include "consolecapture.h"
#include "usbsim.h"

#include <QTest>

#include <functional>

namespace {

constexpr int kCycles = 1000;

using Cycle = std::function<bool(ES9038&)>;

const QString identity = "Manufacturer:\tSonvale Labs\n"
                         "Product:\tSonvale ES9038 USB DAC\n"
                         "Serial number:\tSV9038-0001\n";

} // namespace

Q_DECLARE_METATYPE(Cycle)

class TestLinkCycles : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cycles_data();
    void cycles();
};

void TestLinkCycles::init()
{
    UsbSim::reset();
}

void TestLinkCycles::cycles_data()
{
    QTest::addColumn<Cycle>("cycle");
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("hotplug");
    QTest::addColumn<QString>("lines");

    const Cycle reconnect = [](ES9038& dac) { return dac.reconnect(); };
    const Cycle connectAgain = [](ES9038& dac) { return dac.link->connect(); };
    const Cycle connectClose = [](ES9038& dac) {
        const bool ok = dac.link->connect();
        dac.link->close();
        return ok;
    };
    const QString absent = "Device (vid=2fc6 pid=6013) is not connected.\n";

    QTest::newRow("reconnect") << reconnect << true << true << identity;
    QTest::newRow("connect while connected") << connectAgain << true << true << identity;
    QTest::newRow("connect then close") << connectClose << true << true << identity;
    QTest::newRow("reconnect without hotplug") << reconnect << true << false << identity;
    QTest::newRow("reconnect, no device") << reconnect << false << true << absent;
    QTest::newRow("connect while connected, no device") << connectAgain << false << true << absent;
}

void TestLinkCycles::cycles()
{
    QFETCH(Cycle, cycle);
    QFETCH(bool, present);
    QFETCH(bool, hotplug);
    QFETCH(QString, lines);

    if (!present)
        UsbSim::setDevices({});
    UsbSim::setHotplugCapable(hotplug);

    QString console;
    int connected = 0;
    {
        ES9038 dac;
        ConsoleCapture capture;
        for (int i = 0; i < kCycles; ++i)
            connected += cycle(dac) ? 1 : 0;
        console = capture.stop();
        QCOMPARE(UsbSim::liveHandles(), present && dac.isConnected() ? 1 : 0);
    }
    QCOMPARE(connected, present ? kCycles : 0);
    QCOMPARE(console, lines.repeated(kCycles));

    QCOMPARE(UsbSim::maxLiveContexts(), 1);
    QCOMPARE(UsbSim::maxLiveHandles(), present ? 1 : 0);
    QCOMPARE(UsbSim::calls("libusb_init").size(), size_t(kCycles));
    QCOMPARE(UsbSim::calls("libusb_open").size(), size_t(present ? kCycles : 0));
    QCOMPARE(UsbSim::calls("libusb_hotplug_register_callback").size(),
             size_t(hotplug ? kCycles : 0));

    // Destroyed, the link has given everything back.
    QCOMPARE(UsbSim::liveContexts(), 0);
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::liveDevices(), 0);
    QCOMPARE(UsbSim::liveDeviceLists(), 0);
    QCOMPARE(UsbSim::hotplugRegistrations(), 0);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());
}

QTEST_GUILESS_MAIN(TestLinkCycles)
#include "tst_linkcycles.moc"
