// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The device state mirror against the simulated DAC: the requests that reach
// the device, byte for byte and in order, for every operation; what the
// getters show afterwards; and the volume arithmetic over every attenuation
// and every slider position.
//
// Every exchange with the device costs at least 120 ms of protocol pauses,
// so device-backed cases are kept few; the arithmetic runs on a mirror whose
// device is not connected, where nothing is sent at all.

#include "device/es9038.h"
#include "settings/es9038state.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>

using Edit = std::function<void(ES9038State&)>;
using Probe = std::function<int(const ES9038State&)>;
Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(Probe)

namespace {

using namespace TestBytes;

constexpr uint8_t kSetReportType = 0x21;
constexpr uint8_t kGetReportType = 0xA1;

// The program's default block in device order (THD values big-endian), with
// the unnamed bytes 22, 23 and 35 at zero as a fresh block has them.
const QByteArray defaultsDeviceOrder =
    hex("73 01 01 01 00 00 00 FF 3C 00 00 00 00 82 00 00 00 82 FF FC 00 19 00 00"
        "0F 0F 0F 0F 0F 0F 0F 0F 00 00 00 00 20 20 20 20 20 20 20 20 20 20 20 20");

// The same 48 bytes with the THD values in host (little-endian) order.
const QByteArray defaultsHostOrder =
    hex("73 01 01 01 00 00 00 FF 3C 00 00 00 82 00 00 00 82 00 FC FF 19 00 00 00"
        "0F 0F 0F 0F 0F 0F 0F 0F 00 00 00 00 20 20 20 20 20 20 20 20 20 20 20 20");

// A factory block as the device holds it, in device order: THD -300/260,
// 45/-120, -4/25 (so every value but the last range needs its bytes
// exchanged), volume 25 (-12.5 dB), mclk entry 1 at 7, filter entry 0 at
// shape 5. Each test starts the device with it.
const QByteArray factory =
    hex("73 02 00 00 19 19 00 FF 3C 00 FE D4 01 04 00 2D FF 88 FF FC 00 19 00 00"
        "0F 07 0F 0F 0F 0F 0F 0F 00 00 00 00 A0 20 20 20 20 20 20 20 20 20 20 20");

// A block with every byte telling: hardware type 'X', the unnamed bytes set,
// THD values whose two bytes differ, distinct clock and filter entries
// (filter entry 2 with its low bits set).
const QByteArray distinct =
    hex("58 07 01 00 33 33 00 FF 41 17 12 34 FE DC 00 2D FF 88 80 00 7F FF 5A A5"
        "03 07 0B 0F 00 05 09 0E 01 02 03 3C 00 20 5F 60 80 A0 C0 E0 40 60 80 7E");

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

QStringList readAllRequests()
{
    QStringList result;
    for (int address = 0; address <= 44; address += 4)
        result << QStringLiteral("04 %1 04 00 00 00 00").arg(twoDigits(address));
    return result;
}

// Twelve writes of the block's windows, then the commit.
QStringList writeAllRequests(const QByteArray& deviceOrder)
{
    QStringList result;
    for (int address = 0; address <= 44; address += 4)
        result << QStringLiteral("03 %1 04 ").arg(twoDigits(address))
                      + spacedHex(deviceOrder.mid(address, 4));
    result << QStringLiteral("05 00 00 00 00 00 00");
    return result;
}

// Hands the mirror a whole block, window by window, as the command layer
// does with the device's answers to a full read.
void deliver(ES9038State& state, const QByteArray& deviceOrder)
{
    for (int address = 0; address <= 44; address += 4)
        state.onGetState(uint8_t(address),
                         reinterpret_cast<const uint8_t*>(deviceOrder.constData()) + address, 4);
}

QByteArray withVolume(QByteArray block, int left, int right, int max, int min)
{
    block[4] = char(left);
    block[5] = char(right);
    block[6] = char(max);
    block[7] = char(min);
    return block;
}

// Everything the main window can show of the mirror.
QStringList visible(const ES9038State& state)
{
    QStringList result;
    result << state.volumeDbText();
    for (uint8_t range = 0; range < 3; ++range)
        result << QStringLiteral("THD%1 %2/%3").arg(int(range)).arg(state.thd2nd(range)).arg(state.thd3rd(range));
    QString mclk = QStringLiteral("mclk");
    QString filter = QStringLiteral("filter");
    for (int i = 0; i < 8; ++i) {
        mclk += QLatin1Char(' ') + QString::number(state.mclk(i));
        filter += QLatin1Char(' ') + QString::number(state.filter(i));
    }
    return result << mclk << filter;
}

// "-0.5dB" for attenuation 1: with the default scale every step is half a dB.
QString defaultScaleText(int attenuation)
{
    if (attenuation == 0)
        return QStringLiteral("0dB");
    return QStringLiteral("-%1%2dB").arg(attenuation / 2).arg(attenuation % 2 ? ".5" : "");
}

// Records each notification and what the mirror looked like at that moment.
struct Listener : ES9038State::OnImportFinishListener {
    explicit Listener(ES9038* commandLayer = nullptr) : commandLayer(commandLayer) {}
    void onImportFinish(ES9038State* state) override
    {
        ++calls;
        seen = state;
        seenVisible = visible(*state);
        if (commandLayer)
            registeredDuring = commandLayer->stateListener;
    }
    ES9038* commandLayer;
    int calls = 0;
    ES9038State* seen = nullptr;
    QStringList seenVisible;
    ES9038::OnGetStateListener* registeredDuring = nullptr;
};

} // namespace

