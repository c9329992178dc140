// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Which device --output and --input name, and what the user reads when the
// name fits none or several; on Windows, which host API's devices are
// offered and are the defaults, and which draw a warning.

#include "audio/devicechoice.h"
#include "audio/hostapichoice.h"

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

// Windows lists each device once per host API: under MME (its name cut to
// 31 characters), DirectSound and WASAPI. PortAudio's defaults are MME's.
std::vector<AudioDevice> windowsMachine()
{
    auto device = [](int index, const char* name, AudioDevice::Api api, const char* hostApi,
                     int in) {
        AudioDevice d;
        d.index = index;
        d.name = QString::fromUtf8(name);
        d.hostApi = QString::fromUtf8(hostApi);
        d.api = api;
        d.maxInputChannels = in;
        d.maxOutputChannels = in ? 0 : 2;
        d.apiDefaultOutput = !in;
        d.apiDefaultInput = in;
        return d;
    };
    using Api = AudioDevice::Api;
    return {
        device(1, "Speakers (Sonvale ES9038 USB D", Api::Mme, "MME", 0),
        device(2, "Line In (Scarlett 2i2 USB)", Api::Mme, "MME", 2),
        device(3, "Speakers (Sonvale ES9038 USB DAC)", Api::DirectSound, "Windows DirectSound", 0),
        device(4, "Speakers (Sonvale ES9038 USB DAC)", Api::Wasapi, "Windows WASAPI", 0),
        device(5, "Line In (Scarlett 2i2 USB)", Api::Wasapi, "Windows WASAPI", 2),
    };
}

QList<int> indexes(const std::vector<AudioDevice>& devices)
{
    QList<int> list;
    for (const AudioDevice& device : devices)
        list << device.index;
    return list;
}

} // namespace

Q_DECLARE_METATYPE(DeviceChoice::Direction)
Q_DECLARE_METATYPE(Error::Kind)

class TestDeviceChoice : public QObject {
    Q_OBJECT

private slots:
    void choose_data();
    void choose();
    void chooseOnWindows_data();
    void chooseOnWindows();
    void hostApis_data();
    void hostApis();
    void depthWarning_data();
    void depthWarning();
};

void TestDeviceChoice::choose_data()
{
    using D = DeviceChoice::Direction;
    QTest::addColumn<QString>("text");
    QTest::addColumn<D>("direction");
    QTest::addColumn<int>("defaultIndex");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("error");
    // NotFound: no device has the number or the name at all.
    QTest::addColumn<Error::Kind>("kind");

    QTest::newRow("index") << "1" << D::Output << 6 << 1 << "" << Error::Kind::None;
    QTest::newRow("index of an output, as input")
        << "1" << D::Input << 6 << -1
        << "device 1 \"Sonvale ES9038 USB DAC: USB Audio (hw:1,0)\" has no input channels"
        << Error::Kind::Audio;
    QTest::newRow("index absent") << "3" << D::Output << 6 << -1 << "there is no device 3"
                                  << Error::Kind::NotFound;
    QTest::newRow("default") << "default" << D::Input << 5 << 5 << "" << Error::Kind::None;
    QTest::newRow("no default") << "default" << D::Output << -1 << -1
                                << "there is no default output device" << Error::Kind::Audio;
    QTest::newRow("default without channels that way")
        << "default" << D::Input << 1 << -1 << "there is no default input device"
        << Error::Kind::Audio;
    QTest::newRow("exact name") << "pulse" << D::Output << 6 << 5 << "" << Error::Kind::None;
    QTest::newRow("exact name wins over parts")
        << "USB Audio" << D::Output << 6 << 4 << "" << Error::Kind::None;
    QTest::newRow("unique part, any case")
        << "es9038" << D::Output << 6 << 1 << "" << Error::Kind::None;
    QTest::newRow("part unique among inputs")
        << "usb" << D::Input << 6 << 2 << "" << Error::Kind::None;
    QTest::newRow("ambiguous part")
        << "usb" << D::Output << 6 << -1
        << "\"usb\" names more than one output device: 1 \"Sonvale ES9038 USB DAC: USB Audio "
           "(hw:1,0)\", 2 \"Scarlett 2i2 USB: Audio (hw:2,0)\", 4 \"USB Audio\"; give its number"
        << Error::Kind::Audio;
    QTest::newRow("absent") << "Focusrite" << D::Output << 6 << -1
                            << "no output device is named \"Focusrite\"" << Error::Kind::NotFound;
    QTest::newRow("name of an output only")
        << "ES9038" << D::Input << 6 << -1
        << "no input device is named \"ES9038\" (a device of that name has no input channels)"
        << Error::Kind::Audio;
    QTest::newRow("empty") << "" << D::Output << 6 << -1 << "no output device named"
                           << Error::Kind::Audio;
}

