// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Sweeps in the THD assistant driven as a user drives it, offscreen, on the
// simulated DAC and analog path: the plot's lines, one point a volume and a
// channel, the sweep kept as "before" across tunings and undos, and what
// the console says.

#include "assistanttest.h"
#include "thdui/sweepplot.h"

#include <QDockWidget>

using namespace AssistantTests;
using namespace TestBytes;

namespace {

// The figures of one line, as text so that a gap (NaN) compares too.
QStringList values(const SweepPlot* plot, int channel, SweepPlot::Figure figure,
                   SweepPlot::Stage stage)
{
    QStringList values;
    const QCPGraph* line = plot->line(channel, figure, stage);
    for (auto point = line->data()->constBegin(); point != line->data()->constEnd(); ++point)
        values << QString::number(point->value, 'g', 12);
    return values;
}

// Every line of a stage: both channels, each figure.
QList<QStringList> stageValues(const SweepPlot* plot, SweepPlot::Stage stage)
{
    QList<QStringList> lines;
    for (int channel = 0; channel < 2; ++channel) {
        for (SweepPlot::Figure figure : {SweepPlot::Thd, SweepPlot::H2, SweepPlot::H3})
            lines << values(plot, channel, figure, stage);
    }
    return lines;
}

} // namespace

class TestThdWindowSweep : public AssistantTest {
    Q_OBJECT

private slots:
    void sweepShown_data();
    void sweepShown();
};

void TestThdWindowSweep::sweepShown_data()
{
    QTest::addColumn<QStringList>("buttons"); // pressed in turn
    QTest::addColumn<int>("beforeFrom");      // the sweep shown as before, from 1; 0: none

    QTest::newRow("one sweep") << QStringList{"sweepButton"} << 0;
    // Before: the last sweep made before the latest tuning, not the one
    // the newest replaced.
    QTest::newRow("sweep, tune, sweep, sweep")
        << QStringList{"sweepButton", "tuneButton", "sweepButton", "sweepButton"} << 1;
    // An undo changes the values as a tuning does.
    QTest::newRow("sweep, tune, sweep, undo, sweep")
        << QStringList{"sweepButton", "tuneButton", "sweepButton", "undoButton", "sweepButton"}
        << 2;
}

void TestThdWindowSweep::sweepShown()
{
    QFETCH(QStringList, buttons);
    QFETCH(int, beforeFrom);
    start("noise=-150");
    AssistantWindow& a = *assistant;
    auto* plot = a.widget<SweepPlot>("sweepPlot");
    QVERIFY(!a.widget<QDockWidget>("sweepDock")->isVisible());
    QList<QList<QStringList>> sweeps; // what each sweep drew as after
    for (const QString& button : buttons) {
        clickAndWait(qPrintable(button));
        if (button == "sweepButton")
            sweeps << stageValues(plot, SweepPlot::After);
    }
    QVERIFY(a.widget<QDockWidget>("sweepDock")->isVisible());

    // -40 dB to 0 dB in steps of 2.5 dB, on each line of each channel.
    QVector<double> volumes;
    for (int step = 0; step <= 16; ++step)
        volumes << -40 + 2.5 * step;
    for (int channel = 0; channel < 2; ++channel) {
        for (SweepPlot::Figure figure : {SweepPlot::Thd, SweepPlot::H2, SweepPlot::H3}) {
            QVector<double> keys;
            const QCPGraph* line = plot->line(channel, figure, SweepPlot::After);
            for (auto point = line->data()->constBegin(); point != line->data()->constEnd();
                 ++point)
                keys << point->key;
            QCOMPARE(keys, volumes);
        }
    }
    const QList<QStringList> before = stageValues(plot, SweepPlot::Before);
    if (beforeFrom == 0)
        QCOMPARE(before, QList<QStringList>(6));
    else
        QCOMPARE(before, sweeps[beforeFrom - 1]);
    QCOMPARE(stageValues(plot, SweepPlot::After), sweeps.last());
    QCOMPARE(a.console.lines(QStringLiteral("swept: ")),
             QStringList(sweeps.size(),
                         "swept: 17 volumes, -40.0 dB to 0.0 dB; the volume was put back"));
}

QTEST_MAIN(TestThdWindowSweep)
#include "tst_thdwindowsweep.moc"
