// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The command layer against the simulated DAC: the requests each command puts
// on the wire, and which answers reach the state listener.

#include "device/es9038.h"

#include "consolecapture.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QtTest>

#include <functional>
#include <vector>

namespace {

using Command = std::function<int(ES9038&)>;

using namespace TestBytes;

// One call of onGetState, as text: "addr=44 length=4 data=20 20 20 20".
QString state(int address, const QByteArray& data, int length)
{
    return QString("addr=%1 length=%2 data=%3").arg(address).arg(length).arg(QString(data.toHex(' ')));
}

class StateRecorder : public ES9038::OnGetStateListener {
public:
    void onGetState(uint8_t address, const uint8_t* data, uint8_t length) override
    {
        states << state(address, QByteArray(reinterpret_cast<const char*>(data), length), length);
        blockBytes += QByteArray(reinterpret_cast<const char*>(data), length);
        if (nested)
            nestedResult = nested->commitSettings();
    }
    QStringList states;
    QByteArray blockBytes;
    ES9038* nested = nullptr;
    int nestedResult = 0;
};

} // namespace

Q_DECLARE_METATYPE(Command)

class TestES9038 : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void requests_data();
    void requests();
    void commandsOnUnconnectedLink_data();
    void commandsOnUnconnectedLink();
    void answerRouting_data();
    void answerRouting();
    void fullReadDeliversTheBlock();
    void commandFromStateListenerRefused();
    void reconnect_data();
    void reconnect();
};

void TestES9038::init()
{
    UsbSim::reset();
}

void TestES9038::cleanup()
{
    QCOMPARE(UsbSim::liveContexts(), 0);
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::misuses().size(), size_t(0));
}

static void commandRows()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("console");

    static const uint8_t fifteens[4] = {0x0F, 0x0F, 0x0F, 0x0F};
    static const uint8_t six[6] = {0xFE, 0xD4, 0x01, 0x04, 0x55, 0x66};

    QTest::newRow("writeByte") << Command([](ES9038& d) { return d.writeByte(5, 0x22); })
                               << QByteArray::fromHex("01050122000000")
                               << "Response: id=81 addr=5 length=1 data: 22 0 0 0\n";
    QTest::newRow("readByte") << Command([](ES9038& d) { return d.readByte(5); })
                              << QByteArray::fromHex("02050100000000")
                              << "Response: id=82 addr=5 length=1 data: 0 0 0 0\n";
    QTest::newRow("writeSettings") << Command([](ES9038& d) { return d.writeSettings(24, fifteens, 4); })
                                   << QByteArray::fromHex("0318040F0F0F0F")
                                   << "Response: id=83 addr=18 length=4 data: f f f f\n";
    QTest::newRow("writeSettings count above 4")
        << Command([](ES9038& d) { return d.writeSettings(10, six, 6); })
        << QByteArray::fromHex("030A04FED40104")
        << "Response: id=83 addr=a length=4 data: fe d4 1 4\n";
    QTest::newRow("writeSettings null data") << Command([](ES9038& d) { return d.writeSettings(8, nullptr, 2); })
                                             << QByteArray::fromHex("03080200000000")
                                             << "Response: id=83 addr=8 length=2 data: 0 0 0 0\n";
    QTest::newRow("readSettings") << Command([](ES9038& d) { return d.readSettings(44, 4); })
                                  << QByteArray::fromHex("042C0400000000")
                                  << "Response: id=84 addr=2c length=4 data: 20 20 20 20\n";
    QTest::newRow("readSettings count above 4") << Command([](ES9038& d) { return d.readSettings(4, 9); })
                                                << QByteArray::fromHex("04040400000000")
                                                << "Response: id=84 addr=4 length=4 data: 19 19 0 ff\n";
    QTest::newRow("commitSettings") << Command([](ES9038& d) { return d.commitSettings(); })
                                    << QByteArray::fromHex("05000000000000")
                                    << "Response: id=85 addr=0 length=0 data: 0 0 0 0\n";
    QTest::newRow("setVolume") << Command([](ES9038& d) { return d.setVolume(0x10, 0x10); })
                               << QByteArray::fromHex("06000210100000")
                               << "Response: id=86 addr=0 length=2 data: 10 10 0 0\n";
    QTest::newRow("command7") << Command([](ES9038& d) { return d.command7(); })
                              << QByteArray::fromHex("07000000000000")
                              << "Response: id=87 addr=0 length=0 data: 0 0 0 0\n";
    QTest::newRow("command8") << Command([](ES9038& d) { return d.command8(); })
                              << QByteArray::fromHex("08000000000000")
                              << "Response: id=88 addr=0 length=0 data: 0 0 0 0\n";
    QTest::newRow("restoreFactory") << Command([](ES9038& d) { return d.restoreFactory(); })
                                    << QByteArray::fromHex("09000000000000")
                                    << "Response: id=89 addr=0 length=0 data: 0 0 0 0\n";
}

void TestES9038::requests_data()
{
    commandRows();
}

void TestES9038::requests()
{
    QFETCH(Command, command);
    QFETCH(QByteArray, request);
    QFETCH(QString, console);

    ES9038 dac;
    {
        ConsoleCapture quiet;
        QVERIFY(dac.reconnect());
    }
    UsbSim::clearLog();

    ConsoleCapture capture;
    const int result = command(dac);
    QCOMPARE(capture.stop(), console);
    QCOMPARE(result, 7);
    const auto t = UsbSim::transfers();
    QCOMPARE(t.size(), size_t(2));
    QCOMPARE(bytesOf(t[0].data), request);
}

