// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD solver on a model of the DAC and a loopback interface: each capture
// is synthesised from the values written and analysed, so the solver sees
// what it would see on the real path. The optimum of each value is -h/k.

#include "measure/thdsolver.h"
#include "synthetic.h"

#include <QStringList>
#include <QTest>

using Synthetic::AnalogPath;

Q_DECLARE_METATYPE(AnalogPath)
Q_DECLARE_METATYPE(ThdValues)
Q_DECLARE_METATYPE(ThdSolver::Outcome)

namespace {

AnalogPath path(int leftDriver, int rightDriver)
{
    AnalogPath model;
    model.driver[0] = leftDriver;
    model.driver[1] = rightDriver;
    return model;
}

ThdValues values(std::array<std::array<int16_t, 2>, 3> pairs)
{
    ThdValues v;
    v.pairs = pairs;
    return v;
}

QString describe(const ThdSolver::Result& result)
{
    QString text = QStringLiteral("captures %1, reason \"%2\", values").arg(result.captures).arg(QString::fromStdString(result.reason));
    for (const auto& pair : result.values.pairs)
        text += QStringLiteral(" %1/%2").arg(pair[0]).arg(pair[1]);
    for (const std::string& note : result.notes)
        text += "; " + QString::fromStdString(note);
    return text;
}

// "probe 1#0 3/7 x1": purpose, pair#attempt or outputs, capture/planned,
// length factor.
QString stepOf(const ThdSolver::Step& step)
{
    static const char* const names[] = {"start", "probe", "solved", "refine"};
    QString text = names[int(step.purpose)];
    if (step.purpose == ThdSolver::Step::Purpose::Probe)
        text += QStringLiteral(" %1#%2").arg(step.pair).arg(step.attempt);
    for (int output : step.outputs)
        text += QStringLiteral(" %1").arg(output == 0 ? "L" : "R");
    return text + QStringLiteral(" %1/%2 x%3").arg(step.capture).arg(step.planned).arg(std::round(step.lengthFactor));
}

QStringList notesOf(const ThdSolver::Result& result)
{
    QStringList notes;
    for (const std::string& note : result.notes)
        notes << QString::fromStdString(note);
    return notes;
}

} // namespace

class TestThdSolver : public QObject {
    Q_OBJECT

private slots:
    void reachesOptimum_data();
    void reachesOptimum();
    void sharedPair();
    void noisyCapture_data();
    void noisyCapture();
    void cannotImprove_data();
    void cannotImprove();
    void captureProblem_data();
    void captureProblem();
    void progressSteps_data();
    void progressSteps();
};

void TestThdSolver::reachesOptimum_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<ThdValues>("start");

    QTest::newRow("straight") << path(0, 1) << ThdValues();
    QTest::newRow("swapped") << path(1, 0) << ThdValues();
    QTest::newRow("left on pair 2, pair 1 acts on nothing") << path(2, 0) << ThdValues();
    AnalogPath negative = path(0, 1);
    negative.k2 = -3e-7;
    negative.k3 = 5e-8;
    negative.ppm = 100;
    QTest::newRow("negative and unequal scales, +100 ppm") << negative << values({{{500, -700}, {0, 0}, {0, 0}}});
    AnalogPath far = path(1, 0);
    far.h2[0] = -4e-4;
    far.h3[1] = 3e-4;
    far.ppm = -100;
    QTest::newRow("far from the start, -100 ppm") << far << values({{{0, 0}, {1000, 1000}, {7, -7}}});
    AnalogPath nearEnd = path(0, 1);
    nearEnd.h2[0] = -3.2e-3;  // optimum 32000: the probe must step down
    QTest::newRow("optimum near the top of the range") << nearEnd << values({{{32700, 0}, {0, 0}, {0, 0}}});
    AnalogPath interface = path(0, 1);
    interface.adc2 = 1e-5;   // in phase: cancelled with the DAC's, as no loopback can tell them apart
    QTest::newRow("interface distortion in phase") << interface << ThdValues();
}

// -h/k within 1 % or 2 units, in at most 8 captures (each captures both
// outputs); the pair that moves nothing is left as it was and named.
void TestThdSolver::reachesOptimum()
{
    QFETCH(AnalogPath, model);
    QFETCH(ThdValues, start);

    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); });
    const ThdSolver::Result result = solver.run(start);

    QVERIFY2(result.outcome == ThdSolver::Outcome::Improved, qPrintable(describe(result)));
    QVERIFY2(result.captures <= 8, qPrintable(describe(result)));
    QCOMPARE(result.captures, model.captures);
    QCOMPARE(solver.captures(), model.captures);
    QVERIFY(result.start == start);
    for (int output = 0; output < 2; ++output) {
        const int pair = model.driver[output];
        QCOMPARE(result.pairs[pair].drives, std::vector<int>{output});
        for (int which = 0; which < 2; ++which) {
            const double optimum = model.optimum(output, which);
            const double found = result.values.pairs[pair][which];
            QVERIFY2(std::abs(found - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                     qPrintable(QStringLiteral("output %1 value %2: %3 against %4; ")
                                    .arg(output).arg(which).arg(found).arg(optimum) + describe(result)));
            // Nulled to far below where it started.
            QVERIFY(result.after.channels[output].harmonicDbc(2 + which)
                    < result.before.channels[output].harmonicDbc(2 + which) - 20);
        }
    }
    const int idle = 3 - model.driver[0] - model.driver[1];
    QVERIFY(!result.pairs[idle].movesAnything);
    QVERIFY(result.pairs[idle].drives.empty());
    QCOMPARE(result.values.pairs[idle], start.pairs[idle]);
    QCOMPARE(notesOf(result), QStringList{QStringLiteral("thd_range%1 moves nothing; left as it was").arg(idle)});
    // The model has no phase shift: nothing in quadrature beyond the noise.
    for (const ThdSolver::Floor& floor : result.floors) {
        QVERIFY2(floor.secondDbc < -140 && floor.thirdDbc < -140, qPrintable(QString::number(floor.secondDbc)));
    }
    // The device was last left at values the solver measured; what it keeps
    // is one of them.
    QVERIFY(std::find(model.written.begin(), model.written.end(), result.values) != model.written.end());
}