class TestES9038State : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // Reading the block.
    void readStateTakesFactoryBlock();
    void readThenWriteAllGivesBackTheBlock();
    void unfinishedReadStaysOpenUntilReplaced();
    void answerFor44AloneCompletesRead();
    void answersBeyond44AreIgnored();
    void readStateWithoutDevice();

    // Edits.
    void editsReachDevice_data();
    void editsReachDevice();
    void volumeReachesDevice_data();
    void volumeReachesDevice();
    void editsWithoutDeviceWaitForWriteAll();

    // Getters.
    void thdRangeIsClamped_data();
    void thdRangeIsClamped();
    void entryIndexIsClamped_data();
    void entryIndexIsClamped();

    // Volume arithmetic.
    void everyAttenuation();
    void everySliderPosition();
    void volumeScale_data();
    void volumeScale();

    // Presets.
    void importWritesFileKeepingHwType_data();
    void importWritesFileKeepingHwType();
    void importWithoutDevice();
    void importOfBadFileChangesNothing_data();
    void importOfBadFileChangesNothing();

private:
    QTemporaryDir dir;
};

void TestES9038State::initTestCase()
{
    QVERIFY(dir.isValid());
}

void TestES9038State::init()
{
    UsbSim::reset();
    UsbSim::setBlock(blockOf(factory));
}

#define CONNECT(dac)                       \
    do {                                   \
        QVERIFY((dac).reconnect());        \
        UsbSim::clearLog();                \
    } while (false)

