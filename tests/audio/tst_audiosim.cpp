// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated analog path, played and recorded through ToneCapture: the
// distortion that comes back is the one the model and the DAC's block set,
// at the level the DAC's volume gives, and SONVALE_SIM_ANALOG refuses what
// it does not know by name.

#include "audio/audiosystem.h"
#include "audio/tonecapture.h"
#include "audiosim.h"
#include "harmonicfit.h"
#include "simcapture.h"
#include "usbsim.h"

#include <QtTest>

#include <cmath>
#include <complex>

namespace {

using Complex = std::complex<double>;
using HarmonicFit::fit;
using SimCapture::blockWith;
using SimCapture::capture;
using SimCapture::measure;
using SimCapture::Measured;
constexpr double kPi = 3.14159265358979323846;
const std::vector<int>& kFactory = SimCapture::factoryValues;

} // namespace

class TestAudioSim : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void model_data();
    void model();
    void volume_data();
    void volume();
    void refused_data();
    void refused();
    void silentInput();
    void dropout();
    void recording();
};

void TestAudioSim::cleanup()
{
    qunsetenv("SONVALE_SIM_ANALOG");
}

void TestAudioSim::model_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<std::vector<int>>("thd");
    QTest::addColumn<double>("ppm");
    QTest::addColumn<double>("a2l");
    QTest::addColumn<double>("a3l");
    QTest::addColumn<double>("a2r");
    QTest::addColumn<double>("a3r");
    QTest::addColumn<int>("output"); // the device that plays; -1 the default

    // Defaults: h2l 2e-5, h3l 1.5e-5, h2r -1.2e-5, h3r 2.5e-5, k2 = k3 = 1e-7.
    QTest::newRow("defaults, factory values")
        << QByteArray() << kFactory << 0.0 << 2e-5 - 300e-7 << 1.5e-5 + 260e-7 << -1.2e-5 + 45e-7
        << 2.5e-5 - 120e-7 << -1;
    QTest::newRow("swapped") << QByteArray("map=swapped") << kFactory << 0.0 << 2e-5 + 45e-7
                             << 1.5e-5 - 120e-7 << -1.2e-5 - 300e-7 << 2.5e-5 + 260e-7 << -1;
    QTest::newRow("pair 2 drives nothing")
        << QByteArray("map=straight") << std::vector<int>{-300, 260, 45, -120, 32767, -32768} << 0.0
        << 2e-5 - 300e-7 << 1.5e-5 + 260e-7 << -1.2e-5 + 45e-7 << 2.5e-5 - 120e-7 << -1;
    QTest::newRow("given coefficients")
        << QByteArray("h2l=1e-4,h3l=-2e-4,h2r=0,h3r=5e-5,k2=-2e-7,k3=3e-7")
        << std::vector<int>{1000, -1000, 0, 100, 0, 0} << 0.0 << 1e-4 - 2e-4 << -2e-4 - 3e-4 << 0.0
        << 5e-5 + 3e-5 << -1;
    QTest::newRow("the interface's own distortion adds")
        << QByteArray("h2l=0,h3l=0,h2r=1e-5,h3r=1e-5,k2=0,k3=0,adc2=1e-4,adc3=-5e-5") << kFactory
        << 0.0 << 1e-4 << -5e-5 << 1e-5 + 1e-4 << 1e-5 - 5e-5 << -1;
    QTest::newRow("clock 100 ppm fast")
        << QByteArray("ppm=100") << kFactory << 100.0 << 2e-5 - 300e-7 << 1.5e-5 + 260e-7
        << -1.2e-5 + 45e-7 << 2.5e-5 - 120e-7 << -1;
    QTest::newRow("clean path, clock 250 ppm slow")
        << QByteArray("h2l=0,h3l=0,h2r=0,h3r=0,k2=0,k3=0,ppm=-250,noise=-160") << kFactory << -250.0
        << 0.0 << 0.0 << 0.0 << 0.0 << -1;
    // The interface's own outputs wired to its inputs: its output stage,
    // then its input's, at unity gain and on its own clock; neither the
    // DAC's distortion nor the cable's gain nor the clock offset.
    QTest::newRow("the interface's own output, through its input")
        << QByteArray("iface2=2e-4,iface3=-1e-4,adc2=1e-4,gain=-20,ppm=300") << kFactory << 0.0
        << 3e-4 << -1e-4 + 2 * 2e-4 * 1e-4 << 3e-4 << -1e-4 + 2 * 2e-4 * 1e-4 << 1;
}