// One pair drives both outputs, as one stereo chip would: its values are the
// least-squares compromise, c = -(h_left + h_right) / 2k, since both outputs
// move alike.
void TestThdSolver::sharedPair()
{
    AnalogPath model = path(0, 0);
    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); });
    const ThdSolver::Result result = solver.run(ThdValues());

    QVERIFY2(result.outcome == ThdSolver::Outcome::Improved, qPrintable(describe(result)));
    QCOMPARE(result.pairs[0].drives, (std::vector<int>{0, 1}));
    QVERIFY(std::abs(result.values.pairs[0][0] - (-(model.h2[0] + model.h2[1]) / 2 / model.k2)) <= 2);
    QVERIFY(std::abs(result.values.pairs[0][1] - (-(model.h3[0] + model.h3[1]) / 2 / model.k3)) <= 2);
    QCOMPARE(notesOf(result), (QStringList{"thd_range1 moves nothing; left as it was",
                                           "thd_range2 moves nothing; left as it was"}));
    // What one value cannot cancel on both outputs stays, in phase with it:
    // no quadrature floor beyond the noise.
    QVERIFY(result.after.channels[0].harmonicDbc(2) > -120);
    QVERIFY(result.floors[0].secondDbc < -140);
}

// Noise near what the values can null: the values land within what the
// noise allows, and the result is no worse than the noise.
void TestThdSolver::noisyCapture_data()
{
    QTest::addColumn<double>("noiseDbfs");

    QTest::newRow("noise -80 dBFS") << -80.0;
    QTest::newRow("noise -76 dBFS") << -76.0;
}

void TestThdSolver::noisyCapture()
{
    QFETCH(double, noiseDbfs);
    AnalogPath model = path(0, 1);
    model.noiseDbfs = noiseDbfs;
    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); });
    const ThdSolver::Result result = solver.run(ThdValues());

    QVERIFY2(result.outcome == ThdSolver::Outcome::Improved, qPrintable(describe(result)));
    // The first probe step is lost in this noise: each pair takes a second,
    // larger one.
    QVERIFY2(result.captures <= 10, qPrintable(describe(result)));
    const double sigma = result.before.channels[0].harmonicNoise;
    // h moves by |g| = k·A/2 (2nd) and k·A²/4 (3rd) per unit.
    const double amplitude = std::pow(10.0, -3.0 / 20);
    const double perUnit[2] = {model.k2 * amplitude / 2, model.k3 * amplitude * amplitude / 4};
    for (int output = 0; output < 2; ++output) {
        for (int which = 0; which < 2; ++which) {
            const double found = result.values.pairs[output][which];
            const double allowed = 5 * sigma / perUnit[which] + 0.01 * std::abs(model.optimum(output, which)) + 2;
            QVERIFY2(std::abs(found - model.optimum(output, which)) <= allowed,
                     qPrintable(QStringLiteral("%1 against %2 ± %3").arg(found).arg(model.optimum(output, which)).arg(allowed)));
        }
    }
}

// Nothing to gain: the values found are not kept, and the reason says why.
void TestThdSolver::cannotImprove_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<double>("interfaceDbc");   // NaN: not known
    QTest::addColumn<QString>("reasonStart");

    const double unknown = std::numeric_limits<double>::quiet_NaN();
    AnalogPath noisy = path(0, 1);
    noisy.noiseDbfs = -40;
    noisy.h2[0] = noisy.h2[1] = 1e-7;
    noisy.h3[0] = noisy.h3[1] = 1e-7;
    QTest::newRow("the capture's noise above the DAC's distortion")
        << noisy << unknown << "the capture's own noise";
    AnalogPath near = path(0, 1);
    near.noiseDbfs = -64;
    QTest::newRow("the capture's noise just above the DAC's distortion") << near << unknown << "the capture's own noise";
    AnalogPath quadrature = path(0, 1);
    quadrature.quadratureH2 = 3e-4;
    quadrature.h2[0] = quadrature.h2[1] = 1e-6;
    quadrature.h3[0] = quadrature.h3[1] = 1e-6;
    QTest::newRow("the interface's own H2, out of phase with what the values move")
        << quadrature << unknown << "what the values move lies in quadrature";
    AnalogPath loud = path(0, 1);
    loud.adc2 = 5e-3;
    QTest::newRow("the interface's own H2 beyond what the values reach")
        << loud << unknown << "the values that would null it lie beyond their range";
    QTest::newRow("the interface's own distortion known to be above the DAC's")
        << path(0, 1) << -95.0 << "the audio interface's own distortion (-95.0 dBc) is not 10 dB below the DAC's";
    AnalogPath disconnected = path(-1, -1);
    QTest::newRow("no value moves anything")
        << disconnected << unknown << "no THD value moves the measured distortion";
}