void TestES9038State::readStateTakesFactoryBlock()
{
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    Listener listener(&dac);

    state.readState(&listener);

    QCOMPARE(requests(), readAllRequests());
    // Notified once, inside the call, with the new block already in place
    // and the registration dropped.
    QCOMPARE(listener.calls, 1);
    QCOMPARE(listener.seen, &state);
    QVERIFY(listener.registeredDuring == nullptr);
    QVERIFY(dac.stateListener == nullptr);

    // The THD values arrive most significant byte first and read as numbers.
    const QStringList expected{
        "-12.5dB",
        "THD0 -300/260",
        "THD1 45/-120",
        "THD2 -4/25",
        "mclk 15 7 15 15 15 15 15 15",
        "filter 5 1 1 1 1 1 1 1",
    };
    QCOMPARE(visible(state), expected);
    QCOMPARE(listener.seenVisible, expected);

    // The protocol's pauses: the answer is fetched no sooner than 100 ms
    // after its request, and the next request waits 20 ms after an answer.
    const std::vector<UsbSim::Transfer> transfers = UsbSim::transfers();
    QCOMPARE(transfers.size(), size_t(24));
    for (size_t i = 0; i + 1 < transfers.size(); i += 2) {
        QCOMPARE(transfers[i].requestType, kSetReportType);
        QCOMPARE(transfers[i + 1].requestType, kGetReportType);
        QVERIFY(transfers[i + 1].time - transfers[i].time >= std::chrono::milliseconds(100));
        if (i + 2 < transfers.size())
            QVERIFY(transfers[i + 2].time - transfers[i + 1].time >= std::chrono::milliseconds(20));
    }

    // The listener was forgotten: a later completion does not notify it.
    deliver(state, factory);
    QCOMPARE(listener.calls, 1);
}

void TestES9038State::readThenWriteAllGivesBackTheBlock()
{
    UsbSim::setBlock(blockOf(distinct));
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);

    state.readState(nullptr);
    QVERIFY(dac.stateListener == nullptr);
    QCOMPARE(visible(state), (QStringList{
        "-25.5dB",
        "THD0 4660/-292",
        "THD1 45/-120",
        "THD2 -32768/32767",
        "mclk 3 7 11 15 0 5 9 14",
        "filter 0 1 2 3 4 5 6 7",
    }));

    UsbSim::clearLog();
    state.writeAll();

    // All 48 bytes went through, hardware type and unnamed bytes included.
    QCOMPARE(requests(), writeAllRequests(distinct));
    QCOMPARE(bytesOf(UsbSim::block()), distinct);
}

void TestES9038State::unfinishedReadStaysOpenUntilReplaced()
{
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    Listener first;
    Listener second;

    UsbSim::dac().setSilent(true);
    state.readState(&first);
    QCOMPARE(requests(), readAllRequests());
    QCOMPARE(first.calls, 0);
    QVERIFY(dac.stateListener == &state);
    QCOMPARE(visible(state), visible(ES9038State(&dac)));

    UsbSim::dac().setSilent(false);
    UsbSim::clearLog();
    state.readState(&second);
    QCOMPARE(requests(), readAllRequests());
    QCOMPARE(first.calls, 0);
    QCOMPARE(second.calls, 1);
    QVERIFY(dac.stateListener == nullptr);
    QCOMPARE(visible(state).first(), QStringLiteral("-12.5dB"));
}

void TestES9038State::answerFor44AloneCompletesRead()
{
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    Listener listener(&dac);

    // None of the twelve answers arrives.
    UsbSim::dac().setSilent(true);
    state.readState(&listener);
    QCOMPARE(listener.calls, 0);
    // An edit while the read is open does not touch what has been staged.
    state.setThd2nd(0, -2);
    QCOMPARE(state.thd2nd(0), int16_t(-2));

    // The device's answer for 44, whoever asked for it, completes the read.
    UsbSim::dac().setSilent(false);
    QByteArray block = factory;
    block.replace(44, 4, hex("41 42 43 44"));
    UsbSim::setBlock(blockOf(block));
    dac.readSettings(44, 4);
    QCOMPARE(listener.calls, 1);
    QVERIFY(listener.registeredDuring == nullptr);
    QVERIFY(dac.stateListener == nullptr);

    // Windows 0 to 40 never came: the staged bytes (a fresh block) are
    // converted and taken as if the device had sent them, so the THD values
    // read with their bytes exchanged.
    QCOMPARE(visible(state), (QStringList{
        "0dB",
        "THD0 0/-32256",
        "THD1 0/-32256",
        "THD2 -769/6400",
        "mclk 15 15 15 15 15 15 15 15",
        "filter 1 1 1 1 1 1 1 1",
    }));

    UsbSim::clearLog();
    state.writeAll();
    QCOMPARE(requests(), writeAllRequests(defaultsHostOrder.left(44) + hex("41 42 43 44")));
}

