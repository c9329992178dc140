// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis of a captured sine against signals whose levels, harmonics and
// phases are known: clock offsets, delays, DC, noise, quantisation; and the
// problems it must report instead of measuring them.

#include "clocksignals.h"
#include "measure/analysis.h"
#include "measure/decibels.h"
#include "synthetic.h"

#include <QStringList>
#include <QTest>

using Synthetic::Harmonic;
using Synthetic::Tone;

Q_DECLARE_METATYPE(Tone)
Q_DECLARE_METATYPE(ClockSignals::Desk)

namespace {

ChannelAnalysis analyse(const std::vector<double>& samples, double rateHz, const AnalysisOptions& options = {})
{
    return analyseChannel(samples.data(), samples.size(), rateHz, options);
}

QStringList problemsOf(const std::vector<std::string>& problems)
{
    QStringList list;
    for (const std::string& problem : problems)
        list << QString::fromStdString(problem);
    return list;
}

double wrapDeg(double degrees)
{
    while (degrees > 180)
        degrees -= 360;
    while (degrees <= -180)
        degrees += 360;
    return degrees;
}

Tone tone(double rateHz, double frequencyHz, double levelDbfs, double ppm, double delay, double noiseDbfs,
          std::map<int, Harmonic> harmonics)
{
    Tone t;
    t.rateHz = rateHz;
    t.frequencyHz = frequencyHz;
    t.levelDbfs = levelDbfs;
    t.ppm = ppm;
    t.delaySamples = delay;
    t.noiseDbfs = noiseDbfs;
    t.harmonics = std::move(harmonics);
    return t;
}

} // namespace

class TestAnalysis : public QObject {
    Q_OBJECT

private slots:
    void harmonics_data();
    void harmonics();
    void phaseOfDistortion_data();
    void phaseOfDistortion();
    void thdPlusNoise_data();
    void thdPlusNoise();
    void problems_data();
    void problems();
    void expectedFrequency_data();
    void expectedFrequency();
    void capture();
    void desk_data();
    void desk();
    void thdPercentText_data();
    void thdPercentText();
};

void TestAnalysis::harmonics_data()
{
    QTest::addColumn<Tone>("tone");

    QTest::newRow("1 kHz on a bin, no noise")
        << tone(48000, 1000, -3, 0, 0, -1000, {{2, {-100, 30}}, {3, {-110, -120}}});
    QTest::newRow("997 Hz, +100 ppm, noise -125 dBFS, down to -120 dBc")
        << tone(48000, 997, -3, 100, 0, -125, {{2, {-120, 45}}, {3, {-115, 170}}, {4, {-120, -90}}, {5, {-120, 0}}});
    QTest::newRow("997 Hz, -100 ppm, delayed 123.4 samples, noise -125 dBFS")
        << tone(48000, 997, -3, -100, 123.4, -125, {{2, {-105, -60}}, {3, {-118, 180}}, {5, {-110, 90}}});
    QTest::newRow("strong: -40 and -60 dBc up to H9")
        << tone(48000, 997, -1, 50, 7, -125, {{2, {-40, 10}}, {3, {-60, -170}}, {7, {-70, 100}}, {9, {-80, -30}}});
    QTest::newRow("44.1 kHz, 1 kHz, -20 dBFS")
        << tone(44100, 1000, -20, 100, 0, -125, {{2, {-90, 20}}, {3, {-95, -20}}});
    QTest::newRow("192 kHz, 997 Hz")
        << tone(192000, 997, -6, -100, 0, -125, {{2, {-110, -150}}, {3, {-112, 60}}});
    QTest::newRow("96 kHz, 50 Hz")
        << tone(96000, 50, -3, 100, 0, -125, {{2, {-100, 0}}, {3, {-100, 180}}});
    QTest::newRow("44.1 kHz, 5 kHz: H5 and up above half the rate")
        << tone(44100, 5000, -3, 0, 0, -125, {{2, {-100, 0}}, {4, {-100, 180}}});
    Tone offset = tone(48000, 997, -3, 0, 0, -125, {{2, {-100, 77}}});
    offset.dc = 0.1;
    QTest::newRow("DC 0.1") << offset;
    Tone quantised = tone(48000, 997, -3, 30, 0, -1000, {{2, {-80, -45}}, {3, {-90, 135}}});
    quantised.quantiseBits = 16;
    QTest::newRow("16-bit samples") << quantised;
}