void TestAudioSim::model()
{
    QFETCH(QByteArray, analog);
    QFETCH(std::vector<int>, thd);
    QFETCH(double, ppm);
    QFETCH(int, output);

    const ToneCapture::Result result = capture(analog, blockWith(0, 0, thd), {}, output);
    QVERIFY2(!result.error, result.error.cause.c_str());
    QCOMPARE(result.channels.size(), size_t(2));
    const double omega = 2 * kPi * 997 * (1 + ppm * 1e-6) / 48000;
    QFETCH(double, a2l);
    QFETCH(double, a3l);
    QFETCH(double, a2r);
    QFETCH(double, a3r);
    const double expected[2][2] = {{a2l, a3l}, {a2r, a3r}};
    for (int c = 0; c < 2; ++c) {
        const Measured m = measure(result.channels[size_t(c)], omega);
        QVERIFY2(std::fabs(20 * std::log10(m.amplitude) + 3) < 0.01, qPrintable(QString::number(m.amplitude)));
        const double a2 = expected[c][0];
        const double a3 = expected[c][1];
        // Within 1 % or what the float samples and the noise allow: H2 and
        // H3 of 1e-9 relative to the tone.
        QVERIFY2(std::fabs(m.a2 - a2) <= 0.01 * std::fabs(a2) + 1e-8,
                 qPrintable(QStringLiteral("channel %1: a2 %2, expected %3").arg(c).arg(m.a2).arg(a2)));
        QVERIFY2(std::fabs(m.a3 - a3) <= 0.01 * std::fabs(a3) + 2e-8,
                 qPrintable(QStringLiteral("channel %1: a3 %2, expected %3").arg(c).arg(m.a3).arg(a3)));
    }
}

void TestAudioSim::volume_data()
{
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<double>("leftDb");
    QTest::addColumn<double>("rightDb");

    // As the window shows them: "-12.5dB" for the factory's 0x19.
    QTest::newRow("factory") << 0x19 << 0x19 << -12.5 << -12.5;
    QTest::newRow("full, and -6 dB") << 0x00 << 0x0C << 0.0 << -6.0;
    QTest::newRow("-40 dB, and the quietest") << 0x50 << 0xFF << -40.0 << -127.5;
}

void TestAudioSim::volume()
{
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(double, leftDb);
    QFETCH(double, rightDb);

    QCOMPARE(double(AudioSim::volumeDb(uint8_t(left), 0x00, 0xFF)), leftDb);
    QCOMPARE(double(AudioSim::volumeDb(uint8_t(right), 0x00, 0xFF)), rightDb);
    const ToneCapture::Result result = capture("noise=-150", blockWith(uint8_t(left), uint8_t(right)));
    QVERIFY2(!result.error, result.error.cause.c_str());
    const double omega = 2 * kPi * 997 / 48000;
    const double levels[2] = {leftDb, rightDb};
    for (int c = 0; c < 2; ++c) {
        const double level = 20 * std::log10(std::abs(fit(result.channels[size_t(c)], omega, 1)[1]));
        QVERIFY2(std::fabs(level - (levels[c] - 3)) < 0.02,
                 qPrintable(QStringLiteral("channel %1 at %2 dBFS").arg(c).arg(level)));
    }
}

