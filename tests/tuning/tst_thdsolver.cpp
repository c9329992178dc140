// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD solver on a model of the DAC and a loopback interface: each capture
// synthesised from the values written and analysed, or on a real desk's model
// what its analysis would give, so that minutes of audio stay quick.

#include "measure/decibels.h"
#include "tuning/thdsolver.h"
#include "synthetic.h"

#include <QStringList>
#include <QTest>

using Synthetic::AnalogPath;
using Drives = std::array<std::vector<int>, 3>;
using Outcome = ThdSolver::Outcome;

Q_DECLARE_METATYPE(AnalogPath)
Q_DECLARE_METATYPE(ThdValues)
Q_DECLARE_METATYPE(Drives)

namespace {

const AnalogPath straight = AnalogPath::mapped(0, 1);

ThdValues values(std::array<std::array<int16_t, 2>, 3> pairs)
{
    ThdValues v;
    v.pairs = pairs;
    return v;
}

// Captures from the model, as long as asked.
ThdSolver::Measure from(AnalogPath& model)
{
    return [&model](const ThdValues& v, double factor) { return model(v, factor); };
}

QByteArray describe(const ThdSolver::Result& result)
{
    return QByteArray::fromStdString(Synthetic::describe(result));
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
        text += output == 0 ? " L" : " R";
    return text + QString::asprintf(" %d/%d x%.0f", step.capture, step.planned, step.lengthFactor);
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
    void probes_data();
    void probes();
    void bestCaptureKept();
    void notImproved_data();
    void notImproved();
    void progressSteps_data();
    void progressSteps();
};

void TestThdSolver::reachesOptimum_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<ThdValues>("start");
    QTest::addColumn<double>("longest"); // the longest capture, in usual lengths
    QTest::addColumn<double>("budget");  // seconds of audio in all
    QTest::addColumn<double>("leftDbc"); // NaN: on the optimum; else what remains below it

    // On the optimum, in captures up to 600 times the usual, under a minute.
    const auto row = [](const char* name, const AnalogPath& model, ThdValues start = {},
                        double longest = 600, double budget = 60, double left = std::nan("")) {
        QTest::newRow(name) << model << start << longest << budget << left;
    };
    row("straight", straight);
    row("swapped", AnalogPath::mapped(1, 0));
    row("left on pair 2, pair 1 acts on nothing", AnalogPath::mapped(2, 0));
    // One stereo chip: its values lie at the compromise -(h_left + h_right) / 2k.
    row("one pair drives both outputs", AnalogPath::mapped(0, 0));
    AnalogPath negative = straight;
    negative.k2 = -3e-7;
    negative.k3 = 5e-8;
    negative.ppm = 100;
    row("negative and unequal scales, +100 ppm", negative, values({{{500, -700}, {}, {}}}));
    AnalogPath far = AnalogPath::mapped(1, 0);
    far.h2[0] = -4e-4;
    far.h3[1] = 3e-4;
    far.ppm = -100;
    row("far from the start, -100 ppm", far, values({{{}, {1000, 1000}, {7, -7}}}));
    AnalogPath nearEnd = straight;
    nearEnd.h2[0] = -3.2e-3; // optimum 32000: the probe must step down
    row("optimum near the top of the range", nearEnd, values({{{32700, 0}, {}, {}}}));
    AnalogPath interface = straight;
    interface.adc2 = 1e-5; // in phase: no loopback tells it from the DAC's
    row("interface distortion in phase", interface);
    // What the values add lies turned against the DAC's own distortion: the
    // null lies at -h·cos(rot)/k, and |h·sin(rot)| stays as the floor. A
    // floor taken with g for conj(g) lies elsewhere; with the DAC's own H2
    // off the real axis too, so does the first solve.
    AnalogPath turned = straight;
    turned.rot2Deg = 40;
    turned.rot3Deg = -30;
    row("turned by 40 and -30 degrees", turned);
    turned.rot2Deg = -120;
    turned.rot3Deg = 150;
    turned.quadratureH2 = 3e-6;
    row("turned by -120 and 150 degrees, H2 partly in quadrature", turned);
    // Noise near what the values null, in captures no longer than the usual:
    // the first probe step is lost in it; the values land within 5σ.
    AnalogPath noisy = straight;
    noisy.noiseDbfs = -80;
    row("noise -80 dBFS, no longer captures", noisy, {}, 1, 60, -110);
    noisy.noiseDbfs = -76;
    row("noise -76 dBFS, no longer captures", noisy, {}, 1, 60, -106);
    // A real desk. At 0 dB captures of seconds tell each value to a unit. At
    // -12.5 dB one unit moves H3 by -183 dBc: values are told only as well as
    // keeps what is left below -160 dBc, within five minutes of audio. With
    // 8-s captures (600 s at most) and more noise, the longest one caps.
    row("a real desk at 0 dB", AnalogPath::desk(0));
    AnalogPath quiet = AnalogPath::desk(-12.5);
    row("a real desk at -12.5 dB", quiet, {}, 600, 300, -150);
    quiet.driver[0] = 1;
    quiet.driver[1] = 0;
    quiet.ppm = 80;
    row("a real desk at -12.5 dB, swapped, +80 ppm", quiet, {}, 600, 300, -150);
    quiet.seconds = 8;
    quiet.noiseDbfs = -100;
    row("a real desk at -12.5 dB, 8-s captures, noise -100 dBFS", quiet, {}, 75, 2000, -120);
}