// Levels within 0.05 dB, harmonics within 0.3 dB and 2°, the frequency and
// THD from the harmonics put in.
void TestAnalysis::harmonics()
{
    QFETCH(Tone, tone);
    const std::vector<double> samples = Synthetic::synthesize(tone);
    const ChannelAnalysis result = analyse(samples, tone.rateHz);

    QVERIFY(result.hasTone);
    QCOMPARE(problemsOf(result.problems), QStringList());
    const double frequency = tone.frequencyHz * (1 + tone.ppm * 1e-6);
    QVERIFY2(std::abs(result.frequencyHz - frequency) < 1e-4,
             qPrintable(QString::number(result.frequencyHz, 'f', 6)));
    QVERIFY2(std::abs(result.levelDbfs - tone.levelDbfs) < 0.05, qPrintable(QString::number(result.levelDbfs)));
    QVERIFY(std::abs(result.dcOffset - tone.dc) < 1e-6);

    double thd = 0;
    for (int order = 2; order <= highestHarmonic; ++order) {
        const bool aboveNyquist = order * tone.frequencyHz >= tone.rateHz / 2;
        if (aboveNyquist) {
            QVERIFY2(std::isnan(result.harmonicDbc(order)), qPrintable(QString::number(order)));
            continue;
        }
        const auto injected = tone.harmonics.find(order);
        if (injected == tone.harmonics.end()) {
            // Nothing put in: below the noise that was.
            QVERIFY2(result.harmonicDbc(order) < std::max(-130.0, tone.noiseDbfs - tone.levelDbfs - 20),
                     qPrintable(QStringLiteral("H%1 %2").arg(order).arg(result.harmonicDbc(order))));
            continue;
        }
        thd += std::pow(10.0, injected->second.dbc / 10);
        const QString what = QStringLiteral("H%1: %2 dBc %3°")
                                 .arg(order)
                                 .arg(result.harmonicDbc(order))
                                 .arg(result.harmonicPhaseDeg(order));
        QVERIFY2(std::abs(result.harmonicDbc(order) - injected->second.dbc) < 0.3, qPrintable(what));
        QVERIFY2(std::abs(wrapDeg(result.harmonicPhaseDeg(order) - injected->second.phaseDeg)) < 2, qPrintable(what));
        QVERIFY(result.harmonicPhaseDeg(order) > -180 && result.harmonicPhaseDeg(order) <= 180);
    }
    QVERIFY2(std::abs(result.thdDb - 10 * std::log10(thd)) < 0.3, qPrintable(QString::number(result.thdDb)));
    QVERIFY(std::abs(result.thdPercent - 100 * std::sqrt(thd)) < 0.04 * 100 * std::sqrt(thd));
    QCOMPARE(result.harmonics[1], std::complex<double>(1.0));
    QVERIFY(result.seconds > tone.seconds - 1.0 / tone.frequencyHz - 2.0 / tone.rateHz);
    QVERIFY(result.seconds <= tone.seconds);
}

// The phase convention as the DAC's compensation sees it: y = x + c·x² puts H2
// at 0° for c > 0 and at 180° for c < 0, y = x + c·x³ H3 likewise, whatever
// the delay.
void TestAnalysis::phaseOfDistortion_data()
{
    QTest::addColumn<int>("power");
    QTest::addColumn<double>("coefficient");
    QTest::addColumn<double>("delaySamples");
    QTest::addColumn<double>("phaseDeg");

    QTest::newRow("x², c > 0") << 2 << 1e-4 << 0.0 << 0.0;
    QTest::newRow("x², c < 0") << 2 << -1e-4 << 0.0 << 180.0;
    QTest::newRow("x², c > 0, delayed 17.3 samples") << 2 << 1e-4 << 17.3 << 0.0;
    QTest::newRow("x², c < 0, delayed 1000.9 samples") << 2 << -1e-4 << 1000.9 << 180.0;
    QTest::newRow("x³, c > 0, delayed 5.5 samples") << 3 << 1e-4 << 5.5 << 0.0;
    QTest::newRow("x³, c < 0") << 3 << -1e-4 << 0.0 << 180.0;
}

