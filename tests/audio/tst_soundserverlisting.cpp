// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Which sink of a sound server is the DAC's, on listings as pactl and
// pw-dump print them, and which PortAudio device plays to it.

#include "audio/soundserver.h"
#include "audio/soundserverlisting.h"

#include <QtTest>

namespace {

using Sinks = std::vector<SoundServerListing::Sink>;
using Cards = std::vector<DacAudioMatch::UsbCard>;

// pipewire-pulse: two sinks on the DAC's card 2 (a profile with two PCMs),
// a second such DAC on card 3, another USB card, and a sink of no card.
const char* const pipewirePulse = R"([
 {"name":"loop","description":"loop","mute":false,"sample_specification":"float32le 2ch 48000Hz",
  "channel_map":"front-left,front-right","properties":{"media.class":"Audio/Sink"}},
 {"name":"alsa_output.usb-Sonvale-00.pro-output-1","description":"Pro 1",
  "properties":{"api.alsa.pcm.card":"2","api.alsa.pcm.device":"1","device.vendor.id":"0x2fc6","device.product.id":"0x6013"}},
 {"name":"alsa_output.usb-Sonvale-00.pro-output-0","description":"Pro","mute":true,
  "sample_specification":"s32le 3ch 44100Hz","channel_map":"front-left,front-right,front-center",
  "volume":{"front-center":{"value":65536},"front-left":{"value":26214},"front-right":{"value":40632}},
  "properties":{"api.alsa.pcm.card":"2","api.alsa.pcm.device":"0","device.vendor.id":"0x2fc6","device.product.id":"0x6013"}},
 {"name":"alsa_output.usb-Sonvale-01.analog-stereo","description":"Second DAC",
  "properties":{"api.alsa.pcm.card":"3","device.vendor.id":"0x2fc6","device.product.id":"0x6013"}},
 {"name":"alsa_output.usb-Focusrite-00.analog-stereo","description":"Scarlett",
  "properties":{"api.alsa.pcm.card":"1","device.vendor.id":"0x1235","device.product.id":"0x8210"}}
])";

// PipeWire's own objects: numbers as numbers, a source that carries the
// DAC's ids too. An object that went away while pw-dump ran comes first, as
// an array of its own, and one (a second DAC's sink) after it was listed.
const char* const pwDump = R"([{"id":40,"info":null}]
[
 {"id":30,"type":"PipeWire:Interface:Metadata","props":{"metadata.name":"settings"},
  "metadata":[{"subject":0,"key":"clock.rate","value":48000},{"subject":0,"key":"clock.force-rate","value":0}]},
 {"id":41,"type":"PipeWire:Interface:Node","info":{"props":{"media.class":"Audio/Source",
  "node.name":"alsa_input.usb-Sonvale-00","api.alsa.card":2,"device.vendor.id":"0x2fc6","device.product.id":"0x6013"}}},
 {"id":42,"type":"PipeWire:Interface:Node","info":{"props":{"media.class":"Audio/Sink",
  "node.name":"alsa_output.usb-Sonvale-00","node.description":"ES9038","api.alsa.card":2,
  "device.vendor.id":"0x2fc6","device.product.id":"0x6013"}}},
 {"id":43,"type":"PipeWire:Interface:Node","info":{"props":{"media.class":"Audio/Sink","node.name":"loop"}}},
 {"id":44,"type":"PipeWire:Interface:Node","info":{"props":{"media.class":"Audio/Sink",
  "node.name":"alsa_output.usb-Sonvale-01","device.vendor.id":"0x2fc6","device.product.id":"0x6013"}}}
]
[{"id":44,"info":null}])";

// PulseAudio's own sinks: its ids without "0x", its card as alsa.card.
const char* const pulseAudio = R"([
 {"name":"alsa_output.pci-0000_00_1f.3.analog-stereo","properties":{"alsa.card":"0"}},
 {"name":"alsa_output.usb-Sonvale-00.analog-stereo","sample_specification":"s24le 2ch 96000Hz",
  "channel_map":"front-left,front-right","volume":{"front-left":{"value":65536},"front-right":{"value":65536}},
  "properties":{"alsa.card":"1","device.vendor.id":"2fc6","device.product.id":"6013"}}
])";

DacAudioMatch::DacUsb dacAt(int bus, int address)
{
    DacAudioMatch::DacUsb dac;
    dac.vendorId = 0x2fc6;
    dac.productId = 0x6013;
    dac.bus = bus;
    dac.address = address;
    return dac;
}

AudioDevice device(int index, const char* name)
{
    AudioDevice d;
    d.index = index;
    d.name = QString::fromLatin1(name);
    d.hostApi = QStringLiteral("ALSA");
    d.maxInputChannels = d.maxOutputChannels = 32;
    return d;
}

} // namespace

Q_DECLARE_METATYPE(Cards)

class TestSoundServerListing : public QObject {
    Q_OBJECT

private slots:
    void find_data();
    void find();
    void chooseOutput_data();
    void chooseOutput();
    void noServer();
};

