// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine tells as data, in the window's words: each kind of step
// on the progress bar, each state of the DAC beside the controls.

#include "thdui/connectiontext.h"
#include "thdui/steptext.h"

#include <QtTest>

namespace {

using Purpose = ThdSolver::Step::Purpose;

ThdSolver::Step solverStep(Purpose purpose, int pair = -1, int attempt = 0,
                           std::vector<int> outputs = {}, double lengthFactor = 1)
{
    ThdSolver::Step step;
    step.purpose = purpose;
    step.pair = pair;
    step.attempt = attempt;
    step.outputs = std::move(outputs);
    step.lengthFactor = lengthFactor;
    return step;
}

ThdStep tuning(const ThdSolver::Step& solver, int capture, int captures)
{
    return ThdStep::solving(ThdStep::Request::Tune, solver, 1, capture, captures);
}

} // namespace

class TestEngineText : public QObject {
    Q_OBJECT
private slots:
    void step_data();
    void step();
    void connection_data();
    void connection();
};

void TestEngineText::step_data()
{
    QTest::addColumn<ThdStep>("step");
    QTest::addColumn<QString>("text");

    QTest::newRow("measurement") << ThdStep::measuring(1, 1, 1) << "Measuring, capture 1 of 1";
    QTest::newRow("separation's second capture")
        << ThdStep::measuring(2, 2, 1, true) << "Measuring at the new input gain, capture 2 of 2";
    QTest::newRow("start") << tuning(solverStep(Purpose::Start), 1, 7)
                           << "Measuring the start, capture 1 of 7";
    QTest::newRow("probe") << tuning(solverStep(Purpose::Probe, 1), 3, 7)
                           << "Probing thd_range1 (the 2nd and 3rd harmonic), capture 3 of 7";
    QTest::newRow("probe again") << tuning(solverStep(Purpose::Probe, 2, 2), 6, 9)
                                 << "Probing thd_range2 again with a larger step, capture 6 of 9";
    QTest::newRow("solved") << tuning(solverStep(Purpose::Solved, -1, 0, {0, 1}), 7, 9)
                            << "Measuring the values found, capture 7 of 9";
    // The solver measures four times longer near the null.
    QTest::newRow("refine both, longer")
        << tuning(solverStep(Purpose::Refine, -1, 0, {0, 1}, 4), 8, 9)
        << "Refining both outputs' values (a 4-second capture), capture 8 of 9";
    QTest::newRow("refine one") << tuning(solverStep(Purpose::Refine, -1, 0, {1}), 9, 10)
                                << "Refining the right output's values, capture 9 of 10";
    ThdStep mapped =
        ThdStep::solving(ThdStep::Request::Map, solverStep(Purpose::Probe, 0), 1, 8, 12);
    mapped.volumeDb = -15;
    QTest::newRow("map") << mapped
                         << "At -15.0 dB: Probing thd_range0 (the 2nd and 3rd harmonic), capture "
                            "8 of 12";
    QTest::newRow("sweep") << ThdStep::sweeping(-37.5, 2, 17, 1) << "At -37.5 dB, capture 2 of 17";
}

void TestEngineText::step()
{
    QFETCH(ThdStep, step);
    QFETCH(QString, text);
    QCOMPARE(StepText::of(step), text);
}

void TestEngineText::connection_data()
{
    QTest::addColumn<ThdConnection>("connection");
    QTest::addColumn<QString>("text");

    QTest::newRow("open") << ThdConnection::opened(0x2FC6, 0x6013, "SV9038-0001")
                          << "Connected to the DAC 2fc6:6013 (SV9038-0001)";
    QTest::newRow("open, no serial number")
        << ThdConnection::opened(0x2FC6, 0x6013, QString()) << "Connected to the DAC 2fc6:6013";
    const Error unclaimed(Error::Kind::Device,
                          "the read was incomplete; its interface 0 could not be claimed");
    QTest::newRow("in use") << ThdConnection::refused(0x2FC6, 0x6013, unclaimed, false)
                            << "The DAC 2fc6:6013 is in use by another program, such as "
                               "Sonvale's window: close it, then try again. (The read was "
                               "incomplete; its interface 0 could not be claimed)";
    QTest::newRow("absent") << ThdConnection::refused(
        0x2FC6, 0x6013, Error(Error::Kind::Device, "no DAC 2fc6:6013 is connected"), true)
                            << "No DAC 2fc6:6013 is connected";
}

void TestEngineText::connection()
{
    QFETCH(ThdConnection, connection);
    QFETCH(QString, text);
    QCOMPARE(ConnectionText::of(connection), text);
}

QTEST_GUILESS_MAIN(TestEngineText)
#include "tst_enginetext.moc"