void TestDeviceChoice::choose()
{
    QFETCH(QString, text);
    QFETCH(DeviceChoice::Direction, direction);
    QFETCH(int, defaultIndex);
    QFETCH(int, index);
    QFETCH(QString, error);
    QFETCH(Error::Kind, kind);

    const DeviceChoice::Result result = DeviceChoice::choose(machine(), text, direction, defaultIndex);
    QCOMPARE(QString::fromStdString(result.error.cause), error);
    QCOMPARE(result.error.kind, kind);
    QCOMPARE(result.index, index);
}

void TestDeviceChoice::chooseOnWindows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("index");

    QTest::newRow("a name means WASAPI's device, not its twins") << "Speakers" << 4;
    QTest::newRow("a number names a device of any host API") << "1" << 1;
}

void TestDeviceChoice::chooseOnWindows()
{
    QFETCH(QString, text);
    QFETCH(int, index);

    const DeviceChoice::Result result =
        DeviceChoice::choose(windowsMachine(), text, DeviceChoice::Direction::Output, 4);
    QCOMPARE(result.error.cause, std::string());
    QCOMPARE(result.index, index);
}

void TestDeviceChoice::hostApis_data()
{
    QTest::addColumn<bool>("windows");
    QTest::addColumn<int>("portAudioDefault"); // for output and input alike
    QTest::addColumn<QList<int>>("offered");
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("input");

    QTest::newRow("Windows: WASAPI's devices and defaults, not MME's")
        << true << 1 << QList<int>{4, 5} << 4 << 5;
    QTest::newRow("Linux: every device, PortAudio's defaults")
        << false << 6 << QList<int>{0, 1, 2, 4, 5, 6} << 6 << 6;
}

void TestDeviceChoice::hostApis()
{
    QFETCH(bool, windows);
    QFETCH(int, portAudioDefault);
    QFETCH(QList<int>, offered);
    QFETCH(int, output);
    QFETCH(int, input);

    const std::vector<AudioDevice> all = windows ? windowsMachine() : machine();
    QCOMPARE(indexes(HostApiChoice::offered(all)), offered);
    QCOMPARE(HostApiChoice::defaultOutput(all, portAudioDefault), output);
    QCOMPARE(HostApiChoice::defaultInput(all, portAudioDefault), input);
}

void TestDeviceChoice::depthWarning_data()
{
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("warning");

    QTest::newRow("MME")
        << 0
        << "MME carries fewer than 24 bits, through Windows' mixer: a measurement through "
           "\"Speakers (Sonvale ES9038 USB D\" reads that floor (about -99 dB THD), not the DAC's "
           "distortion; its Windows WASAPI device carries the DAC's full depth";
    QTest::newRow("DirectSound")
        << 2
        << "Windows DirectSound carries fewer than 24 bits, through Windows' mixer: a measurement "
           "through \"Speakers (Sonvale ES9038 USB DAC)\" reads that floor (about -99 dB THD), not "
           "the DAC's distortion; its Windows WASAPI device carries the DAC's full depth";
    QTest::newRow("WASAPI") << 3 << "";
}

void TestDeviceChoice::depthWarning()
{
    QFETCH(int, at);
    QFETCH(QString, warning);

    QCOMPARE(HostApiChoice::depthWarning(windowsMachine()[size_t(at)]), warning);
}

QTEST_GUILESS_MAIN(TestDeviceChoice)
#include "tst_devicechoice.moc"
