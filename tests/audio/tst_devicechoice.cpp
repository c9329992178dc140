// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Which device --output and --input name, and what the user reads when the
// name fits none or several.

#include "audio/devicechoice.h"

#include <QtTest>

namespace {

std::vector<AudioDevice> machine()
{
    auto device = [](int index, const char* name, int in, int out) {
        AudioDevice d;
        d.index = index;
        d.name = QString::fromUtf8(name);
        d.hostApi = QStringLiteral("ALSA");
        d.maxInputChannels = in;
        d.maxOutputChannels = out;
        d.defaultSampleRate = 48000;
        return d;
    };
    return {
        device(0, "HDA Intel PCH: ALC892 Analog (hw:0,0)", 2, 2),
        device(1, "Sonvale ES9038 USB DAC: USB Audio (hw:1,0)", 0, 2),
        device(2, "Scarlett 2i2 USB: Audio (hw:2,0)", 2, 2),
        device(4, "USB Audio", 0, 2),
        device(5, "pulse", 32, 32),
        device(6, "default", 32, 32),
    };
}

} // namespace

Q_DECLARE_METATYPE(DeviceChoice::Direction)

class TestDeviceChoice : public QObject {
    Q_OBJECT

private slots:
    void choose_data();
    void choose();
};

void TestDeviceChoice::choose_data()
{
    using D = DeviceChoice::Direction;
    QTest::addColumn<QString>("text");
    QTest::addColumn<D>("direction");
    QTest::addColumn<int>("defaultIndex");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("error");

    QTest::newRow("index") << "1" << D::Output << 6 << 1 << "";
    QTest::newRow("index of an output, as input") << "1" << D::Input << 6 << -1
        << "device 1 \"Sonvale ES9038 USB DAC: USB Audio (hw:1,0)\" has no input channels";
    QTest::newRow("index absent") << "3" << D::Output << 6 << -1
        << "there is no device 3 (see audio-devices)";
    QTest::newRow("default") << "default" << D::Input << 5 << 5 << "";
    QTest::newRow("no default") << "default" << D::Output << -1 << -1
        << "there is no default output device";
    QTest::newRow("default without channels that way") << "default" << D::Input << 1 << -1
        << "there is no default input device";
    QTest::newRow("exact name") << "pulse" << D::Output << 6 << 5 << "";
    QTest::newRow("exact name wins over parts") << "USB Audio" << D::Output << 6 << 4 << "";
    QTest::newRow("unique part, any case") << "es9038" << D::Output << 6 << 1 << "";
    QTest::newRow("part unique among inputs") << "usb" << D::Input << 6 << 2 << "";
    QTest::newRow("ambiguous part") << "usb" << D::Output << 6 << -1
        << "\"usb\" names more than one output device: 1 \"Sonvale ES9038 USB DAC: USB Audio "
           "(hw:1,0)\", 2 \"Scarlett 2i2 USB: Audio (hw:2,0)\", 4 \"USB Audio\"; give its number";
    QTest::newRow("absent") << "Focusrite" << D::Output << 6 << -1
        << "no output device is named \"Focusrite\" (see audio-devices)";
    QTest::newRow("name of an output only") << "ES9038" << D::Input << 6 << -1
        << "no input device is named \"ES9038\" (a device of that name has no input channels)";
    QTest::newRow("empty") << "" << D::Output << 6 << -1 << "no output device named";
}

void TestDeviceChoice::choose()
{
    QFETCH(QString, text);
    QFETCH(DeviceChoice::Direction, direction);
    QFETCH(int, defaultIndex);
    QFETCH(int, index);
    QFETCH(QString, error);

    const DeviceChoice::Result result = DeviceChoice::choose(machine(), text, direction, defaultIndex);
    QCOMPARE(result.error, error);
    QCOMPARE(result.index, index);
}

QTEST_GUILESS_MAIN(TestDeviceChoice)
#include "tst_devicechoice.moc"