void TestAudioSim::refused_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown key") << QByteArray("h2l=1e-5,foo=1")
                                 << "SONVALE_SIM_ANALOG: unknown key 'foo'";
    QTest::newRow("not a number") << QByteArray("k2=abc") << "SONVALE_SIM_ANALOG: bad value 'abc' for k2";
    QTest::newRow("trailing text") << QByteArray("h3r=1e-5x")
                                   << "SONVALE_SIM_ANALOG: bad value '1e-5x' for h3r";
    QTest::newRow("empty value") << QByteArray("adc2=") << "SONVALE_SIM_ANALOG: bad value '' for adc2";
    QTest::newRow("not finite") << QByteArray("adc3=inf") << "SONVALE_SIM_ANALOG: bad value 'inf' for adc3";
    QTest::newRow("noise above full scale") << QByteArray("noise=3")
                                            << "SONVALE_SIM_ANALOG: bad value '3' for noise";
    QTest::newRow("clock far off") << QByteArray("ppm=20000") << "SONVALE_SIM_ANALOG: bad value '20000' for ppm";
    QTest::newRow("dropout before the start") << QByteArray("dropout=-1")
                                              << "SONVALE_SIM_ANALOG: bad value '-1' for dropout";
    QTest::newRow("map") << QByteArray("map=crossed") << "SONVALE_SIM_ANALOG: bad value 'crossed' for map";
    QTest::newRow("input") << QByteArray("input=off") << "SONVALE_SIM_ANALOG: bad value 'off' for input";
    QTest::newRow("no value") << QByteArray("noise") << "SONVALE_SIM_ANALOG: 'noise' is not key=value";
    QTest::newRow("hum above full scale")
        << QByteArray("hum=1") << "SONVALE_SIM_ANALOG: bad value '1' for hum";
    QTest::newRow("wander backwards")
        << QByteArray("wander=-5") << "SONVALE_SIM_ANALOG: bad value '-5' for wander";
    QTest::newRow("rot3 past a turn")
        << QByteArray("rot3=361") << "SONVALE_SIM_ANALOG: bad value '361' for rot3";
    QTest::newRow("xrun before the start")
        << QByteArray("xrun=-0.5") << "SONVALE_SIM_ANALOG: bad value '-0.5' for xrun";
    QTest::newRow("one input") << QByteArray("inputs=1")
                               << "SONVALE_SIM_ANALOG: bad value '1' for inputs";
    QTest::newRow("route past the inputs") << QByteArray("inputs=3,route=1,4,noise=-100")
                                           << "SONVALE_SIM_ANALOG: bad value '1,4' for route";
    QTest::newRow("route to one input")
        << QByteArray("route=2,2") << "SONVALE_SIM_ANALOG: bad value '2,2' for route";
    QTest::newRow("route of one output")
        << QByteArray("route=2") << "SONVALE_SIM_ANALOG: bad value '2' for route";
    QTest::newRow("pace") << QByteArray("pace=slow")
                          << "SONVALE_SIM_ANALOG: bad value 'slow' for pace";
    QTest::newRow("gain past 100 dB")
        << QByteArray("gain=-101") << "SONVALE_SIM_ANALOG: bad value '-101' for gain";
    QTest::newRow("an input gain that is no number")
        << QByteArray("adcgain=0,-3,x,noise=-100")
        << "SONVALE_SIM_ANALOG: bad value '0,-3,x' for adcgain";
}

void TestAudioSim::refused()
{
    QFETCH(QByteArray, analog);
    QFETCH(QString, error);

    qputenv("SONVALE_SIM_ANALOG", analog);
    {
        AudioSystem audio;
        QVERIFY(!audio.isReady());
        QCOMPARE(audio.failure().cause, "the audio system cannot start: " + error.toStdString());
        QVERIFY(audio.devices().empty());
    }
    // Put right, it starts.
    qputenv("SONVALE_SIM_ANALOG", "h2l=1e-5,,map=swapped");
    AudioSystem audio;
    QVERIFY(audio.isReady());
}

