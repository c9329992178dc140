// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The settings block and the preset reader, checked against the bytes a
// device and a preset file hold and the text the diagnostic print shows.

#include "consolecapture.h"
#include "settings/settingsblock.h"
#include "testbytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

using namespace TestBytes;

QByteArray repeated(char byte, int count)
{
    return QByteArray(count, byte);
}

// The default block with bytes 22, 23 and 35 zero, in device order, as a
// preset file holds it.
const QByteArray defaultDeviceOrder =
    hex("73 01 01 01 00 00 00 FF 3C 00 00 00 00 82 00 00 00 82 FF FC 00 19 00 00")
    + repeated(0x0F, 8) + repeated(0x00, 4) + repeated(0x20, 12);

} // namespace

class TestSettingsBlock : public QObject {
    Q_OBJECT

private slots:
    void newBlockInDeviceOrder();
    void setDefaultsLeavesUnnamedBytes();
    void swappedValues_data();
    void swappedValues();
    void dumpOfNewBlock();
    void readPreset_data();
    void readPreset();
    void readPresetRefusesPath_data();
    void readPresetRefusesPath();
    void readPresetFromNonAsciiPath_data();
    void readPresetFromNonAsciiPath();

private:
    QTemporaryDir dir;
};

void TestSettingsBlock::newBlockInDeviceOrder()
{
    SettingsBlock block;
    block.swapThdByteOrder();
    QCOMPARE(bytesOf(block).toHex(' '), defaultDeviceOrder.toHex(' '));

    block.swapThdByteOrder();
    QCOMPARE(bytesOf(block), bytesOf(SettingsBlock()));
    QCOMPARE(block.thd_range2[0], int16_t(-4));
}

void TestSettingsBlock::setDefaultsLeavesUnnamedBytes()
{
    SettingsBlock block;
    std::memset(static_cast<void*>(&block), 0x5A, sizeof block);
    block.setDefaults();

    QByteArray expected = bytesOf(SettingsBlock());
    expected[22] = expected[23] = expected[35] = 0x5A;
    QCOMPARE(bytesOf(block).toHex(' '), expected.toHex(' '));
}

void TestSettingsBlock::swappedValues_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("deviceOrder");

    QTest::newRow("-1") << -1 << hex("FF FF");
    QTest::newRow("256") << 256 << hex("01 00");
    QTest::newRow("130") << 130 << hex("00 82");
    QTest::newRow("-4") << -4 << hex("FF FC");
}

void TestSettingsBlock::swappedValues()
{
    QFETCH(int, value);
    QFETCH(QByteArray, deviceOrder);

    const int16_t original = static_cast<int16_t>(value);
    const int16_t swapped = SettingsBlock::swapped16(original);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(&swapped), 2).toHex(' '), deviceOrder.toHex(' '));

    int16_t inPlace = original;
    SettingsBlock::swap16(inPlace);
    QCOMPARE(inPlace, swapped);
    SettingsBlock::swap16(inPlace);
    QCOMPARE(inPlace, original);
}

void TestSettingsBlock::dumpOfNewBlock()
{
    const SettingsBlock block;
    ConsoleCapture capture;
    block.dump();
    QCOMPARE(capture.stop(),
             QStringLiteral("hwType=s\n"
                            "version=1\n"
                            "mute=1\n"
                            "standby=1\n"
                            "volume[left,right,max,min]: 0x0 0x0 0x0 0xff\n"
                            "thd_vol_thresholds: 0x3c 0x0\n"
                            "thd_range0: 2nd=0 3rd=130\n"
                            "thd_range1: 2nd=0 3rd=130\n"
                            "thd_range2: 2nd=-4 3rd=25\n"
                            "pcm_mclk[44.1 ...]: 15 15 15 15 15 15 15 15\n"
                            "dsd_mclk[64 ...]: 0 0 0\n"
                            "pcm_filter[44.1 ...]: 0x20 0x20 0x20 0x20 0x20 0x20 0x20 0x20\n"
                            "dsd_filter[64 ...]: 0x20 0x20 0x20\n"));
}