void TestES9038State::answersBeyond44AreIgnored()
{
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);

    const QByteArray junk = hex("AA BB CC DD");
    for (int address : {45, 46, 47, 48, 200, 255})
        state.onGetState(uint8_t(address), reinterpret_cast<const uint8_t*>(junk.constData()), 4);
    // A one-byte window at 44 leaves bytes 45 to 47 as staged.
    const uint8_t last = 0x41;
    state.onGetState(44, &last, 1);

    state.writeAll();
    const QStringList sent = requests();
    QCOMPARE(sent.size(), 13);
    QCOMPARE(sent[11], QStringLiteral("03 2C 04 41 20 20 20"));
}

void TestES9038State::readStateWithoutDevice()
{
    ES9038 dac;
    ES9038State state(&dac);
    Listener listener;
    const QStringList before = visible(state);

    state.readState(&listener);

    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(listener.calls, 0);
    QVERIFY(dac.stateListener == nullptr);
    QCOMPARE(visible(state), before);
    // The listener was not kept for later.
    deliver(state, factory);
    QCOMPARE(listener.calls, 0);
}

void TestES9038State::editsReachDevice_data()
{
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<Probe>("probe");
    QTest::addColumn<int>("shown");

    // The mirror starts from the factory block, filter entry 2 with its low
    // bits set: mclk 0F 07 0F 0F 0F 0F 0F 0F, filter A0 20 5F 20 20 20 20 20,
    // THD FE D4 01 04 | 00 2D FF 88 | FF FC 00 19.
    const auto thd2nd = [](uint8_t r) { return Probe([r](const ES9038State& s) { return int(s.thd2nd(r)); }); };
    const auto thd3rd = [](uint8_t r) { return Probe([r](const ES9038State& s) { return int(s.thd3rd(r)); }); };
    const auto mclk = [](int i) { return Probe([i](const ES9038State& s) { return int(s.mclk(i)); }); };
    const auto filter = [](int i) { return Probe([i](const ES9038State& s) { return int(s.filter(i)); }); };

    QTest::newRow("setThd2nd(0, -2)")
        << Edit([](ES9038State& s) { s.setThd2nd(0, -2); })
        << QStringList{"03 0A 04 FF FE 01 04"} << thd2nd(0) << -2;
    QTest::newRow("setThd3rd(1, 300)")
        << Edit([](ES9038State& s) { s.setThd3rd(1, 300); })
        << QStringList{"03 0E 04 00 2D 01 2C"} << thd3rd(1) << 300;
    QTest::newRow("setThd2nd(2, 256)")
        << Edit([](ES9038State& s) { s.setThd2nd(2, 256); })
        << QStringList{"03 12 04 01 00 00 19"} << thd2nd(2) << 256;
    QTest::newRow("setThd2nd(5, 0x1234) writes range 2")
        << Edit([](ES9038State& s) { s.setThd2nd(5, 0x1234); })
        << QStringList{"03 12 04 12 34 00 19"} << thd2nd(2) << 0x1234;
    QTest::newRow("setThd3rd(255, -1) writes range 2")
        << Edit([](ES9038State& s) { s.setThd3rd(255, -1); })
        << QStringList{"03 12 04 FF FC FF FF"} << thd3rd(2) << -1;
    // The second window still carries the first edit most significant byte
    // first: the mirror's own copy stayed in host order.
    QTest::newRow("setThd2nd(0, -2), setThd3rd(0, 300)")
        << Edit([](ES9038State& s) { s.setThd2nd(0, -2); s.setThd3rd(0, 300); })
        << QStringList{"03 0A 04 FF FE 01 04", "03 0A 04 FF FE 01 2C"} << thd2nd(0) << -2;

    QTest::newRow("setMclk(3, 9)")
        << Edit([](ES9038State& s) { s.setMclk(3, 9); })
        << QStringList{"03 18 04 0F 07 0F 09", "03 1C 04 0F 0F 0F 0F"} << mclk(3) << 9;
    QTest::newRow("setMclk(7, 0)")
        << Edit([](ES9038State& s) { s.setMclk(7, 0); })
        << QStringList{"03 18 04 0F 07 0F 0F", "03 1C 04 0F 0F 0F 00"} << mclk(7) << 0;
    QTest::newRow("setMclk(0, 15) unchanged value")
        << Edit([](ES9038State& s) { s.setMclk(0, 15); })
        << QStringList{"03 18 04 0F 07 0F 0F", "03 1C 04 0F 0F 0F 0F"} << mclk(0) << 15;
    QTest::newRow("setFilter(2, 7) replaces the whole byte")
        << Edit([](ES9038State& s) { s.setFilter(2, 7); })
        << QStringList{"03 24 04 A0 20 E0 20", "03 28 04 20 20 20 20"} << filter(2) << 7;
    QTest::newRow("setFilter(7, 0)")
        << Edit([](ES9038State& s) { s.setFilter(7, 0); })
        << QStringList{"03 24 04 A0 20 5F 20", "03 28 04 20 20 20 00"} << filter(7) << 0;

    // Rejected: nothing sent, nothing stored.
    QTest::newRow("setMclk(8, 3)")
        << Edit([](ES9038State& s) { s.setMclk(8, 3); }) << QStringList{} << mclk(7) << 15;
    QTest::newRow("setMclk(-1, 3)")
        << Edit([](ES9038State& s) { s.setMclk(-1, 3); }) << QStringList{} << mclk(0) << 15;
    QTest::newRow("setMclk(0, 16)")
        << Edit([](ES9038State& s) { s.setMclk(0, 16); }) << QStringList{} << mclk(0) << 15;
    QTest::newRow("setMclk(INT_MAX, 0)")
        << Edit([](ES9038State& s) { s.setMclk(INT_MAX, 0); }) << QStringList{} << mclk(7) << 15;
    QTest::newRow("setFilter(2, 8)")
        << Edit([](ES9038State& s) { s.setFilter(2, 8); }) << QStringList{} << filter(2) << 2;
    QTest::newRow("setFilter(-1, 3)")
        << Edit([](ES9038State& s) { s.setFilter(-1, 3); }) << QStringList{} << filter(0) << 5;
    QTest::newRow("setFilter(8, 3)")
        << Edit([](ES9038State& s) { s.setFilter(8, 3); }) << QStringList{} << filter(7) << 1;
    QTest::newRow("setFilter(0, 255)")
        << Edit([](ES9038State& s) { s.setFilter(0, 255); }) << QStringList{} << filter(0) << 5;
}

