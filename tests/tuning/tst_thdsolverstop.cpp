// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD solver when its measure step ends the run (the DAC or the audio
// failed, or someone stopped it): in whichever stage it is, it asks for no
// other capture and gives the start back.

#include "synthetic.h"
#include "tuning/thdsolver.h"

#include <QTest>

using Synthetic::AnalogPath;

Q_DECLARE_METATYPE(AnalogPath)

class TestThdSolverStop : public QObject {
    Q_OBJECT

private slots:
    void endsAtOnce_data();
    void endsAtOnce();
};

void TestThdSolverStop::endsAtOnce_data()
{
    QTest::addColumn<AnalogPath>("model");
    QTest::addColumn<bool>("mapOnly");
    QTest::addColumn<int>("stopAt");      // the capture, from 1, the measure step does not make
    QTest::addColumn<QString>("purpose"); // what that capture was for

    const AnalogPath straight = AnalogPath::mapped(0, 1);
    // Each value wanted to a unit, the noise hiding it: refined twice.
    AnalogPath noisy = straight;
    noisy.noiseDbfs = -110;
    noisy.analytic = true;
    QTest::newRow("the start") << straight << false << 1 << "start";
    QTest::newRow("a probe stepped further") << straight << false << 5 << "probe 2#1";
    QTest::newRow("the values solved for") << straight << false << 7 << "solved";
    QTest::newRow("a refinement") << noisy << false << 8 << "refine";
    QTest::newRow("a map's probe") << straight << true << 3 << "probe 1#0";
}

void TestThdSolverStop::endsAtOnce()
{
    QFETCH(AnalogPath, model);
    QFETCH(bool, mapOnly);
    QFETCH(int, stopAt);
    QFETCH(QString, purpose);

    int asked = 0;
    ThdSolver solver([&](const ThdValues& v, double factor) -> std::optional<CaptureAnalysis> {
        if (++asked == stopAt)
            return std::nullopt;
        return model(v, factor);
    });
    QString announced;
    solver.setProgress([&](const ThdSolver::Step& step) {
        static const char* const names[] = {"start", "probe", "solved", "refine"};
        announced = names[int(step.purpose)];
        if (step.purpose == ThdSolver::Step::Purpose::Probe)
            announced += QStringLiteral(" %1#%2").arg(step.pair).arg(step.attempt);
    });
    ThdValues start;
    start.pairs = {{{10, 20}, {30, 40}, {50, 60}}};
    const ThdSolver::Result result = mapOnly ? solver.map(start) : solver.run(start);

    QCOMPARE(announced, purpose);
    QCOMPARE(asked, stopAt);
    QCOMPARE(model.captures, stopAt - 1);
    QCOMPARE(result.captures, stopAt);
    QCOMPARE(solver.captures(), stopAt);
    QCOMPARE(result.outcome, ThdSolver::Outcome::Stopped);
    QCOMPARE(QString::fromStdString(result.reason), QString());
    QVERIFY(result.values == start);
}

QTEST_APPLESS_MAIN(TestThdSolverStop)
#include "tst_thdsolverstop.moc"
