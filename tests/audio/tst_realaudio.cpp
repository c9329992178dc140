// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The real PortAudio into a real sound server: a tone played to the default
// output comes back from the default input at the level asked, with nothing
// added. Run inside tests/e2e/soundserver.sh, whose null sink is the default
// sink and its monitor the default source; anywhere else it is skipped, so
// that it never plays into somebody's speakers.

#include "audio/audiosystem.h"
#include "audio/devicechoice.h"
#include "audio/tonecapture.h"

#include <QtTest>

#include <cmath>
#include <complex>

namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// The complex amplitudes of DC and k·omega, k = 1..harmonics, by least
// squares at a known frequency (both ends run on one clock here).
std::vector<Complex> fit(const std::vector<double>& x, double omega, int harmonics)
{
    const int m = 1 + 2 * harmonics;
    std::vector<double> ata(size_t(m * m), 0.0), atb(size_t(m), 0.0), row(size_t(m), 0.0);
    for (size_t n = 0; n < x.size(); ++n) {
        row[0] = 1;
        for (int k = 1; k <= harmonics; ++k) {
            row[size_t(2 * k - 1)] = std::cos(k * omega * double(n));
            row[size_t(2 * k)] = std::sin(k * omega * double(n));
        }
        for (int i = 0; i < m; ++i) {
            atb[size_t(i)] += row[size_t(i)] * x[n];
            for (int j = 0; j < m; ++j)
                ata[size_t(i * m + j)] += row[size_t(i)] * row[size_t(j)];
        }
    }
    for (int c = 0; c < m; ++c)
        for (int r = c + 1; r < m; ++r) {
            const double f = ata[size_t(r * m + c)] / ata[size_t(c * m + c)];
            for (int j = c; j < m; ++j)
                ata[size_t(r * m + j)] -= f * ata[size_t(c * m + j)];
            atb[size_t(r)] -= f * atb[size_t(c)];
        }
    std::vector<double> beta(size_t(m), 0.0);
    for (int r = m - 1; r >= 0; --r) {
        double s = atb[size_t(r)];
        for (int j = r + 1; j < m; ++j)
            s -= ata[size_t(r * m + j)] * beta[size_t(j)];
        beta[size_t(r)] = s / ata[size_t(r * m + r)];
    }
    std::vector<Complex> a(size_t(harmonics) + 1);
    a[0] = beta[0];
    for (int k = 1; k <= harmonics; ++k)
        a[size_t(k)] = Complex(beta[size_t(2 * k - 1)], -beta[size_t(2 * k)]);
    return a;
}

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

    QTest::newRow("997 Hz at -3 dBFS") << 997.0 << -3.0;
    QTest::newRow("2 kHz at -20 dBFS") << 2000.0 << -20.0;
}

void TestRealAudio::tone()
{
    QFETCH(double, frequency);
    QFETCH(double, level);

    AudioSystem audio;
    QVERIFY2(audio.isReady(), qPrintable(audio.error()));
    const std::vector<AudioDevice> devices = audio.devices();
    const DeviceChoice::Result output =
        DeviceChoice::choose(devices, QStringLiteral("default"), DeviceChoice::Direction::Output,
                             audio.defaultOutput());
    const DeviceChoice::Result input =
        DeviceChoice::choose(devices, QStringLiteral("default"), DeviceChoice::Direction::Input,
                             audio.defaultInput());
    QVERIFY2(output.index >= 0, qPrintable(output.error));
    QVERIFY2(input.index >= 0, qPrintable(input.error));

    ToneCapture::Settings settings;
    settings.frequencyHz = frequency;
    settings.levelDbfs = level;
    const ToneCapture::Result result = ToneCapture::run(output.index, input.index, settings);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.channels.size(), size_t(2));
    if (result.inputOverflows || result.outputUnderflows)
        qWarning("the streams reported %d input and %d output faults", result.inputOverflows,
                 result.outputUnderflows);

    const double omega = 2 * kPi * frequency / settings.sampleRate;
    for (const std::vector<double>& channel : result.channels) {
        QCOMPARE(channel.size(), size_t(48000));
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