void TestES9038State::editsReachDevice()
{
    QFETCH(Edit, edit);
    QFETCH(QStringList, sent);
    QFETCH(Probe, probe);
    QFETCH(int, shown);

    QByteArray start = factory;
    start[38] = char(0x5F);
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    deliver(state, start);
    const QStringList before = visible(state);

    edit(state);

    QCOMPARE(requests(), sent);
    QCOMPARE(probe(state), shown);
    if (sent.isEmpty())
        QCOMPARE(visible(state), before);
}

void TestES9038State::volumeReachesDevice_data()
{
    QTest::addColumn<float>("fraction");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("min");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("shown");

    QTest::newRow("1.5") << 1.5f << 0 << 255 << "06 00 02 00 00 00 00" << "0dB";
    QTest::newRow("1") << 1.0f << 0 << 255 << "06 00 02 00 00 00 00" << "0dB";
    QTest::newRow("0.5") << 0.5f << 0 << 255 << "06 00 02 80 80 00 00" << "-64dB";
    QTest::newRow("0.25") << 0.25f << 0 << 255 << "06 00 02 C0 C0 00 00" << "-96dB";
    QTest::newRow("0") << 0.0f << 0 << 255 << "06 00 02 FF FF 00 00" << "-127.5dB";
    QTest::newRow("-0.1") << -0.1f << 0 << 255 << "06 00 02 FF FF 00 00" << "-127.5dB";
    // The scale ends stay as they were.
    QTest::newRow("0.5 on scale 10/200") << 0.5f << 10 << 200 << "06 00 02 80 80 00 00" << "-52.5dB";
}

