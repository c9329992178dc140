// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The DAC reached through a real sound server: beside tests/e2e/soundserver.sh's
// null sink "loop" (the default output), a null sink of another USB card and
// one carrying the DAC's USB ids, whose monitor is made the default source.
// The DAC's sink is found among them, set to 100 %, unmuted and PipeWire's
// clock held at the measurement's rate; a tone played through the route
// arrives at its monitor at the level played; afterwards everything is as
// it was. Skipped outside soundserver.sh, so that nothing here touches a
// user's own server.

#include "audio/audiosystem.h"
#include "audio/soundserver.h"
#include "audio/soundserversession.h"
#include "audio/tonecapture.h"

#include "harmonicfit.h"

#include <QtTest>

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

QString tool(const QString& program, const QStringList& arguments)
{
    QByteArray output;
    if (!SoundServer::run(program, arguments, &output))
        return QStringLiteral("(%1 failed)").arg(program);
    return QString::fromUtf8(output);
}

// "40% 62% Mute: yes clock.force-rate 0": the DAC's sink and the clock as
// the server's own tools tell them.
QString serverState()
{
    static const QRegularExpression percent(QStringLiteral("(\\d+%)"));
    static const QRegularExpression forced(QStringLiteral("value:'(\\d+)'"));
    QStringList parts;
    auto it = percent.globalMatch(tool("pactl", {"get-sink-volume", "sonvale_dac"}));
    while (it.hasNext())
        parts << it.next().captured(1);
    parts << tool("pactl", {"get-sink-mute", "sonvale_dac"}).trimmed();
    parts << "clock.force-rate "
                 + forced.match(tool("pw-metadata", {"-n", "settings", "0", "clock.force-rate"}))
                       .captured(1);
    return parts.join(' ');
}

} // namespace

class TestSoundServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void route_data();
    void route();
};

void TestSoundServer::initTestCase()
{
    if (qgetenv("SONVALE_SOUND_SERVER") != "loop")
        QSKIP("needs the sound server of tests/e2e/soundserver.sh");
    const QString sink =
        QStringLiteral("module-null-sink sink_name=%1 rate=48000 channels=2 sink_properties='%2'");
    for (
        const QString& module :
        {sink.arg("sonvale_other",
                  "device.vendor.id=0x1235 device.product.id=0x8210 api.alsa.card=1"),
         sink.arg(
             "sonvale_dac",
             "device.vendor.id=0x2fc6 device.product.id=0x6013 api.alsa.card=2 device.description=\"Sonvale DAC\"")})
        QVERIFY2(SoundServer::run("sh", {"-c", "pactl load-module " + module}), qPrintable(module));
    QVERIFY(SoundServer::run("pactl", {"set-default-source", "sonvale_dac.monitor"}));
    // WirePlumber takes the default a moment after it is set.
    QTRY_COMPARE_WITH_TIMEOUT(tool("pactl", {"get-default-source"}).trimmed(),
                              QString("sonvale_dac.monitor"), 5000);
}

void TestSoundServer::route_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("restored"); // what restore() says

    const QString volume =
        "the DAC's sink 'sonvale_dac' was at 40 % / 62 %: set to 100 % for the measurement";
    const QString back = "the DAC's sink 'sonvale_dac' back at 40 % / 62 %";
    QTest::newRow("48 kHz")
        << 48000.0 << false
        << QStringList{volume,
                       "the sound server's clock ran free, at 48000 Hz by default: held at 48000 Hz for the measurement"}
        << QStringList{"the sound server's clock free again", back};
    QTest::newRow("44.1 kHz, muted")
        << 44100.0 << true
        << QStringList{volume,
                       "the DAC's sink 'sonvale_dac' was muted: unmuted for the measurement",
                       "the sound server's clock ran free, at 48000 Hz by default: held at 44100 Hz for the measurement",
                       "the sound server resamples 44100 Hz to 48000 Hz: the DAC's sink 'sonvale_dac' is set to 48000 Hz (audio.rate)"}
        << QStringList();
}

void TestSoundServer::route()
{
    QFETCH(double, rate);
    QFETCH(bool, muted);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, restored);

    QVERIFY(SoundServer::run("pactl", {"set-sink-volume", "sonvale_dac", "40%", "62%"}));
    QVERIFY(SoundServer::run("pactl", {"set-sink-mute", "sonvale_dac", muted ? "1" : "0"}));
    const QString before = serverState();
    QCOMPARE(before, QString("40% 62% Mute: %1 clock.force-rate 0").arg(muted ? "yes" : "no"));

    AudioSystem audio;
    QVERIFY2(audio.isReady(), audio.failure().cause.c_str());
    DacAudioMatch::DacUsb dac;
    dac.vendorId = 0x2fc6;
    dac.productId = 0x6013;
    const SoundServer::Route route = SoundServer::route(audio.devices(), dac);
    QCOMPARE(
        route.lines,
        QStringList(
            {QString(
                 "the sound server (%1) holds the DAC 2fc6:6013: its sink 'sonvale_dac' (\"Sonvale DAC\"), found by the DAC's USB ids")
                 .arg(route.serverName),
             "played to it through ALSA's 'pulse' device, with PULSE_SINK=sonvale_dac"}));
    {
        SoundServerSession session(route, rate);
        QCOMPARE(session.lines(), lines);
        QCOMPARE(serverState(), QString("100% 100% Mute: no clock.force-rate %1").arg(rate));
        QCOMPARE(qgetenv("PULSE_SINK"), QByteArray("sonvale_dac"));

        ToneCapture::Settings settings;
        settings.sampleRate = rate;
        const ToneCapture::Result result =
            ToneCapture::run(route.output, audio.defaultInput(), settings);
        QVERIFY2(!result.error, result.error.cause.c_str());
        for (const std::vector<double>& channel : result.channels) {
            const double level = 20
                                 * std::log10(std::abs(HarmonicFit::fit(
                                     channel, 2 * kPi * settings.frequencyHz / rate, 1)[1]));
            QVERIFY2(std::fabs(level - settings.levelDbfs) < 0.1,
                     qPrintable(QString("%1 dBFS").arg(level)));
        }
        // The first row puts back by hand, the second on destruction alone.
        if (!muted) {
            QCOMPARE(session.restore(), restored);
            QVERIFY(session.restore().isEmpty());
        }
    }
    QCOMPARE(serverState(), before);
    QVERIFY(!qEnvironmentVariableIsSet("PULSE_SINK"));
}

QTEST_GUILESS_MAIN(TestSoundServer)
#include "tst_soundserver.moc"