void TestThdSolver::cannotImprove()
{
    QFETCH(AnalogPath, model);
    QFETCH(double, interfaceDbc);
    QFETCH(QString, reasonStart);

    ThdSolver::Settings settings;
    if (!std::isnan(interfaceDbc))
        settings.interfaceDistortionDbc = interfaceDbc;
    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); }, settings);
    const ThdValues start = values({{{10, 20}, {30, 40}, {50, 60}}});
    const ThdSolver::Result result = solver.run(start);

    QVERIFY2(result.outcome == ThdSolver::Outcome::NotImproved, qPrintable(describe(result)));
    QVERIFY2(QString::fromStdString(result.reason).startsWith(reasonStart), qPrintable(describe(result)));
    QVERIFY(result.values == start);
    // The most there can be: the start, two probes per pair, three solves.
    QVERIFY(result.captures <= 10);
    QCOMPARE(result.captures, model.captures);
    QCOMPARE(result.after.channels.size(), result.before.channels.size());
}

// A capture with a problem ends the run at once: nothing is kept.
void TestThdSolver::captureProblem_data()
{
    QTest::addColumn<int>("failingCapture");
    QTest::addColumn<QString>("reason");

    QTest::newRow("at the start") << 1 << "the capture at the start values: dropout";
    QTest::newRow("probing pair 1") << 3 << "the capture while probing thd_range1: dropout";
    QTest::newRow("at the values solved for") << 6 << "the capture at the values solved for: dropout";
}

void TestThdSolver::captureProblem()
{
    QFETCH(int, failingCapture);
    QFETCH(QString, reason);
    AnalogPath model = path(0, 1);
    model.dropoutAtCapture = failingCapture;
    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); });
    const ThdValues start = values({{{1, 2}, {3, 4}, {5, 6}}});
    const ThdSolver::Result result = solver.run(start);

    QVERIFY(result.outcome == ThdSolver::Outcome::Failed);
    QCOMPARE(QString::fromStdString(result.reason), reason);
    QCOMPARE(result.captures, failingCapture);
    QVERIFY(result.values == start);
}

QTEST_APPLESS_MAIN(TestThdSolver)
#include "tst_thdsolver.moc"

// Each capture is announced before it is made, with what it is for and the
// captures planned so far, which grows when a probe needs a larger step.
void TestThdSolver::progressSteps_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("straight") << path(0, 1)
                              << QStringList{"start 1/7 x1", "probe 0#0 2/7 x1", "probe 1#0 3/7 x1",
                                             "probe 2#0 4/7 x1", "probe 2#1 5/8 x1", "solved L R 6/8 x1"};
    AnalogPath quiet = path(1, 0);
    quiet.levelDbfs = -20;
    // One unit of a value moves H3 less than the noise: the values found
    // are measured longer.
    QTest::newRow("swapped, low level")
        << quiet << QStringList{"start 1/7 x1", "probe 0#0 2/7 x1", "probe 1#0 3/7 x1", "probe 2#0 4/7 x1",
                                "probe 2#1 5/8 x1", "solved L R 6/8 x34"};
    AnalogPath noisy = path(0, 1);
    noisy.noiseDbfs = -110;
    QTest::newRow("noisy: the left output refined")
        << noisy << QStringList{"start 1/7 x1", "probe 0#0 2/7 x1", "probe 1#0 3/7 x1", "probe 2#0 4/7 x1",
                                "probe 2#1 5/8 x1", "solved L R 6/8 x11", "refine L 7/8 x11"};
    AnalogPath silent = path(0, 1);
    silent.levelDbfs = -300;
    QTest::newRow("no signal at the start") << silent << QStringList{"start 1/7 x1"};
}

void TestThdSolver::progressSteps()
{
    QFETCH(AnalogPath, model);
    QFETCH(QStringList, steps);

    QStringList said;
    int measured = 0;
    ThdSolver solver([&](const ThdValues& v, double) {
        ++measured;
        return model(v);
    });
    solver.setProgress([&](const ThdSolver::Step& step) {
        // Told before the capture it announces.
        QCOMPARE(step.capture, measured + 1);
        QVERIFY(step.capture <= step.planned);
        said << stepOf(step);
    });
    const ThdSolver::Result result = solver.run(ThdValues());
    QCOMPARE(said, steps);
    QCOMPARE(said.size(), result.captures);
}