void TestES9038State::volumeReachesDevice()
{
    QFETCH(float, fraction);
    QFETCH(int, max);
    QFETCH(int, min);
    QFETCH(QString, sent);
    QFETCH(QString, shown);

    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    deliver(state, withVolume(factory, 0x19, 0x19, max, min));

    state.setVolume(fraction);

    // One volume command, the attenuation twice; no block window.
    QCOMPARE(requests(), QStringList{sent});
    QCOMPARE(state.volumeDbText(), shown);
}

void TestES9038State::editsWithoutDeviceWaitForWriteAll()
{
    ES9038 dac;
    ES9038State state(&dac);

    state.setVolume(0.5f);
    state.setThd2nd(1, -2);
    state.setThd3rd(2, 300);
    state.setMclk(3, 4);
    state.setFilter(1, 6);
    state.writeAll();

    // No device: not a single libusb call, but the edits are kept.
    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(visible(state), (QStringList{
        "-64dB",
        "THD0 0/130",
        "THD1 -2/130",
        "THD2 -4/300",
        "mclk 15 15 15 4 15 15 15 15",
        "filter 1 6 1 1 1 1 1 1",
    }));

    CONNECT(dac);
    state.writeAll();
    QByteArray expected = defaultsDeviceOrder;
    expected.replace(4, 2, hex("80 80"));
    expected.replace(14, 2, hex("FF FE"));
    expected.replace(20, 2, hex("01 2C"));
    expected[27] = char(0x04);
    expected[37] = char(0xC0);
    QCOMPARE(requests(), writeAllRequests(expected));
    QCOMPARE(bytesOf(UsbSim::block()), expected);
}

void TestES9038State::thdRangeIsClamped_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("third");

    QTest::newRow("0") << 0 << -300 << 260;
    QTest::newRow("1") << 1 << 45 << -120;
    QTest::newRow("2") << 2 << -4 << 25;
    QTest::newRow("3") << 3 << -4 << 25;
    QTest::newRow("200") << 200 << -4 << 25;
    QTest::newRow("255") << 255 << -4 << 25;
}

void TestES9038State::thdRangeIsClamped()
{
    QFETCH(int, range);
    QFETCH(int, second);
    QFETCH(int, third);

    ES9038 dac;
    ES9038State state(&dac);
    deliver(state, factory);

    QCOMPARE(int(state.thd2nd(uint8_t(range))), second);
    QCOMPARE(int(state.thd3rd(uint8_t(range))), third);
}

void TestES9038State::entryIndexIsClamped_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("mclk");
    QTest::addColumn<int>("filter");

    // mclk 03 07 0B 0F 00 05 09 0E, filter 00 20 5F 60 80 A0 C0 E0.
    QTest::newRow("INT_MIN") << INT_MIN << 3 << 0;
    QTest::newRow("-1") << -1 << 3 << 0;
    QTest::newRow("0") << 0 << 3 << 0;
    QTest::newRow("1") << 1 << 7 << 1;
    QTest::newRow("2, low bits set") << 2 << 11 << 2;
    QTest::newRow("3") << 3 << 15 << 3;
    QTest::newRow("4") << 4 << 0 << 4;
    QTest::newRow("5") << 5 << 5 << 5;
    QTest::newRow("6") << 6 << 9 << 6;
    QTest::newRow("7") << 7 << 14 << 7;
    QTest::newRow("8") << 8 << 14 << 7;
    QTest::newRow("9") << 9 << 14 << 7;
    QTest::newRow("INT_MAX") << INT_MAX << 14 << 7;
}

