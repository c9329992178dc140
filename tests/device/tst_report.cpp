// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "device/report.h"

#include <QtTest>

class TestReport : public QObject {
    Q_OBJECT

private slots:
    void construction_data();
    void construction();
    void text_data();
    void text();
};

void TestReport::construction_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("withData");
    QTest::addColumn<QByteArray>("expected");

    // Behind the pointer: 11 22 33 44 55 66.
    QTest::newRow("default") << -1 << 0 << 0 << false << QByteArray::fromHex("00000000000000");
    QTest::newRow("four bytes") << 3 << 0x18 << 4 << true << QByteArray::fromHex("03180411223344");
    QTest::newRow("two bytes") << 6 << 0 << 2 << true << QByteArray::fromHex("06000211220000");
    QTest::newRow("count above 4 capped") << 3 << 0x0A << 6 << true << QByteArray::fromHex("030A0411223344");
    QTest::newRow("count 255 capped") << 4 << 0x2C << 255 << false << QByteArray::fromHex("042C0400000000");
    QTest::newRow("null data keeps the count") << 3 << 5 << 3 << false << QByteArray::fromHex("03050300000000");
    QTest::newRow("no data bytes") << 9 << 0 << 0 << true << QByteArray::fromHex("09000000000000");
}

void TestReport::construction()
{
    QFETCH(int, id);
    QFETCH(int, addr);
    QFETCH(int, length);
    QFETCH(bool, withData);
    QFETCH(QByteArray, expected);

    const uint8_t data[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const Report report = id < 0 ? Report()
                                 : Report(uint8_t(id), uint8_t(addr), uint8_t(length),
                                          withData ? data : nullptr);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(report.bytes()), 7), expected);
}

void TestReport::text_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zeros") << QByteArray::fromHex("00000000000000")
                           << "id=0 addr=0 length=0 data: 0 0 0 0";
    QTest::newRow("first window") << QByteArray::fromHex("84000473010101")
                                  << "id=84 addr=0 length=4 data: 73 1 1 1";
    QTest::newRow("lower-case hex, no padding") << QByteArray::fromHex("842C040A0FFEFF")
                                                << "id=84 addr=2c length=4 data: a f fe ff";
    QTest::newRow("length beyond 4 as received") << QByteArray::fromHex("FF2D0910203040")
                                                 << "id=ff addr=2d length=9 data: 10 20 30 40";
}

void TestReport::text()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    Report report;
    std::copy(bytes.begin(), bytes.end(), report.bytes());
    QCOMPARE(report.toString(), expected);
}

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
