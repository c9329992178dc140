// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The real PortAudio into a real sound server: a tone played to the default
// output comes back from the default input at the level asked, with nothing
// added, also at a rate the server converts. Run inside
// tests/e2e/soundserver.sh, whose null sink is the default sink and its
// monitor the default source; anywhere else it is skipped, so that it never
// plays into somebody's speakers. The Windows build runs it under wine
// (tests/windows/wineaudio.sh), through WASAPI's default devices.

#include "audio/audiosystem.h"
#include "audio/devicechoice.h"
#include "audio/tonecapture.h"
#include "measure/analysis.h"

#include "harmonicfit.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// Both ends run on one clock here: the frequency is known.
using HarmonicFit::fit;

} // namespace

class TestRealAudio : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void tone_data();
    void tone();
};

void TestRealAudio::initTestCase()
{
    if (qgetenv("SONVALE_SOUND_SERVER") != "loop")
        QSKIP("needs the null sink of tests/e2e/soundserver.sh as the default devices");
}

void TestRealAudio::tone_data()
{
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("rate");

    QTest::newRow("997 Hz at -3 dBFS") << 997.0 << -3.0 << 48000.0;
    QTest::newRow("2 kHz at -20 dBFS, 44.1 kHz: the null sink's 48 kHz converted")
        << 2000.0 << -20.0 << 44100.0;
}

void TestRealAudio::tone()
{
    QFETCH(double, frequency);
    QFETCH(double, level);
    QFETCH(double, rate);

    AudioSystem audio;
    QVERIFY2(audio.isReady(), audio.failure().cause.c_str());
    const std::vector<AudioDevice> devices = audio.devices();
    const DeviceChoice::Result output =
        DeviceChoice::choose(devices, QStringLiteral("default"), DeviceChoice::Direction::Output,
                             audio.defaultOutput());
    const DeviceChoice::Result input =
        DeviceChoice::choose(devices, QStringLiteral("default"), DeviceChoice::Direction::Input,
                             audio.defaultInput());
    QVERIFY2(output.index >= 0, output.error.cause.c_str());
    QVERIFY2(input.index >= 0, input.error.cause.c_str());

    ToneCapture::Settings settings;
    settings.frequencyHz = frequency;
    settings.levelDbfs = level;
    settings.sampleRate = rate;
    // A machine too busy to feed the sound server leaves a gap in the
    // recording, which the analysis calls a dropout, as it tells a user. That
    // capture says nothing of the path: it is taken again.
    ToneCapture::Result result;
    for (int attempt = 1;; ++attempt) {
        result = ToneCapture::run(output.index, input.index, settings);
        QVERIFY2(!result.error, result.error.cause.c_str());
        const CaptureAnalysis analysis = analyseCapture(result.channels, settings.sampleRate);
        const bool gap = std::find(analysis.problems.begin(), analysis.problems.end(),
                                   std::string(Problem::dropout))
                         != analysis.problems.end();
        if (!gap)
            break;
        QVERIFY2(attempt < 5, "five captures in a row had a dropout");
        qWarning("capture %d had a dropout: taken again", attempt);
    }
    qInfo("output mode: %s; input mode: %s", qPrintable(result.outputMode),
          qPrintable(result.inputMode));
#ifdef Q_OS_WIN
    // WASAPI's devices are the defaults, never MME's 16 bits.
    QVERIFY2(result.outputMode.startsWith(QLatin1String("WASAPI ")), qPrintable(result.outputMode));
    QVERIFY2(result.inputMode.startsWith(QLatin1String("WASAPI ")), qPrintable(result.inputMode));
#endif
    QCOMPARE(result.channels.size(), size_t(2));
    if (result.inputOverflows || result.outputUnderflows)
        qWarning("the streams reported %d input and %d output faults", result.inputOverflows,
                 result.outputUnderflows);

    const double omega = 2 * kPi * frequency / settings.sampleRate;
    for (const std::vector<double>& channel : result.channels) {
        QCOMPARE(channel.size(), size_t(rate));
        const std::vector<Complex> a = fit(channel, omega, 5);
        const double measured = 20 * std::log10(std::abs(a[1]));
        QVERIFY2(std::fabs(measured - level) < 0.05, qPrintable(QStringLiteral("%1 dBFS").arg(measured)));
        double sum = 0;
        for (size_t k = 2; k < a.size(); ++k)
            sum += std::norm(a[k]);
        const double thd = 10 * std::log10(sum / std::norm(a[1]));
        qInfo("%.3f dBFS, THD %.1f dB", measured, thd);
        QVERIFY2(thd < -120, qPrintable(QStringLiteral("THD %1 dB").arg(thd)));
    }
}

QTEST_GUILESS_MAIN(TestRealAudio)
#include "tst_realaudio.moc"