void TestES9038State::entryIndexIsClamped()
{
    QFETCH(int, index);
    QFETCH(int, mclk);
    QFETCH(int, filter);

    ES9038 dac;
    ES9038State state(&dac);
    deliver(state, distinct);

    QCOMPARE(int(state.mclk(index)), mclk);
    QCOMPARE(int(state.filter(index)), filter);
}

void TestES9038State::everyAttenuation()
{
    ES9038 dac;
    ES9038State state(&dac);

    for (int a = 0; a <= 255; ++a) {
        // The right byte differs on purpose: only the left one counts.
        deliver(state, withVolume(defaultsDeviceOrder, a, 255 - a, 0, 255));
        const QByteArray at = "attenuation " + QByteArray::number(a);

        QVERIFY2(state.volumeDb() == -a / 2.0f, at);
        QCOMPARE(state.volumeDbText(), defaultScaleText(a));

        // A slider set from volume() lands on 255 - a, and moving it back
        // there gives the same attenuation.
        const float fraction = state.volume();
        QVERIFY2(fraction >= 0.0f && fraction <= 1.0f, at);
        const int position = int(fraction * 255.0f);
        QVERIFY2(position == 255 - a, at);
        state.setVolume(float(position) / 255.0f);
        QVERIFY2(state.volumeDb() == -a / 2.0f, at);
    }
    QVERIFY(UsbSim::calls().empty());
}

void TestES9038State::everySliderPosition()
{
    ES9038 dac;
    ES9038State state(&dac);

    for (int v = 0; v <= 255; ++v) {
        state.setVolume(float(v) / 255.0f);
        const QByteArray at = "position " + QByteArray::number(v);
        // Attenuation 255 - v, which the default scale shows in half-dB steps.
        QVERIFY2(state.volumeDb() == -(255 - v) / 2.0f, at);
        QCOMPARE(state.volumeDbText(), defaultScaleText(255 - v));
        QVERIFY2(int(state.volume() * 255.0f) == v, at);
    }
    QVERIFY(UsbSim::calls().empty());
}

void TestES9038State::volumeScale_data()
{
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("min");
    QTest::addColumn<float>("db");
    QTest::addColumn<QString>("text");

    QTest::newRow("0 of 0/255") << 0 << 0 << 255 << 0.0f << "0dB";
    QTest::newRow("1 of 0/255") << 1 << 0 << 255 << -0.5f << "-0.5dB";
    QTest::newRow("25 of 0/255") << 25 << 0 << 255 << -12.5f << "-12.5dB";
    QTest::newRow("255 of 0/255") << 255 << 0 << 255 << -127.5f << "-127.5dB";
    QTest::newRow("0 of 10/200") << 0 << 10 << 200 << -5.0f << "-5dB";
    QTest::newRow("255 of 10/200") << 255 << 10 << 200 << -100.0f << "-100dB";
    QTest::newRow("128 of 10/200: -52.69 cut to -52.5") << 128 << 10 << 200 << -52.5f << "-52.5dB";
    QTest::newRow("255 of 0/1: -0.5") << 255 << 0 << 1 << -0.5f << "-0.5dB";
    QTest::newRow("204 of 0/1: -0.4") << 204 << 0 << 1 << 0.0f << "0dB";
    QTest::newRow("0 of 255/0") << 0 << 255 << 0 << -127.5f << "-127.5dB";
    QTest::newRow("255 of 255/0") << 255 << 255 << 0 << 0.0f << "0dB";
}

