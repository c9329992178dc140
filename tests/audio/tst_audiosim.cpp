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
#include "measure/analysis.h"
#include "usbsim.h"

#include <QtTest>

#include <cmath>
#include <complex>

namespace {

using Complex = std::complex<double>;
using HarmonicFit::fit;
constexpr double kPi = 3.14159265358979323846;


struct Measured {
    double amplitude = 0;   // of the fundamental
    double a2 = 0;          // the coefficients of v + a2·v² + a3·v³ that explain H2, H3
    double a3 = 0;
};

// For v = A·cos(θ): a2·v² puts a2·A²/2 at 2θ, a3·v³ puts a3·A³/4 at 3θ,
// both in phase with the fundamental.
Measured measure(const std::vector<double>& x, double omega)
{
    const std::vector<Complex> a = fit(x, omega, 3);
    const double amplitude = std::abs(a[1]);
    const double phase = std::arg(a[1]);
    const Complex h2 = a[2] / amplitude * std::polar(1.0, -2 * phase);
    const Complex h3 = a[3] / amplitude * std::polar(1.0, -3 * phase);
    return {amplitude, 2 * h2.real() / amplitude, 4 * h3.real() / (amplitude * amplitude)};
}

VirtualDac::Block blockWith(uint8_t left, uint8_t right, const std::vector<int>& thd = {})
{
    VirtualDac::Block block = VirtualDac::factoryBlock();
    block[4] = left;
    block[5] = right;
    for (size_t i = 0; i < thd.size(); ++i) {
        block[10 + 2 * i] = uint8_t(uint16_t(thd[i]) >> 8);
        block[11 + 2 * i] = uint8_t(thd[i] & 0xFF);
    }
    return block;
}

ToneCapture::Result capture(const QByteArray& analog, const VirtualDac::Block& block,
                            ToneCapture::Settings settings = {})
{
    UsbSim::reset();
    UsbSim::setBlock(block);
    qputenv("SONVALE_SIM_ANALOG", analog);
    AudioSystem audio;
    if (!audio.isReady()) {
        ToneCapture::Result failed;
        failed.error = audio.error();
        return failed;
    }
    return ToneCapture::run(audio.defaultOutput(), audio.defaultInput(), settings);
}

// The factory block's THD values: pairs (2nd, 3rd) -300/260, 45/-120, -4/25.
const std::vector<int> kFactory{-300, 260, 45, -120, -4, 25};

// A path with no distortion of its own and no THD value acting, as a start
// for the keys a test is about.
const QByteArray kClean = "h2l=0,h3l=0,h2r=0,h3r=0,k2=0,k3=0,";

// A capture through the program's own analysis.
CaptureAnalysis analysed(const QByteArray& analog, const VirtualDac::Block& block,
                         ToneCapture::Settings settings = {})
{
    const ToneCapture::Result result = capture(analog, block, settings);
    if (!result.ok)
        qWarning("%s", qPrintable(result.error));
    AnalysisOptions options;
    options.expectedFrequencyHz = settings.frequencyHz;
    return analyseCapture(result.channels, settings.sampleRate, options);
}

} // namespace

class TestAudioSim : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void model_data();
    void model();
    void volume_data();
    void volume();
    void gain_data();
    void gain();
    void hum();
    void wander();
    void rotation_data();
    void rotation();
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

    // Defaults: h2l 2e-5, h3l 1.5e-5, h2r -1.2e-5, h3r 2.5e-5, k2 = k3 = 1e-7.
    QTest::newRow("defaults, factory values") << QByteArray() << kFactory << 0.0
        << 2e-5 - 300e-7 << 1.5e-5 + 260e-7 << -1.2e-5 + 45e-7 << 2.5e-5 - 120e-7;
    QTest::newRow("swapped") << QByteArray("map=swapped") << kFactory << 0.0
        << 2e-5 + 45e-7 << 1.5e-5 - 120e-7 << -1.2e-5 - 300e-7 << 2.5e-5 + 260e-7;
    QTest::newRow("pair 2 drives nothing") << QByteArray("map=straight")
        << std::vector<int>{-300, 260, 45, -120, 32767, -32768} << 0.0
        << 2e-5 - 300e-7 << 1.5e-5 + 260e-7 << -1.2e-5 + 45e-7 << 2.5e-5 - 120e-7;
    QTest::newRow("given coefficients")
        << QByteArray("h2l=1e-4,h3l=-2e-4,h2r=0,h3r=5e-5,k2=-2e-7,k3=3e-7")
        << std::vector<int>{1000, -1000, 0, 100, 0, 0} << 0.0
        << 1e-4 - 2e-4 << -2e-4 - 3e-4 << 0.0 << 5e-5 + 3e-5;
    QTest::newRow("the interface's own distortion adds")
        << QByteArray("h2l=0,h3l=0,h2r=1e-5,h3r=1e-5,k2=0,k3=0,adc2=1e-4,adc3=-5e-5")
        << kFactory << 0.0 << 1e-4 << -5e-5 << 1e-5 + 1e-4 << 1e-5 - 5e-5;
    QTest::newRow("clock 100 ppm fast") << QByteArray("ppm=100") << kFactory << 100.0
        << 2e-5 - 300e-7 << 1.5e-5 + 260e-7 << -1.2e-5 + 45e-7 << 2.5e-5 - 120e-7;
    QTest::newRow("clean path, clock 250 ppm slow")
        << QByteArray("h2l=0,h3l=0,h2r=0,h3r=0,k2=0,k3=0,ppm=-250,noise=-160")
        << kFactory << -250.0 << 0.0 << 0.0 << 0.0 << 0.0;
}

