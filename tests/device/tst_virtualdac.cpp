// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated DAC's own side of the exchange: what each request does to
// its block, and that an answer fetched too early is not valid.

#include "testbytes.h"
#include "virtualdac.h"

#include <QtTest>

#include <thread>

namespace {

using namespace TestBytes;

// Sends the request, waits as the program does, returns the answer.
QByteArray exchange(VirtualDac& dac, const QByteArray& request)
{
    dac.receive(reinterpret_cast<const uint8_t*>(request.constData()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint8_t answer[7] = {};
    dac.answer(answer);
    return bytesOf(answer, 7);
}

} // namespace

class TestVirtualDac : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void earlyFetchIsInvalid();
};

void TestVirtualDac::commands_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("address");       // block window checked afterwards
    QTest::addColumn<QByteArray>("window");

    QTest::newRow("read thd range 0") << QByteArray::fromHex("040A0400000000")
                                      << QByteArray::fromHex("840A04FED40104") << 10
                                      << QByteArray::fromHex("FED40104");
    QTest::newRow("read past the end") << QByteArray::fromHex("042E0400000000")
                                       << QByteArray::fromHex("842E0220200000") << 46
                                       << QByteArray::fromHex("2020");
    QTest::newRow("write stores") << QByteArray::fromHex("03180401020304")
                                  << QByteArray::fromHex("83180401020304") << 24
                                  << QByteArray::fromHex("01020304");
    QTest::newRow("volume sets bytes 4 and 5") << QByteArray::fromHex("06000240410000")
                                               << QByteArray::fromHex("86000240410000") << 4
                                               << QByteArray::fromHex("404100FF");
    QTest::newRow("commit") << QByteArray::fromHex("05000000000000")
                            << QByteArray::fromHex("85000000000000") << 4
                            << QByteArray::fromHex("191900FF");
    QTest::newRow("unknown command") << QByteArray::fromHex("0A000000000000")
                                     << QByteArray::fromHex("0A000000000000") << 4
                                     << QByteArray::fromHex("191900FF");
}

void TestVirtualDac::commands()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(int, address);
    QFETCH(QByteArray, window);

    VirtualDac dac;
    QCOMPARE(exchange(dac, request), answer);
    QCOMPARE(bytesOf(dac.block().data() + address, window.size()), window);
}

void TestVirtualDac::earlyFetchIsInvalid()
{
    VirtualDac dac;
    QCOMPARE(exchange(dac, QByteArray::fromHex("06000280800000")).left(1), QByteArray::fromHex("86"));
    QCOMPARE(dac.block()[4], 0x80);

    // Restoring the factory block, fetched at once: bit 7 clear.
    const QByteArray restore = QByteArray::fromHex("09000000000000");
    dac.receive(reinterpret_cast<const uint8_t*>(restore.constData()));
    uint8_t early[7] = {};
    dac.answer(early);
    QCOMPARE(bytesOf(early, 7), QByteArray::fromHex("09000000000000"));
    QVERIFY(dac.block() == VirtualDac::factoryBlock());
}

QTEST_GUILESS_MAIN(TestVirtualDac)
#include "tst_virtualdac.moc"