// The optimum within 1 % or 2 units, or what remains of the harmonics below
// a limit, within the audio budget, never capturing longer than the longest;
// the pair that moves nothing is left as it was. The floor is the part the
// model turns away, and what the values can reach ends far below where it
// started.
void TestThdSolver::reachesOptimum()
{
    QFETCH(AnalogPath, model);
    QFETCH(ThdValues, start);
    QFETCH(double, longest);
    QFETCH(double, budget);
    QFETCH(double, leftDbc);

    ThdSolver::Settings settings;
    settings.longestFactor = longest;
    ThdSolver solver(from(model), settings);
    const ThdSolver::Result result = solver.run(start);

    QVERIFY2(result.outcome == Outcome::Improved, describe(result));
    QVERIFY2(result.captureLengths * model.seconds < budget, describe(result));
    QVERIFY(result.captureLengths <= ThdSolver::maxCaptureLengths(settings));
    // Only the rows with a shorter longest capture reach it.
    const double longestMade =
        *std::max_element(model.lengthFactors.begin(), model.lengthFactors.end());
    QVERIFY(longestMade <= longest);
    QCOMPARE(longestMade == longest, longest < 600);
    QCOMPARE(result.captures, model.captures);
    QCOMPARE(solver.captures(), model.captures);
    QVERIFY(result.start == start);
    for (int pair = 0; pair < 3; ++pair) {
        const std::vector<int> drives = model.drivenBy(pair);
        QCOMPARE(result.pairs[pair].drives, drives);
        if (drives.empty())
            QCOMPARE(result.values.pairs[pair], start.pairs[pair]);
        for (int which = 0; which < 2 && !drives.empty() && std::isnan(leftDbc); ++which) {
            const double optimum = model.pairOptimum(pair, which);
            const int found = result.values.pairs[pair][which];
            QVERIFY2(std::abs(found - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                     qPrintable(QString::asprintf("pair %d value %d: %d against %.1f; ", pair,
                                                  which, found, optimum)
                                + describe(result)));
        }
    }
    for (int output = 0; output < 2; ++output) {
        const double noiseDbc = linearToDb(result.after.channels[output].harmonicNoise);
        for (int which = 0; which < 2; ++which) {
            const int order = 2 + which;
            const ThdSolver::Floor& floor = result.floors[output];
            const double found = which ? floor.thirdDbc : floor.secondDbc;
            const double away = linearToDb(model.floor(output, which));
            const double left =
                linearToDb(std::abs(model.harmonicAt(result.values, output, which)));
            QVERIFY2(away > -140 ? std::abs(found - away) < 0.5
                                 : found < std::max(-140.0, noiseDbc + 15),
                     qPrintable(QString::asprintf("H%d floor %.1f dBc, turned away %.1f dBc", order,
                                                  found, away)));
            QVERIFY2(std::isnan(leftDbc) || left < leftDbc,
                     qPrintable(
                         QString::asprintf("output %d H%d left at %.1f dBc; ", output, order, left)
                         + describe(result)));
            if (away < -140 && model.driver[0] != model.driver[1] && std::isnan(leftDbc))
                QVERIFY(result.after.channels[output].harmonicDbc(order)
                        < result.before.channels[output].harmonicDbc(order) - 20);
        }
    }
    // The device was last left at values the solver measured; what it keeps
    // is one of them.
    QVERIFY(std::count(model.written.begin(), model.written.end(), result.values) > 0);
}

// What each probe writes from the start at 0: the 2nd and 3rd value of a
// pair stepped together, each stepped further on its own while its harmonic
// does not move, up to the register's range. The map alone takes the start
// and the probes, gives each output its pair and the notes what never
// moved, and leaves the start's values; a whole run solves the rest.
void TestThdSolver::probes_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<QStringList>("probes");
    QTest::addColumn<Drives>("drives");
    QTest::addColumn<QStringList>("notes");

    const QStringList idle0{"1024/1024 0/0 0/0", "16384/16384 0/0 0/0", "32767/32767 0/0 0/0"};
    const QStringList idle1{"0/0 1024/1024 0/0", "0/0 16384/16384 0/0", "0/0 32767/32767 0/0"};
    const QStringList idle2{"0/0 0/0 1024/1024", "0/0 0/0 16384/16384", "0/0 0/0 32767/32767"};
    const QString idle = "thd_range%1 moves nothing even at a step of 32767; left as it was";
    QTest::newRow("straight") << straight
                              << QStringList{"1024/1024 0/0 0/0", "0/0 1024/1024 0/0"} + idle2
                              << Drives{{{0}, {1}, {}}} << QStringList{idle.arg(2)};
    QTest::newRow("one pair drives both outputs")
        << AnalogPath::mapped(2, 2) << idle0 + idle1 + QStringList{"0/0 0/0 1024/1024"}
        << Drives{{{}, {}, {0, 1}}} << QStringList{idle.arg(0), idle.arg(1)};
    QTest::newRow("no value moves anything")
        << AnalogPath::mapped(-1, -1) << idle0 + idle1 + idle2 << Drives{}
        << QStringList{idle.arg(0), idle.arg(1), idle.arg(2)};
    QTest::newRow("-12.5 dB: H2 moves at the first step, H3 only at the second")
        << AnalogPath::desk(-12.5)
        << QStringList{"1024/1024 0/0 0/0", "1024/16384 0/0 0/0", "0/0 1024/1024 0/0",
                       "0/0 1024/16384 0/0"}
               + idle2
        << Drives{{{0}, {1}, {}}} << QStringList{idle.arg(2)};
    AnalogPath flat = AnalogPath::desk(0);
    flat.k3 = 0;
    const QString never = "the 3rd value of thd_range%1 moves H3 less than its noise on the %2 "
                          "output even at a step of 32767; left as it was";
    QTest::newRow("0 dB, no 3rd value moves H3")
        << flat
        << QStringList{"1024/1024 0/0 0/0", "1024/16384 0/0 0/0", "1024/32767 0/0 0/0",
                       "0/0 1024/1024 0/0", "0/0 1024/16384 0/0", "0/0 1024/32767 0/0"}
               + idle2
        << Drives{{{0}, {1}, {}}}
        << QStringList{idle.arg(2), never.arg(0).arg("left"), never.arg(1).arg("right")};
}