void TestES9038State::volumeScale()
{
    QFETCH(int, left);
    QFETCH(int, max);
    QFETCH(int, min);
    QFETCH(float, db);
    QFETCH(QString, text);

    ES9038 dac;
    ES9038State state(&dac);
    deliver(state, withVolume(defaultsDeviceOrder, left, left, max, min));

    QVERIFY2(state.volumeDb() == db, QByteArray::number(state.volumeDb()));
    QCOMPARE(state.volumeDbText(), text);
}

void TestES9038State::importWritesFileKeepingHwType_data()
{
    QTest::addColumn<bool>("readFirst");
    QTest::addColumn<int>("hwType");

    // The device reports hardware type 'X', the file 'q'.
    QTest::newRow("after a read") << true << 0x58;
    QTest::newRow("before any read") << false << 0x73;
}

void TestES9038State::importWritesFileKeepingHwType()
{
    QFETCH(bool, readFirst);
    QFETCH(int, hwType);

    QByteArray file = distinct;
    file[0] = 'q';
    file.replace(10, 12, hex("00 64 FF 9C 01 F4 FE 0C 00 01 FF FF"));
    file.replace(24, 8, hex("01 02 03 04 05 06 07 08"));
    const QString path = dir.filePath(QStringLiteral("import.sonvale"));
    QVERIFY(writeFile(path, presetFile(file)));

    QByteArray device = factory;
    device[0] = 'X';
    UsbSim::setBlock(blockOf(device));
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    if (readFirst) {
        state.readState(nullptr);
        UsbSim::clearLog();
    }

    QVERIFY(state.importPreset(path.toUtf8().constData()));

    QByteArray expected = file;
    expected[0] = char(hwType);
    QCOMPARE(requests(), writeAllRequests(expected));
    QCOMPARE(bytesOf(UsbSim::block()), expected);
    QCOMPARE(visible(state), (QStringList{
        "-25.5dB",
        "THD0 100/-100",
        "THD1 500/-500",
        "THD2 1/-1",
        "mclk 1 2 3 4 5 6 7 8",
        "filter 0 1 2 3 4 5 6 7",
    }));
}

void TestES9038State::importWithoutDevice()
{
    const QString path = dir.filePath(QStringLiteral("offline.sonvale"));
    QVERIFY(writeFile(path, presetFile(distinct)));
    ES9038 dac;
    ES9038State state(&dac);

    QVERIFY(state.importPreset(path.toUtf8().constData()));

    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(visible(state), (QStringList{
        "-25.5dB",
        "THD0 4660/-292",
        "THD1 45/-120",
        "THD2 -32768/32767",
        "mclk 3 7 11 15 0 5 9 14",
        "filter 0 1 2 3 4 5 6 7",
    }));
}

void TestES9038State::importOfBadFileChangesNothing_data()
{
    QTest::addColumn<QByteArray>("contents");   // empty: no file at all

    const QByteArray good = presetFile(distinct);
    QByteArray badA = good;
    badA[48] = char(badA[48] ^ 0x01);
    QByteArray badB = good;
    badB[49] = char(badB[49] ^ 0x80);

    QTest::newRow("missing") << QByteArray();
    QTest::newRow("checksum cut short") << good.left(49);
    QTest::newRow("block cut short") << good.left(40);
    QTest::newRow("first checksum byte wrong") << badA;
    QTest::newRow("second checksum byte wrong") << badB;
}

void TestES9038State::importOfBadFileChangesNothing()
{
    QFETCH(QByteArray, contents);

    const QString path = dir.filePath(QStringLiteral("bad-%1.sonvale").arg(QTest::currentDataTag()));
    if (!contents.isEmpty())
        QVERIFY(writeFile(path, contents));
    ES9038 dac;
    CONNECT(dac);
    ES9038State state(&dac);
    deliver(state, factory);
    const QStringList before = visible(state);

    QVERIFY(!state.importPreset(path.toUtf8().constData()));

    QVERIFY(requests().isEmpty());
    QCOMPARE(visible(state), before);
}

QTEST_GUILESS_MAIN(TestES9038State)
#include "tst_es9038state.moc"