void TestAnalysis::phaseOfDistortion()
{
    QFETCH(int, power);
    QFETCH(double, coefficient);
    QFETCH(double, delaySamples);
    QFETCH(double, phaseDeg);

    Tone t = tone(48000, 997, -3, 80, delaySamples, -1000, {});
    std::vector<double> samples = Synthetic::synthesize(t);
    for (double& x : samples)
        x += coefficient * std::pow(x, power);
    const ChannelAnalysis result = analyse(samples, 48000);
    QVERIFY(std::abs(wrapDeg(result.harmonicPhaseDeg(power) - phaseDeg)) < 0.1);
    // c·A^(p−1)/2 for x², c·A^(p−1)/4 for x³, relative to the fundamental.
    const double amplitude = dbToLinear(-3);
    const double expected = std::abs(coefficient) * (power == 2 ? amplitude / 2 : amplitude * amplitude / 4);
    QVERIFY(std::abs(result.harmonicDbc(power) - linearToDb(expected)) < 0.05);
}

// THD+N: everything but DC and the fundamental within 20 Hz..20 kHz.
void TestAnalysis::thdPlusNoise_data()
{
    QTest::addColumn<Tone>("tone");
    QTest::addColumn<double>("thdnDb");

    // White noise spreads evenly to half the rate: the band keeps 19980 Hz of it.
    QTest::newRow("noise -100 dBFS at 48 kHz")
        << tone(48000, 997, -3, 100, 0, -100, {}) << -97.0 + 10 * std::log10(19980.0 / 24000);
    QTest::newRow("noise -90 dBFS at 96 kHz")
        << tone(96000, 997, -10, 0, 0, -90, {}) << -80.0 + 10 * std::log10(19980.0 / 48000);
    QTest::newRow("H2 -80 dBc over noise -140 dBFS") << tone(48000, 997, -3, 0, 0, -140, {{2, {-80, 33}}}) << -80.0;
    QTest::newRow("H3 and H9 (18 kHz) at -70 dBc, both inside")
        << tone(44100, 2000, -3, 0, 0, -140, {{3, {-70, 0}}, {9, {-70, 0}}}) << -70.0 + 10 * std::log10(2.0);
    QTest::newRow("H9 of 3 kHz (27 kHz) outside the band at 96 kHz")
        << tone(96000, 3000, -3, 0, 0, -140, {{2, {-90, 0}}, {9, {-60, 0}}}) << -90.0;
}

void TestAnalysis::thdPlusNoise()
{
    QFETCH(Tone, tone);
    QFETCH(double, thdnDb);
    const ChannelAnalysis result = analyse(Synthetic::synthesize(tone), tone.rateHz);
    QVERIFY2(std::abs(result.thdnDb - thdnDb) < 0.3,
             qPrintable(QStringLiteral("%1 against %2").arg(result.thdnDb).arg(thdnDb)));
}