void TestThdSolver::probes()
{
    QFETCH(AnalogPath, model);
    QFETCH(QStringList, probes);
    QFETCH(Drives, drives);
    QFETCH(QStringList, notes);

    model.analytic = true; // what the probes write is the point, not their analysis
    AnalogPath again = model;
    const ThdSolver::Result map = ThdSolver(from(model)).map(ThdValues());
    QVERIFY(map.outcome == Outcome::NotImproved);
    QCOMPARE(QString::fromStdString(map.reason),
             drives == Drives{} ? "no THD value moves the measured distortion: is the DAC's output "
                                  "connected to the input, and does the capture hear the DAC?"
                                : "");
    QStringList written;
    for (const ThdValues& values : model.written)
        written << QString::fromStdString(Synthetic::valuesText(values));
    QCOMPARE(written, QStringList{"0/0 0/0 0/0"} + probes);
    QCOMPARE(map.captures, model.captures);
    QCOMPARE(notesOf(map), notes);
    for (int pair = 0; pair < 3; ++pair)
        QCOMPARE(map.pairs[pair].drives, drives[pair]);
    QVERIFY(map.values == ThdValues());

    // A value that never moved is left as it was; the others are solved.
    const ThdSolver::Result run = ThdSolver(from(again)).run(ThdValues());
    QCOMPARE(notesOf(run), notes);
    for (int pair = 0; pair < 3; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const bool moves = !drives[pair].empty() && (which == 0 || model.k3 != 0);
            QCOMPARE(run.values.pairs[pair][which] != 0, moves && run.outcome == Outcome::Improved);
        }
    }
}

