// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The mirror's full read when the device goes wrong: the DAC unplugged at
// every exchange, a device that stays silent, and one that answers every
// request with bit 7 clear. In each case nothing crashes and the mirror's copy
// stays as it was until a read completes. The loss of the DAC shows in the
// link's line for the exchange that met it and ends the connection, so the
// rest of the read is refused in silence; a silent or confused device keeps
// its connection and every exchange shows its line. The next reconnect
// starts afresh. The DAC leaves as Linux and as Windows show it.
//
// Every exchange that reaches the DAC costs at least 120 ms of pauses (100 ms after a
// request that fails), so a sweep row takes about 1.5 s; a full re-read after
// the reconnect adds 1.4 s and is done in one row, the others checking the
// fresh link with a single exchange.

#include "mirrorfaults.h"

#include <QTest>

class TestReadFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void unplugDuringRead_data();
    void unplugDuringRead();
    void misbehavingDeviceDuringRead_data();
    void misbehavingDeviceDuringRead();
};

void TestReadFaults::init()
{
    UsbSim::reset();
    UsbSim::setBlock(deviceBlock);
}

void TestReadFaults::unplugDuringRead_data()
{
    addLeavingRows(kWindows, 6);
}

void TestReadFaults::unplugDuringRead()
{
    QFETCH(int, answers);
    QFETCH(bool, reread);
    QFETCH(bool, windows);
    UsbSim::setWindowsUnplug(windows);

    ES9038 dac;
    ES9038State state(&dac);
    QVERIFY(connectQuietly(dac));
    const QString defaults = shown(state);
    QCOMPARE(defaults, shownDefaults());
    Finished finished;

    QString expected;
    for (int w = 0; w < kWindows; ++w)
        expected += w < answers ? readResponse(deviceBlock, w) : w == answers ? unplugged(windows) : "";
    {
        UnplugAfter unplug(dac, answers);
        ConsoleCapture console;
        state.readState(&finished);
        QCOMPARE(console.stop(), expected);
    }
    QCOMPARE(finished.count, 0);
    QCOMPARE(shown(state), defaults);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());

    replugAndStartAfresh(dac, state, reread, deviceBlock);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(finished.count, 0);        // the interrupted read's listener was replaced
}

void TestReadFaults::misbehavingDeviceDuringRead_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("line");
    // A silent device lets every GET_REPORT time out; nothing is received.
    QTest::newRow("silent") << true << QString("Usb response error. Ret=-7 ID=0\n");
    // The answer to command 4 arrives as 0x04 instead of 0x84.
    QTest::newRow("bit 7 clear") << false << QString("Usb response error. Ret=7 ID=4\n");
}

void TestReadFaults::misbehavingDeviceDuringRead()
{
    QFETCH(bool, silent);
    QFETCH(QString, line);

    ES9038 dac;
    ES9038State state(&dac);
    QVERIFY(connectQuietly(dac));
    const QString defaults = shown(state);
    if (silent)
        UsbSim::dac().setSilent(true);
    else
        UsbSim::dac().setAnswersInvalid(true);

    Finished finished;
    {
        ConsoleCapture console;
        state.readState(&finished);
        QCOMPARE(console.stop(), line.repeated(kWindows));
    }
    QCOMPARE(finished.count, 0);
    QCOMPARE(shown(state), defaults);
    QVERIFY(dac.isConnected());

    // Once the device behaves, the next read completes as usual.
    UsbSim::dac().setSilent(false);
    UsbSim::dac().setAnswersInvalid(false);
    ConsoleCapture console;
    state.readState(&finished);
    QCOMPARE(console.stop(), readResponses(deviceBlock));
    QCOMPARE(finished.count, 1);
    QCOMPARE(shown(state), shownAfterReading(deviceBlock));
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());
}

QTEST_GUILESS_MAIN(TestReadFaults)
#include "tst_readfaults.moc"