void TestAnalysis::problems_data()
{
    QTest::addColumn<std::vector<double>>("samples");
    QTest::addColumn<double>("expectedLevel");  // NaN: not checked
    QTest::addColumn<QStringList>("problems");

    const double none = std::numeric_limits<double>::quiet_NaN();
    const Tone clean = tone(48000, 997, -3, 100, 0, -125, {{2, {-60, 0}}, {3, {-60, 90}}});
    const std::vector<double> cleanSamples = Synthetic::synthesize(clean);
    QTest::newRow("clean, harmonics at -60 dBc, 100 ppm") << cleanSamples << -3.0 << QStringList();
    QTest::newRow("clean at -100 ppm, noise -125 dBFS")
        << Synthetic::synthesize(tone(48000, 1001, -3, -100, 0, -125, {})) << none << QStringList();
    QTest::newRow("quiet: -60 dBFS in noise at -100 dBFS")
        << Synthetic::synthesize(tone(48000, 997, -60, 0, 0, -100, {})) << none << QStringList();
    std::vector<double> hum = Synthetic::synthesize(tone(48000, 997, -3, 100, 0, -120, {{2, {-100, 0}}}));
    for (std::size_t i = 0; i < hum.size(); ++i)
        hum[i] += dbToLinear(-80) * std::cos(2 * Synthetic::pi * 50 * double(i) / 48000);
    QTest::newRow("hum at -80 dBFS") << hum << none << QStringList();
    Tone slow = tone(48000, 20, -0.5, 0, 0, -1000, {});
    slow.quantiseBits = 16;
    QTest::newRow("20 Hz at -0.5 dBFS in 16 bits: crests repeat samples") << Synthetic::synthesize(slow) << none
                                                                          << QStringList();
    QTest::newRow("ten cycles of 20 Hz") << Synthetic::synthesize(tone(48000, 20, -3, 0, 0, -125, {}))
                                       << none << QStringList();

    QTest::newRow("silence") << std::vector<double>(48000, 0.0) << -3.0 << QStringList{"no signal"};
    QTest::newRow("DC alone") << std::vector<double>(48000, 0.25) << none << QStringList{"no signal"};
    QTest::newRow("noise alone") << Synthetic::synthesize(tone(48000, 997, -400, 0, 0, -60, {})) << none
                                 << QStringList{"no signal"};
    QTest::newRow("too short") << std::vector<double>(cleanSamples.begin(), cleanSamples.begin() + 100) << none
                               << QStringList{"no signal"};

    std::vector<double> notANumber = cleanSamples;
    notANumber[1234] = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("a sample not a number") << notANumber << none << QStringList{"no signal"};

    std::vector<double> hard = Synthetic::synthesize(tone(48000, 997, 1, 0, 0, -125, {}));
    for (double& x : hard)
        x = std::clamp(x, -1.0, 32767.0 / 32768);
    QTest::newRow("clipped at full scale") << hard << none << QStringList{"clipping"};
    std::vector<double> flat = cleanSamples;
    for (double& x : flat)
        x = std::clamp(x, -0.6, 0.6);
    QTest::newRow("flat-topped at 0.6 by an input stage") << flat << none << QStringList{"clipping"};

    std::vector<double> gap = cleanSamples;
    gap.erase(gap.begin() + 30000, gap.begin() + 30144);
    QTest::newRow("3 ms lost") << gap << none << QStringList{"dropout"};
    std::vector<double> slip = cleanSamples;
    slip.erase(slip.begin() + 24000);
    QTest::newRow("one sample lost") << slip << none << QStringList{"dropout"};
    std::vector<double> zeros = cleanSamples;
    std::fill(zeros.begin() + 10000, zeros.begin() + 10096, 0.0);
    QTest::newRow("2 ms of zeros") << zeros << none << QStringList{"dropout"};
    std::vector<double> repeated = cleanSamples;
    repeated.insert(repeated.begin() + 40000, cleanSamples.begin() + 39760, cleanSamples.begin() + 40000);
    QTest::newRow("5 ms repeated") << repeated << none << QStringList{"dropout"};
    std::vector<double> early = cleanSamples;
    early.erase(early.begin() + 500, early.begin() + 548);
    QTest::newRow("1 ms lost near the start") << early << none << QStringList{"dropout"};

    QTest::newRow("level 1.5 dB low") << Synthetic::synthesize(tone(48000, 997, -4.5, 0, 0, -125, {})) << -3.0
                                      << QStringList{"level"};
    QTest::newRow("level 0.8 dB high") << Synthetic::synthesize(tone(48000, 997, -2.2, 0, 0, -125, {})) << -3.0
                                       << QStringList();
}

void TestAnalysis::problems()
{
    QFETCH(std::vector<double>, samples);
    QFETCH(double, expectedLevel);
    QFETCH(QStringList, problems);
    AnalysisOptions options;
    if (!std::isnan(expectedLevel))
        options.expectedLevelDbfs = expectedLevel;
    const ChannelAnalysis result = analyse(samples, 48000, options);
    QCOMPARE(problemsOf(result.problems), problems);
    QCOMPARE(result.hasTone, !problems.contains("no signal"));
    if (!result.hasTone) {
        QVERIFY(std::isnan(result.levelDbfs));
        QVERIFY(std::isnan(result.thdDb));
    }
}

