// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Which audio output is the DAC's: ALSA's USB sound cards against the
// device the link opened, and the product-name fallback.

#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "audiosim.h"
#include "device/ct7601.h"
#include "usbsim.h"

#include <QtTest>

namespace {

AudioDevice device(int index, const char* name, int in, int out)
{
    AudioDevice d;
    d.index = index;
    d.name = QString::fromUtf8(name);
    d.maxInputChannels = in;
    d.maxOutputChannels = out;
    return d;
}

// Two identical DACs (cards 1 and 2) beside a built-in card; ALSA's plug
// devices carry no hw: name.
std::vector<AudioDevice> twoDacs()
{
    return {
        device(0, "HDA Intel PCH: ALC892 Analog (hw:0,0)", 2, 2),
        device(1, "Sonvale ES9038 USB DAC: USB Audio (hw:1,1)", 0, 2),
        device(2, "Sonvale ES9038 USB DAC: USB Audio (hw:1,0)", 0, 2),
        device(3, "Sonvale ES9038 USB DAC: USB Audio (hw:2,0)", 0, 2),
        device(4, "Scarlett 2i2 USB: Audio (hw:3,0)", 2, 2),
        device(5, "default", 32, 32),
    };
}

std::vector<DacAudioMatch::UsbCard> twoDacCards()
{
    return {
        {1, 0x2fc6, 0x6013, 1, 4},
        {2, 0x2fc6, 0x6013, 3, 7},
        {3, 0x1235, 0x8210, 1, 9},
    };
}

DacAudioMatch::DacUsb dacAt(int bus, int address)
{
    DacAudioMatch::DacUsb dac;
    dac.vendorId = 0x2fc6;
    dac.productId = 0x6013;
    dac.bus = bus;
    dac.address = address;
    dac.product = QStringLiteral("Sonvale ES9038 USB DAC");
    return dac;
}

} // namespace

class TestDacAudioMatch : public QObject {
    Q_OBJECT

private slots:
    void onCards_data();
    void onCards();
    void parseUsbCard_data();
    void parseUsbCard();
    void byProduct_data();
    void byProduct();
    void simulatedDac();
};

void TestDacAudioMatch::onCards_data()
{
    QTest::addColumn<int>("bus");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("index");

    QTest::newRow("first DAC, its hw:1,0 before hw:1,1") << 1 << 4 << 0x2fc6 << 2;
    QTest::newRow("second DAC") << 3 << 7 << 0x2fc6 << 3;
    QTest::newRow("same identifiers, elsewhere on the bus") << 2 << 4 << 0x2fc6 << -1;
    QTest::newRow("place unknown: two cards fit") << -1 << -1 << 0x2fc6 << -1;
    QTest::newRow("other identifiers at the DAC's place") << 1 << 4 << 0x2fc7 << -1;
}

void TestDacAudioMatch::onCards()
{
    QFETCH(int, bus);
    QFETCH(int, address);
    QFETCH(int, vendor);
    QFETCH(int, index);

    DacAudioMatch::DacUsb dac = dacAt(bus, address);
    dac.vendorId = uint16_t(vendor);
    const DacAudioMatch::Match match = DacAudioMatch::findOnCards(twoDacs(), dac, twoDacCards());
    QCOMPARE(match.index, index);
    QCOMPARE(match.method, index >= 0 ? DacAudioMatch::Method::UsbCard : DacAudioMatch::Method::None);
}

void TestDacAudioMatch::parseUsbCard_data()
{
    QTest::addColumn<QString>("usbid");
    QTest::addColumn<QString>("usbbus");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("bus");
    QTest::addColumn<int>("address");

    QTest::newRow("as the kernel writes them") << "2fc6:6013\n" << "001/004\n" << true
                                               << 0x2fc6 << 0x6013 << 1 << 4;
    QTest::newRow("upper case, no newline") << "2FC6:6013" << "003/117" << true
                                            << 0x2fc6 << 0x6013 << 3 << 117;
    QTest::newRow("not an id") << "2fc6-6013\n" << "001/004\n" << false << 0 << 0 << 0 << 0;
    QTest::newRow("no bus") << "2fc6:6013\n" << "" << false << 0 << 0 << 0 << 0;
    QTest::newRow("bus not numbers") << "2fc6:6013\n" << "1a/4\n" << false << 0 << 0 << 0 << 0;
}

void TestDacAudioMatch::parseUsbCard()
{
    QFETCH(QString, usbid);
    QFETCH(QString, usbbus);
    QFETCH(bool, parsed);

    DacAudioMatch::UsbCard card;
    QCOMPARE(DacAudioMatch::parseUsbCard(usbid, usbbus, card), parsed);
    if (!parsed)
        return;
    QTEST(int(card.vendorId), "vendor");
    QTEST(int(card.productId), "product");
    QTEST(card.bus, "bus");
    QTEST(card.address, "address");
}

void TestDacAudioMatch::byProduct_data()
{
    QTest::addColumn<QString>("product");
    QTest::addColumn<int>("index");

    QTest::newRow("one output has it") << "Scarlett 2i2" << 4;
    QTest::newRow("any case") << "scarlett 2I2 usb" << 4;
    QTest::newRow("several outputs have it") << "Sonvale ES9038 USB DAC" << -1;
    QTest::newRow("none has it") << "Other DAC" << -1;
    QTest::newRow("no product string") << "" << -1;
}

void TestDacAudioMatch::byProduct()
{
    QFETCH(QString, product);
    QFETCH(int, index);
    QCOMPARE(DacAudioMatch::findByProduct(twoDacs(), product).index, index);
}

// The link's device as the stand-ins give it, found among the simulated
// devices by its product string; the flag marks that one device only.
void TestDacAudioMatch::simulatedDac()
{
    UsbSim::reset();
    UsbSim::Device usb;
    usb.busNumber = 3;
    usb.address = 17;
    UsbSim::setDevices({usb});
    CT7601 link;
    QCOMPARE(link.location().bus, -1);
    QVERIFY(link.connect());
    QCOMPARE(link.location().bus, 3);
    QCOMPARE(link.location().address, 17);

    AudioSystem audio;
    QVERIFY2(audio.isReady(), audio.failure().cause.c_str());
    std::vector<AudioDevice> devices = audio.devices();
    DacAudioMatch::DacUsb dac;
    dac.vendorId = uint16_t(link.vendorId);
    dac.productId = uint16_t(link.productId);
    dac.bus = link.location().bus;
    dac.address = link.location().address;
    dac.product = QString::fromStdString(link.identity().product);
    const DacAudioMatch::Match match = DacAudioMatch::mark(devices, dac);
    QCOMPARE(match.index, 0);
    QCOMPARE(match.method, DacAudioMatch::Method::ProductName);
    QCOMPARE(devices.size(), size_t(2));
    QCOMPARE(devices[0].name, QStringLiteral("Sonvale ES9038 USB DAC: USB Audio"));
    QCOMPARE(devices[0].hostApi, QStringLiteral("Sonvale simulation"));
    QCOMPARE(devices[0].dac, true);
    QCOMPARE(devices[1].name, QString::fromUtf8(AudioSim::inputName()));
    QCOMPARE(devices[1].dac, false);
    QCOMPARE(audio.defaultOutput(), 0);
    QCOMPARE(audio.defaultInput(), 1);
    link.close();
}

QTEST_GUILESS_MAIN(TestDacAudioMatch)
#include "tst_dacaudiomatch.moc"