void TestES9038::commandsOnUnconnectedLink_data()
{
    commandRows();
}

void TestES9038::commandsOnUnconnectedLink()
{
    QFETCH(Command, command);

    ES9038 dac;
    ConsoleCapture capture;
    const int result = command(dac);
    QCOMPARE(capture.stop(), QString());
    QCOMPARE(result, -1);
    QCOMPARE(UsbSim::calls().size(), size_t(0));
}

void TestES9038::answerRouting_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("console");
    QTest::addColumn<QStringList>("states");

    const QStringList none;
    QTest::newRow("read answer") << QByteArray("842C0420202020") << true
                                 << "Response: id=84 addr=2c length=4 data: 20 20 20 20\n"
                                 << QStringList{state(44, QByteArray::fromHex("20202020"), 4)};
    QTest::newRow("nobody listening") << QByteArray("842C0420202020") << false
                                      << "Response: id=84 addr=2c length=4 data: 20 20 20 20\n" << none;
    QTest::newRow("length capped at 4") << QByteArray("842D0901020304") << true
                                        << "Response: id=84 addr=2d length=9 data: 1 2 3 4\n"
                                        << QStringList{state(45, QByteArray::fromHex("01020304"), 4)};
    QTest::newRow("short read") << QByteArray("842E0211220000") << true
                                << "Response: id=84 addr=2e length=2 data: 11 22 0 0\n"
                                << QStringList{state(46, QByteArray::fromHex("1122"), 2)};
    QTest::newRow("answer to a write") << QByteArray("832C0420202020") << true
                                       << "Response: id=83 addr=2c length=4 data: 20 20 20 20\n" << none;
    QTest::newRow("other valid id") << QByteArray("FF2C0420202020") << true
                                    << "Response: id=ff addr=2c length=4 data: 20 20 20 20\n" << none;
    QTest::newRow("bit 7 clear") << QByteArray("042C0420202020") << true
                                 << "Usb response error. Ret=7 ID=4\n" << none;
}

void TestES9038::answerRouting()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, listening);
    QFETCH(QString, console);
    QFETCH(QStringList, states);

    ES9038 dac;
    StateRecorder recorder;
    dac.stateListener = listening ? &recorder : nullptr;
    {
        ConsoleCapture quiet;
        QVERIFY(dac.reconnect());
    }
    UsbSim::dac().setNextAnswer(answerOf(answer.constData()));

    ConsoleCapture capture;
    dac.readSettings(44, 4);
    QCOMPARE(capture.stop(), console);
    QCOMPARE(recorder.states, states);
}

void TestES9038::fullReadDeliversTheBlock()
{
    ES9038 dac;
    StateRecorder recorder;
    dac.stateListener = &recorder;
    {
        ConsoleCapture quiet;
        QVERIFY(dac.reconnect());
        for (uint8_t address = 0; address < 48; address += 4)
            QCOMPARE(dac.readSettings(address, 4), 7);
    }

    const VirtualDac::Block factory = VirtualDac::factoryBlock();
    QCOMPARE(recorder.states.size(), 12);
    QCOMPARE(recorder.blockBytes, QByteArray(reinterpret_cast<const char*>(factory.data()), 48));
}

void TestES9038::commandFromStateListenerRefused()
{
    ES9038 dac;
    StateRecorder recorder;
    recorder.nested = &dac;
    dac.stateListener = &recorder;
    {
        ConsoleCapture quiet;
        QVERIFY(dac.reconnect());
    }
    UsbSim::clearLog();

    ConsoleCapture capture;
    QCOMPARE(dac.readSettings(0, 4), 7);
    QCOMPARE(capture.stop(), QString("Response: id=84 addr=0 length=4 data: 73 2 0 0\nUsb busy.\n"));
    QCOMPARE(recorder.nestedResult, -1);
    QCOMPARE(UsbSim::transfers().size(), size_t(2));
}

void TestES9038::reconnect_data()
{
    QTest::addColumn<bool>("unplug");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("console");

    QTest::newRow("device still there") << false << true
                                        << "Manufacturer:\tSonvale Labs\nProduct:\tSonvale ES9038 USB DAC\n"
                                           "Serial number:\tSV9038-0001\n";
    QTest::newRow("device gone") << true << false << "Device (vid=2fc6 pid=6013) is not connected.\n";
}

void TestES9038::reconnect()
{
    QFETCH(bool, unplug);
    QFETCH(bool, connected);
    QFETCH(QString, console);

    {
        ES9038 dac;
        {
            ConsoleCapture quiet;
            QVERIFY(dac.reconnect());
        }
        if (unplug)
            UsbSim::unplug();

        ConsoleCapture capture;
        const bool result = dac.reconnect();
        QCOMPARE(capture.stop(), console);
        QCOMPARE(result, connected);
        QCOMPARE(dac.isConnected(), connected);
        QCOMPARE(UsbSim::liveHandles(), connected ? 1 : 0);
        QCOMPARE(UsbSim::maxLiveHandles(), 1);
        QCOMPARE(UsbSim::maxLiveContexts(), 1);
        ConsoleCapture quiet;
        QCOMPARE(dac.readSettings(0, 4) == 7, connected);
    }
    // The old handle was closed before the new attempt, even to a gone device.
    QCOMPARE(UsbSim::calls("libusb_open").size(), size_t(connected ? 2 : 1));
}

QTEST_GUILESS_MAIN(TestES9038)
#include "tst_es9038.moc"