// The tone searched for near the frequency played: found through clock
// offsets; where another tone carries the capture, "no signal" rather than
// a measurement of something else.
void TestAnalysis::expectedFrequency_data()
{
    QTest::addColumn<double>("playedHz");
    QTest::addColumn<double>("expectedHz");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("997 Hz at 997 Hz") << 997.0 << 997.0 << QStringList();
    QTest::newRow("997 Hz, 1 % off") << 997.0 * 1.01 << 997.0 << QStringList();
    QTest::newRow("3 kHz where 1 kHz was played") << 3000.0 << 1000.0 << QStringList{"no signal"};
}

void TestAnalysis::expectedFrequency()
{
    QFETCH(double, playedHz);
    QFETCH(double, expectedHz);
    QFETCH(QStringList, problems);
    AnalysisOptions options;
    options.expectedFrequencyHz = expectedHz;
    const ChannelAnalysis result = analyse(Synthetic::synthesize(tone(48000, playedHz, -3, 0, 0, -125, {})), 48000, options);
    QCOMPARE(problemsOf(result.problems), problems);
    if (problems.isEmpty())
        QVERIFY(std::abs(result.frequencyHz - playedHz) < 1e-3);
}

// Interleaved frames as a stream delivers them: each channel on its own, the
// problems of all of them once, in the list's order.
void TestAnalysis::capture()
{
    const std::vector<double> left = Synthetic::synthesize(tone(48000, 997, -3, 0, 0, -125, {{2, {-90, 45}}}));
    const std::vector<double> right = Synthetic::synthesize(tone(48000, 997, -10, 0, 0, -125, {{3, {-95, -45}}}));
    std::vector<float> frames;
    for (std::size_t i = 0; i < left.size(); ++i) {
        frames.push_back(float(left[i]));
        frames.push_back(i >= 20000 && i < 20100 ? 0.0f : float(right[i]));
    }
    AnalysisOptions options;
    options.expectedLevelDbfs = -3;
    const CaptureAnalysis capture = analyseInterleaved(frames.data(), left.size(), 2, 48000, options);
    QCOMPARE(capture.channels.size(), std::size_t(2));
    QCOMPARE(capture.rateHz, 48000.0);
    QCOMPARE(capture.seconds, 1.0);
    QVERIFY(std::abs(capture.channels[0].levelDbfs + 3) < 0.05);
    QVERIFY(std::abs(capture.channels[0].harmonicDbc(2) + 90) < 0.3);
    QVERIFY(std::abs(capture.channels[1].levelDbfs + 10) < 0.05);
    QCOMPARE(problemsOf(capture.channels[0].problems), QStringList());
    QCOMPARE(problemsOf(capture.channels[1].problems), (QStringList{"dropout", "level"}));
    QCOMPARE(problemsOf(capture.problems), (QStringList{"dropout", "level"}));
    QVERIFY(!capture.ok());
}

// Captures on a desk. A slow wander of the clocks moves the phase far more
// than a slip does, but smoothly: only a step, a sample lost or repeated
// anywhere in two minutes, is a dropout. Nor may the wander stay in what the
// fit leaves (one second carries some of it where the frequency changes
// fastest): the figures are those of the same capture on steady clocks. The
// noise of each part of a harmonic, which the THD solver weighs a change
// against, is σ·√(2/N) against the fundamental for white noise of RMS σ over
// the N samples analysed, whatever hum the capture carries besides.
void TestAnalysis::desk_data()
{
    QTest::addColumn<ClockSignals::Desk>("desk");
    QTest::addColumn<QString>("slip");
    QTest::addColumn<double>("atSeconds");

    ClockSignals::Desk desk = ClockSignals::wandering();
    QTest::newRow("120 s, ±2 ppm over 60 s about +50 ppm") << desk << "" << 0.0;
    for (const char* slip : {"lost", "repeated"}) {
        for (double at : {0.001, 61.2345, 119.99})
            QTest::addRow("120 s, a sample %s at %g s: dropout", slip, at) << desk << slip << at;
    }
    desk.seconds = 1;
    desk.harmonics = {{2, {-100, 40}}, {3, {-105, -135}}};
    QTest::newRow("1 s where the frequency changes fastest") << desk << "" << 0.0;
    desk.hum = ClockSignals::groundLoop();
    QTest::newRow("and hum from a ground loop, -105 dBFS") << desk << "" << 0.0;
}