// The DAC's distortion drifts while it is tuned: it moves after the values
// first solved for and after the first refinement, which the next step
// follows, and jumps on the last refinement. The values kept are those that
// measured least, the first refinement's, and `after` is their capture.
void TestThdSolver::bestCaptureKept()
{
    AnalogPath model = straight;
    std::vector<ThdSolver::Step> steps;
    std::vector<CaptureAnalysis> captured;
    ThdSolver solver([&](const ThdValues& v, double) {
        // Units of the left 2nd value it moves by: solved for, refinements.
        const double shift[] = {80, -30, 330};
        if (steps.back().purpose >= ThdSolver::Step::Purpose::Solved)
            model.h2[0] += shift[steps.back().round] * model.k2;
        captured.push_back(model(v));
        return captured.back();
    });
    solver.setProgress([&](const ThdSolver::Step& step) { steps.push_back(step); });
    const ThdSolver::Result result = solver.run(ThdValues());

    QVERIFY2(result.outcome == Outcome::Improved, describe(result));
    QCOMPARE(stepOf(steps.back()), QStringLiteral("refine L R 9/9 x1"));
    QVERIFY(result.values == model.written.at(7));
    QCOMPARE(result.after.channels[0].harmonics[2], captured.at(7).channels[0].harmonics[2]);
}

// Nothing to gain: the values found are not kept, and the reason says why.
// A capture with a problem ends the run at once, failed.
void TestThdSolver::notImproved_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<double>("interfaceDbc"); // NaN: not known
    QTest::addColumn<QString>("reason");

    const double unknown = std::numeric_limits<double>::quiet_NaN();
    AnalogPath noisy = straight;
    noisy.noiseDbfs = -40;
    noisy.h2[0] = noisy.h2[1] = 1e-7;
    noisy.h3[0] = noisy.h3[1] = 1e-7;
    QTest::newRow("the capture's noise above the DAC's distortion")
        << noisy << unknown << "the capture's own noise";
    AnalogPath near = straight;
    near.noiseDbfs = -64;
    QTest::newRow("the capture's noise just above the DAC's distortion")
        << near << unknown << "the capture's own noise";
    AnalogPath quadrature = straight;
    quadrature.quadratureH2 = 3e-4;
    quadrature.h2[0] = quadrature.h2[1] = 1e-6;
    quadrature.h3[0] = quadrature.h3[1] = 1e-6;
    QTest::newRow("the interface's own H2, out of phase with what the values move")
        << quadrature << unknown << "what the values move lies in quadrature";
    AnalogPath loud = straight;
    loud.adc2 = 5e-3;
    QTest::newRow("the interface's own H2 beyond what the values reach")
        << loud << unknown << "the values that would null it lie beyond their range";
    QTest::newRow("the interface's own distortion known to be above the DAC's")
        << straight << -95.0
        << "the DAC's distortion (-102.6 dBc) lies at the interface's floor: the interface's own "
           "(-95.0 dBc) is not 10 dB below it";
    const std::pair<int, const char*> failures[] = {
        {1, "the capture at the start values: dropout"},
        {3, "the capture while probing thd_range1: dropout"},
        {7, "the capture at the values solved for: dropout"},
    };
    for (const auto& [capture, reason] : failures) {
        AnalogPath dropout = straight;
        dropout.dropoutAtCapture = capture;
        QTest::addRow("a dropout in capture %d", capture) << dropout << unknown << reason;
    }
}