// A loose cable: only the interface's noise comes back.
void TestAudioSim::silentInput()
{
    const ToneCapture::Result result = capture("input=silent,noise=-100", blockWith(0, 0));
    QVERIFY2(!result.error, result.error.cause.c_str());
    const double sigma = std::pow(10.0, -100.0 / 20) / std::sqrt(2.0);
    for (const std::vector<double>& channel : result.channels) {
        double sum = 0;
        for (double v : channel)
            sum += v * v;
        const double rms = std::sqrt(sum / double(channel.size()));
        QVERIFY2(std::fabs(rms / sigma - 1) < 0.02, qPrintable(QString::number(rms)));
        // No tone: its fitted amplitude is the noise's, about sigma·sqrt(2/N).
        QVERIFY(std::abs(fit(channel, 2 * kPi * 997 / 48000, 1)[1]) < 10 * sigma * std::sqrt(2.0 / double(channel.size())));
    }
}

// 0.1 s lost half a second into the kept samples: the tone after the gap
// is out of step with the tone before it by 0.1 s (99.7 cycles).
void TestAudioSim::dropout()
{
    // The kept samples start after the settling time and the output's
    // latency (one buffer of the stand-in).
    const double keptFrom = 0.25 + double(AudioSim::bufferFrames) / 48000;
    const ToneCapture::Result result =
        capture(QByteArray("noise=-140,dropout=") + QByteArray::number(keptFrom + 0.5, 'g', 12),
                blockWith(0, 0));
    QVERIFY2(!result.error, result.error.cause.c_str());
    const std::vector<double>& x = result.channels[0];
    const double omega = 2 * kPi * 997 / 48000;
    const std::vector<Complex> before = fit(x, omega, 1, 0, 20000);
    double errorBefore = 0, errorAfter = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double model = before[0].real() + std::real(before[1] * std::polar(1.0, omega * double(n)));
        const double e = std::fabs(x[n] - model);
        if (n < 23990)
            errorBefore = std::max(errorBefore, e);
        else if (n > 24010)
            errorAfter = std::max(errorAfter, e);
    }
    QVERIFY2(errorBefore < 1e-5, qPrintable(QString::number(errorBefore)));
    QVERIFY2(errorAfter > 0.3, qPrintable(QString::number(errorAfter)));
    QCOMPARE(result.inputOverflows, 0);
}

// What a recording holds and says: the frames asked for, both channels,
// the host API, and an output that cannot play refused in words.
void TestAudioSim::recording()
{
    ToneCapture::Settings settings;
    settings.seconds = 0.5;
    settings.sampleRate = 96000;
    settings.levelDbfs = 6;     // capped at 0 dBFS
    const ToneCapture::Result result = capture("noise=-150", blockWith(0, 0), settings);
    QVERIFY2(!result.error, result.error.cause.c_str());
    QCOMPARE(result.sampleRate, 96000.0);
    QCOMPARE(result.channels.size(), size_t(2));
    QCOMPARE(result.channels[0].size(), size_t(48000));
    QCOMPARE(result.channels[1].size(), size_t(48000));
    QCOMPARE(result.outputMode, QStringLiteral("Sonvale simulation"));
    QCOMPARE(result.inputOverflows, 0);
    QCOMPARE(result.outputUnderflows, 0);
    const double level = 20 * std::log10(std::abs(fit(result.channels[0], 2 * kPi * 997 / 96000, 1)[1]));
    QVERIFY2(std::fabs(level) < 0.01, qPrintable(QString::number(level)));

    UsbSim::reset();
    qunsetenv("SONVALE_SIM_ANALOG");
    AudioSystem audio;
    // Both devices play; there is no third.
    const ToneCapture::Result refused = ToneCapture::run(2, 1, {});
    QCOMPARE(refused.error.kind, Error::Kind::Audio);
    QCOMPARE(refused.error.cause, std::string("device 2 cannot play audio"));
}

QTEST_GUILESS_MAIN(TestAudioSim)
#include "tst_audiosim.moc"