void TestAudioSim::model()
{
    QFETCH(QByteArray, analog);
    QFETCH(std::vector<int>, thd);
    QFETCH(double, ppm);

    const ToneCapture::Result result = capture(analog, blockWith(0, 0, thd));
    QVERIFY2(result.ok, qPrintable(result.error));
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
    QVERIFY2(result.ok, qPrintable(result.error));
    const double omega = 2 * kPi * 997 / 48000;
    const double levels[2] = {leftDb, rightDb};
    for (int c = 0; c < 2; ++c) {
        const double level = 20 * std::log10(std::abs(fit(result.channels[size_t(c)], omega, 1)[1]));
        QVERIFY2(std::fabs(level - (levels[c] - 3)) < 0.02,
                 qPrintable(QStringLiteral("channel %1 at %2 dBFS").arg(c).arg(level)));
    }
}

void TestAudioSim::gain_data()
{
    QTest::addColumn<double>("db");

    QTest::newRow("20 dB down") << -20.0;
    QTest::newRow("2.5 dB up") << 2.5;
}

// The interface's input gain moves the level by exactly its decibels, and it
// comes before the interface's own distortion, whose H2 grows with the level.
void TestAudioSim::gain()
{
    QFETCH(double, db);

    const CaptureAnalysis a =
        analysed(kClean + "adc2=1e-3,noise=-150,gain=" + QByteArray::number(db), blockWith(0, 0));
    QCOMPARE(a.channels.size(), size_t(2));
    const double amplitude = std::pow(10.0, (db - 3) / 20);
    for (const ChannelAnalysis& c : a.channels) {
        QVERIFY2(std::fabs(c.levelDbfs - (db - 3)) < 1e-4,
                 qPrintable(QString::number(c.levelDbfs)));
        const double h2 = 20 * std::log10(1e-3 * amplitude / 2);
        QVERIFY2(std::fabs(c.harmonicDbc(2) - h2) < 0.01,
                 qPrintable(QString::number(c.harmonicDbc(2))));
    }
}

// A ground loop: 50 Hz at the level given and 100 and 150 Hz 6 and 12 dB
// below it, on both inputs.
void TestAudioSim::hum()
{
    const ToneCapture::Result result = capture(kClean + "noise=-150,hum=-80", blockWith(0, 0));
    QVERIFY2(result.ok, qPrintable(result.error));
    for (const std::vector<double>& channel : result.channels) {
        const std::vector<Complex> a = fit(channel, 2 * kPi * 50 / 48000, 3);
        for (int k = 1; k <= 3; ++k) {
            const double level = 20 * std::log10(std::abs(a[size_t(k)]));
            QVERIFY2(std::fabs(level - (-80 - 6 * (k - 1))) < 0.01,
                     qPrintable(QStringLiteral("%1 Hz at %2 dBFS").arg(50 * k).arg(level)));
        }
    }
}