// Every row starts from a block of 0xA5 bytes: a refused file must leave it
// exactly so, an accepted one replaces all 48 bytes (THD values in host order).
void TestSettingsBlock::readPreset_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("hostOrder");

    const QByteArray untouched = repeated(char(0xA5), 48);
    const QByteArray defaults = bytesOf(SettingsBlock());
    QByteArray thd130 = repeated(0, 48);
    thd130[13] = char(0x82);
    QByteArray thd130Host = repeated(0, 48);
    thd130Host[12] = char(0x82);

    QTest::newRow("default block, A=C1 B=42") << defaultDeviceOrder + hex("C1 42") << true << defaults;
    QTest::newRow("48 x 01, A=30 B=98") << repeated(0x01, 48) + hex("30 98") << true << repeated(0x01, 48);
    QTest::newRow("48 x FF, A=D0 B=68") << repeated(char(0xFF), 48) + hex("D0 68") << true
                                        << repeated(char(0xFF), 48);
    QTest::newRow("48 x FF, sums modulo 255") << repeated(char(0xFF), 48) + hex("00 00") << false << untouched;
    QTest::newRow("50 zero bytes") << repeated(0, 50) << true << repeated(0, 48);
    QTest::newRow("00 82 at 12 is 130") << thd130 + hex("82 C6") << true << thd130Host;
    QTest::newRow("60 bytes, last 10 ignored") << defaultDeviceOrder + hex("C1 42") + repeated(0x77, 10)
                                               << true << defaults;
    QTest::newRow("49 bytes") << defaultDeviceOrder + hex("C1") << false << untouched;
    QTest::newRow("empty") << QByteArray() << false << untouched;
    QTest::newRow("A right, B wrong") << defaultDeviceOrder + hex("C1 43") << false << untouched;
    QTest::newRow("A wrong, B right") << defaultDeviceOrder + hex("C0 42") << false << untouched;
    QTest::newRow("A and B exchanged") << defaultDeviceOrder + hex("42 C1") << false << untouched;
}

void TestSettingsBlock::readPreset()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, hostOrder);

    const QString path = dir.filePath(QStringLiteral("row.sonvale"));
    QVERIFY(writeFile(path, file));
    SettingsBlock block;
    std::memset(static_cast<void*>(&block), 0xA5, sizeof block);

    QCOMPARE(block.readPreset(QFile::encodeName(path).constData()), accepted);
    QCOMPARE(bytesOf(block).toHex(' '), hostOrder.toHex(' '));
}

void TestSettingsBlock::readPresetRefusesPath_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("missing") << dir.filePath(QStringLiteral("absent.sonvale"));
    QTest::newRow("directory") << dir.path();
}

void TestSettingsBlock::readPresetRefusesPath()
{
    QFETCH(QString, path);

    SettingsBlock block;
    block.volume[0] = 42;
    const QByteArray before = bytesOf(block);
    QVERIFY(!block.readPreset(QFile::encodeName(path).constData()));
    QCOMPARE(bytesOf(block), before);
}

// The window hands the reader the chosen file name as UTF-8; on Windows
// names outside the ANSI code page must reach the file too.
void TestSettingsBlock::readPresetFromNonAsciiPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");

    QTest::newRow("Latin-1") << QStringLiteral("Vorlagen-\u00DC") << QStringLiteral("R\u00E9glage.sonvale");
    QTest::newRow("Japanese and Greek")
        << QStringLiteral("\u8A2D\u5B9A") << QStringLiteral("\u30D7\u30EA\u30BB\u30C3\u30C8-\u03A9.sonvale");
}

void TestSettingsBlock::readPresetFromNonAsciiPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);

    QVERIFY(QDir().mkpath(dir.filePath(folder)));
    const QString path = dir.filePath(folder) + "/" + name;
    QByteArray file = defaultDeviceOrder + hex("C1 42");
    QVERIFY(writeFile(path, file));

    SettingsBlock block;
    block.thd_range0[1] = 0;
    QVERIFY(block.readPreset(path.toUtf8().constData()));
    QCOMPARE(block.thd_range0[1], int16_t(130));
}

QTEST_GUILESS_MAIN(TestSettingsBlock)
#include "tst_settingsblock.moc"