void TestThdSolver::notImproved()
{
    QFETCH(AnalogPath, model);
    QFETCH(double, interfaceDbc);
    QFETCH(QString, reason);

    ThdSolver::Settings settings;
    if (!std::isnan(interfaceDbc))
        settings.interfaceDistortionDbc = interfaceDbc;
    ThdSolver solver([&model](const ThdValues& v, double) { return model(v); }, settings);
    const ThdValues start = values({{{10, 20}, {30, 40}, {50, 60}}});
    const ThdSolver::Result result = solver.run(start);

    const bool failed = model.dropoutAtCapture > 0;
    QVERIFY2(result.outcome == (failed ? Outcome::Failed : Outcome::NotImproved), describe(result));
    QVERIFY2(QString::fromStdString(result.reason).startsWith(reason), describe(result));
    QVERIFY(result.values == start);
    QCOMPARE(result.captures, failed ? model.dropoutAtCapture : model.captures);
    // The most there can be: the start, three probes per pair, three solves.
    QVERIFY(result.captures <= 13);
}

// Each capture is announced before it is made, with what it is for and the
// captures planned so far, which grows when a probe needs a larger step.
void TestThdSolver::progressSteps_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<QStringList>("steps");

    const QStringList probes{"start 1/7 x1",     "probe 0#0 2/7 x1", "probe 1#0 3/7 x1",
                             "probe 2#0 4/7 x1", "probe 2#1 5/8 x1", "probe 2#2 6/9 x1"};
    QTest::newRow("straight") << straight << probes + QStringList{"solved L R 7/9 x1"};
    // One unit of a value moves H3 less than what is negligible: it is
    // needed only as well as a capture twice as long tells it.
    AnalogPath quiet = AnalogPath::mapped(1, 0);
    quiet.levelDbfs = -20;
    quiet.analytic = true;
    QTest::newRow("swapped, low level")
        << quiet << QStringList{"start 1/7 x1",       "probe 0#0 2/7 x1",  "probe 0#1 3/8 x1",
                                "probe 1#0 4/8 x1",   "probe 1#1 5/9 x1",  "probe 2#0 6/9 x1",
                                "probe 2#1 7/10 x1",  "probe 2#2 8/11 x1", "solved L R 9/11 x2",
                                "refine L R 10/11 x2"};
    // A unit of each value matters, and the noise hides it in a second: the
    // captures are eleven times as long.
    AnalogPath noisy = straight;
    noisy.noiseDbfs = -110;
    noisy.analytic = true;
    QTest::newRow("noisy: the captures longer")
        << noisy
        << probes + QStringList{"solved L R 7/9 x11", "refine L R 8/9 x11", "refine R 9/9 x11"};
    AnalogPath silent = straight;
    silent.levelDbfs = -300;
    QTest::newRow("no signal at the start") << silent << QStringList{"start 1/7 x1"};
}

void TestThdSolver::progressSteps()
{
    QFETCH(AnalogPath, model);
    QFETCH(QStringList, steps);

    QStringList said;
    int measured = 0;
    ThdSolver solver([&](const ThdValues& v, double factor) {
        ++measured;
        return model(v, factor);
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

QTEST_APPLESS_MAIN(TestThdSolver)
#include "tst_thdsolver.moc"