void TestSoundServerListing::find_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<bool>("fromPwDump");
    QTest::addColumn<Cards>("cards");
    QTest::addColumn<QString>("sink");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("volume"); // the sink found: its channels' volumes, rate, mute
    QTest::addColumn<int>("rate");

    const int card = int(SoundServerListing::Method::Card);
    const int ids = int(SoundServerListing::Method::UsbIds);
    const int none = int(SoundServerListing::Method::None);
    // The DAC the link has open is at 1/4: card 2; the other one is card 3.
    const Cards twoDacs{
        {2, 0x2fc6, 0x6013, 1, 4}, {3, 0x2fc6, 0x6013, 3, 7}, {1, 0x1235, 0x8210, 1, 9}};
    QTest::newRow("by card, its device 0") << QByteArray(pipewirePulse) << false << twoDacs
                                           << "alsa_output.usb-Sonvale-00.pro-output-0" << card
                                           << "40 % / 62 % / 100 % muted" << 44100;
    QTest::newRow("by ids, pw-dump")
        << QByteArray(pwDump) << true << Cards() << "alsa_output.usb-Sonvale-00" << ids << "" << 0;
    QTest::newRow("by ids, PulseAudio's")
        << QByteArray(pulseAudio) << false << Cards() << "alsa_output.usb-Sonvale-00.analog-stereo"
        << ids << "100 %" << 96000;
    QTest::newRow("two candidates")
        << QByteArray(pipewirePulse) << false << Cards() << "" << none << "" << 0;
    QTest::newRow("none") << QByteArray(R"([{"name":"loop","properties":{}}])") << false << twoDacs
                          << "" << none << "" << 0;
}

void TestSoundServerListing::find()
{
    QFETCH(QByteArray, listing);
    QFETCH(bool, fromPwDump);
    QFETCH(Cards, cards);
    QFETCH(QString, sink);
    QFETCH(int, method);
    QFETCH(QString, volume);
    QFETCH(int, rate);

    Sinks sinks;
    QVERIFY(fromPwDump ? SoundServerListing::parsePwDump(listing, sinks)
                       : SoundServerListing::parsePactl(listing, sinks));
    const SoundServerListing::Found found = SoundServerListing::find(sinks, dacAt(1, 4), cards);
    QCOMPARE(int(found.method), method);
    QCOMPARE(found.index >= 0 ? sinks[size_t(found.index)].name : QString(), sink);
    if (found.index < 0)
        return;
    const SoundServerListing::Sink& s = sinks[size_t(found.index)];
    QCOMPARE(SoundServerListing::percent(s.volumes) + (s.muted ? " muted" : ""), volume);
    QCOMPARE(s.rate, rate);
    if (fromPwDump) {
        const SoundServerListing::Clock clock = SoundServerListing::parseClock(listing);
        QVERIFY(clock.known);
        QCOMPARE(clock.rate, 48000);
        QCOMPARE(clock.forcedRate, 0);
    }
}

void TestSoundServerListing::chooseOutput_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("defaultSink");
    QTest::addColumn<int>("output");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("line");

    const QString missing =
        "ALSA's 'pulse' device, which can play to a chosen sink, is missing (Debian's libasound2-plugins has it)";
    QTest::newRow("pulse") << QStringList{"pipewire", "pulse", "default"} << "loop" << 1
                           << "PULSE_SINK=dac"
                           << "played to it through ALSA's 'pulse' device, with PULSE_SINK=dac";
    QTest::newRow("the default is the DAC's")
        << QStringList{"pipewire", "default"} << "dac" << 0 << "="
        << missing
               + ": played through ALSA's 'pipewire' device to the server's default output, 'dac', the DAC's only while nothing changes the default";
    QTest::newRow("the default is another")
        << QStringList{"pipewire", "default"} << "loop" << -1 << "="
        << missing
               + ": only the server's default output could be used, and it plays to 'loop', not to the DAC's sink: make 'dac' the default output, or install libasound2-plugins";
    QTest::newRow("no server's device")
        << QStringList{"default"} << "dac" << -1 << "="
        << missing + ", and so is its 'pipewire' device: nothing plays to the sound server here";
}

void TestSoundServerListing::chooseOutput()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, defaultSink);
    QFETCH(int, output);
    QFETCH(QString, variable);
    QFETCH(QString, line);

    std::vector<AudioDevice> list;
    for (const QString& name : devices)
        list.push_back(device(int(list.size()), name.toLatin1().constData()));
    SoundServer::Route route;
    route.sink.name = QStringLiteral("dac");
    SoundServer::chooseOutput(list, defaultSink, route);
    QCOMPARE(route.output, output);
    QCOMPARE(QString::fromLatin1(route.variable + '=' + route.value), variable);
    QCOMPARE(route.lines, QStringList{line});
}

void TestSoundServerListing::noServer()
{
    // Where no server answers, nothing is found and nothing is said.
    qputenv("PULSE_SERVER", "unix:/nonexistent/sonvale/native");
    const SoundServer::Route route = SoundServer::route({device(0, "pulse")}, dacAt(1, 4));
    qunsetenv("PULSE_SERVER");
    QVERIFY(route.serverName.isEmpty());
    QCOMPARE(route.output, -1);
    QVERIFY(route.lines.isEmpty());
}

QTEST_GUILESS_MAIN(TestSoundServerListing)
#include "tst_soundserverlisting.moc"