// The interface's clock rate swings by ±2000 ppm over a minute around
// -30 ppm, from the start of the recording: half a second at a time, the
// tone comes in at the mean of that swing.
void TestAudioSim::wander()
{
    const ToneCapture::Result result =
        capture(kClean + "noise=-150,ppm=-30,wander=2000", blockWith(0, 0));
    QVERIFY2(result.ok, qPrintable(result.error));
    const double keptFrom = 0.25 + double(AudioSim::bufferFrames) / 48000;
    for (int half = 0; half < 2; ++half) {
        const double from = keptFrom + 0.5 * half, to = from + 0.5;
        const double w = 2 * kPi / 60;
        const double meanSine = (std::cos(w * from) - std::cos(w * to)) / (w * (to - from));
        const double expected = 997 * (1 + (-30 + 2000 * meanSine) * 1e-6);
        const ChannelAnalysis a =
            analyseChannel(result.channels[0].data() + 24000 * half, 24000, 48000);
        QVERIFY2(std::fabs(a.frequencyHz - expected) < 997e-7,
                 qPrintable(QStringLiteral("%1 Hz, expected %2")
                                .arg(a.frequencyHz, 0, 'f', 5)
                                .arg(expected, 0, 'f', 5)));
    }
}

void TestAudioSim::rotation_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("rot2");
    QTest::addColumn<double>("rot3");

    QTest::newRow("997 Hz at 48 kHz") << 48000.0 << 997.0 << 60.0 << -60.0;
    // Not 300 Hz: 147 samples to its cycle would make the float samples'
    // rounding a distortion of its own, some -170 dBc.
    QTest::newRow("307 Hz at 44.1 kHz") << 44100.0 << 307.0 << -120.0 << 120.0;
}

// The analog stages turn what the THD values add by rot2 at 2f and rot3 at
// 3f against the DAC's own distortion h (k = 1e-7 per unit). Each value's
// null then lies at c = -h·cos(rot)/k, and what is left there is h·sin(rot)
// turned to rot - 90°, in quadrature to what the value moves: the values
// are set there, on both outputs, and measured.
void TestAudioSim::rotation()
{
    QFETCH(double, rate);
    QFETCH(double, frequency);
    QFETCH(double, rot2);
    QFETCH(double, rot3);

    const double own[2][2] = {{2e-5, 1.5e-5}, {-1.2e-5, 2.5e-5}}; // h2, h3 of each output
    const double rot[2] = {rot2 * kPi / 180, rot3 * kPi / 180};
    std::vector<int> values;
    for (const auto& h : own)
        for (int k = 0; k < 2; ++k)
            values.push_back(int(std::lround(-h[k] * std::cos(rot[k]) / 1e-7)));
    ToneCapture::Settings settings;
    settings.sampleRate = rate;
    settings.frequencyHz = frequency;
    const CaptureAnalysis a = analysed("noise=-150,rot2=" + QByteArray::number(rot2)
                                           + ",rot3=" + QByteArray::number(rot3),
                                       blockWith(0, 0, values), settings);
    QCOMPARE(a.channels.size(), size_t(2));
    const double amplitude = std::pow(10.0, -3.0 / 20);
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < 2; ++k) {
            // a2·v² puts a2·A/2 at 2f, a3·v³ a3·A²/4 at 3f, against the fundamental.
            const double scale = k == 0 ? amplitude / 2 : amplitude * amplitude / 4;
            const Complex expected =
                std::polar(scale * own[c][k] * std::sin(rot[k]), rot[k] - kPi / 2);
            const Complex measured = a.channels[size_t(c)].harmonics[size_t(k + 2)];
            QVERIFY2(
                std::abs(measured - expected) < 1e-3 * std::abs(expected),
                qPrintable(QStringLiteral("output %1, H%2: %3 dBc at %4°, expected %5 dBc at %6°")
                               .arg(c)
                               .arg(k + 2)
                               .arg(20 * std::log10(std::abs(measured)))
                               .arg(std::arg(measured) * 180 / kPi)
                               .arg(20 * std::log10(std::abs(expected)))
                               .arg(std::arg(expected) * 180 / kPi)));
        }
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
    QTest::newRow("gain past 100 dB")
        << QByteArray("gain=-101") << "SONVALE_SIM_ANALOG: bad value '-101' for gain";
}

void TestAudioSim::refused()
{
    QFETCH(QByteArray, analog);
    QFETCH(QString, error);

    qputenv("SONVALE_SIM_ANALOG", analog);
    {
        AudioSystem audio;
        QVERIFY(!audio.isReady());
        QCOMPARE(audio.error(), error);
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
    QVERIFY2(result.ok, qPrintable(result.error));
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
    QVERIFY2(result.ok, qPrintable(result.error));
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
    QVERIFY2(result.ok, qPrintable(result.error));
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
    const ToneCapture::Result refused = ToneCapture::run(1, 1, {});
    QVERIFY(!refused.ok);
    QCOMPARE(refused.error, QStringLiteral("device 1 cannot play audio"));
}

QTEST_GUILESS_MAIN(TestAudioSim)
#include "tst_audiosim.moc"