void TestAnalysis::desk()
{
    QFETCH(ClockSignals::Desk, desk);
    QFETCH(QString, slip);
    QFETCH(double, atSeconds);
    std::vector<double> samples = ClockSignals::synthesize(desk);
    const auto at = samples.begin() + std::ptrdiff_t(atSeconds * desk.rateHz);
    if (slip == "lost")
        samples.erase(at);
    else if (slip == "repeated")
        samples.insert(at, *at);
    const ChannelAnalysis result = analyse(samples, desk.rateHz);
    QCOMPARE(problemsOf(result.problems), slip.isEmpty() ? QStringList() : QStringList{"dropout"});
    if (!slip.isEmpty())
        return;

    desk.wanderPpm = 0;
    const ChannelAnalysis steady = analyse(ClockSignals::synthesize(desk), desk.rateHz);
    QVERIFY2(std::abs(result.levelDbfs - desk.levelDbfs) < 0.05,
             qPrintable(QString::number(result.levelDbfs)));
    for (const auto& [order, h] : desk.harmonics) {
        const double db = result.harmonicDbc(order), degrees = result.harmonicPhaseDeg(order);
        const QString what = QStringLiteral("H%1: %2 dBc %3°").arg(order).arg(db).arg(degrees);
        QVERIFY2(std::abs(db - h.dbc) < 0.3 && std::abs(wrapDeg(degrees - h.phaseDeg)) < 2,
                 qPrintable(what));
    }
    const QString thdn =
        QStringLiteral("THD+N %1 dB, steady %2").arg(result.thdnDb).arg(steady.thdnDb);
    QVERIFY2(std::abs(result.thdnDb - steady.thdnDb) < 1.0, qPrintable(thdn));
    const double white =
        Synthetic::noiseRms(desk.noiseDbfs) * std::sqrt(2.0 / (result.seconds * desk.rateHz));
    const double offDb = linearToDb(result.harmonicNoise / (white / dbToLinear(desk.levelDbfs)));
    QVERIFY2(std::abs(offDb) < (desk.hum.empty() ? 1.0 : 1.5),
             qPrintable(QStringLiteral("harmonic noise %1 dB off").arg(offDb)));
}

QTEST_APPLESS_MAIN(TestAnalysis)
// How the THD reads in per cent, in the window's table and sonvalectl's
// lines: a tuned DAC lies below 0.0001 %, where "%g" would turn to exponents.
void TestAnalysis::thdPercentText_data()
{
    QTest::addColumn<double>("percent");
    QTest::addColumn<QString>("text");

    QTest::newRow("-100 dB") << 0.001 << "0.001";
    QTest::newRow("three digits") << 0.00105 << "0.00105";
    QTest::newRow("tuned, -121 dB") << 8.946e-05 << "0.0000895";
    QTest::newRow("-140 dB") << 1e-05 << "0.00001";
    QTest::newRow("rounds up to the next decade") << 9.9996e-06 << "0.00001";
    QTest::newRow("-160 dB, rounded") << 1.2345e-06 << "0.00000123";
    QTest::newRow("large") << 12.345 << "12.3";
    QTest::newRow("more than 1000 %") << 1234.6 << "1235";
    QTest::newRow("none") << ChannelAnalysis::none << "-";
}

void TestAnalysis::thdPercentText()
{
    QFETCH(double, percent);
    QFETCH(QString, text);
    ChannelAnalysis channel;
    channel.thdPercent = percent;
    QCOMPARE(QString::fromStdString(channel.thdPercentText()), text);
}

#include "tst_analysis.moc"
