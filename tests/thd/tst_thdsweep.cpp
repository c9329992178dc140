// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A sweep of the DAC's volume as the THD assistant's engine runs it for the
// window, on the simulated DAC and analog path: H2 at each volume against
// the path's model, the volumes the DAC was sent, the block kept in the
// history, and the volume held put back however the sweep ends.

#include "enginetest.h"

#include <QRegularExpression>
#include <QTimer>

#include <cmath>

using namespace EngineTests;

class TestThdSweep : public EngineTest {
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
};

void TestThdSweep::sweep_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<int>("cancelAt"); // the capture a cancel comes with; 0: none
    QTest::addColumn<int>("cancelMs"); // after its announcement; -1: as it is announced
    QTest::addColumn<int>("points");
    QTest::addColumn<QStringList>("volumes"); // the volume requests, in order

    // The factory block holds -12.5 dB (0x19); -30 dB is 0x3C, -15 dB 0x1E.
    const QString path = "noise=-160,h2l=1e-3,h2r=-1e-3";
    const QString back = "06 00 02 19 19 00 00";
    const QStringList all{"06 00 02 3C 3C 00 00", "06 00 02 1E 1E 00 00", "06 00 02 00 00 00 00",
                          back};
    QTest::newRow("every volume") << path << 0 << -1 << 3 << all;
    // Between two captures, before the volume moves on.
    QTest::newRow("cancelled between two volumes")
        << path << 2 << -1 << 1 << QStringList{all[0], back};
    // In the middle of the second capture, which takes two seconds.
    QTest::newRow("cancelled during a capture")
        << path + ",pace=realtime" << 2 << 500 << 1 << QStringList{all[0], all[1], back};
}

void TestThdSweep::sweep()
{
    QFETCH(QString, analog);
    QFETCH(int, cancelAt);
    QFETCH(int, cancelMs);
    QFETCH(int, points);
    QFETCH(QStringList, volumes);
    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    UsbSim::setBlock(blockOf(factory));
    QVERIFY(connectEngine());
    ThdEngine::Request request;
    request.sweepVolumesDb = {-30, -15, 0};
    request.seconds = cancelMs > 0 ? 2 : 1;
    QTimer later;
    later.setSingleShot(true);
    connect(&later, &QTimer::timeout, this, [this] { engine->cancel(); });
    // As it is announced: on the engine's thread, before the sweep goes on.
    connect(
        engine, &ThdEngine::progress, engine,
        [this, cancelAt, cancelMs](const ThdStep& step) {
            if (step.capture == cancelAt && cancelMs < 0)
                engine->cancel();
        },
        Qt::DirectConnection);
    connect(engine, &ThdEngine::progress, &later,
            [&later, cancelAt, cancelMs](const ThdStep& step) {
                if (step.capture == cancelAt && cancelMs >= 0)
                    later.start(cancelMs);
            });
    QSignalSpy swept(engine, &ThdEngine::swept);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QVERIFY(call("sweep", request, swept));
    const ThdSweep sweep = swept.first().at(0).value<ThdSweep>();

    QCOMPARE(sweep.cancelled, cancelAt > 0);
    QCOMPARE(sweep.failure, cancelAt > 0 ? QString("The sweep was cancelled.") : QString());
    QVERIFY(sweep.volumeRestored);
    QCOMPARE(int(sweep.points.size()), points);
    const Model model = modelOf(analog);
    for (const ThdSweep::Point& point : sweep.points) {
        QCOMPARE(int(point.channels.size()), 2);
        QVERIFY(point.channels[0].problems.isEmpty() && point.channels[1].problems.isEmpty());
        const double amplitude = std::pow(10.0, (-3 + point.volumeDb) / 20);
        for (int output = 0; output < 2; ++output) {
            const double expected = dbOf(model.harmonic(output, 2, amplitude));
            const double measured = point.channels[std::size_t(output)].h2Dbc;
            QVERIFY2(std::abs(measured - expected) < 0.5,
                     qPrintable(QString("%1 dB, output %2: H2 %3 dBc, the model %4")
                                    .arg(point.volumeDb)
                                    .arg(output)
                                    .arg(measured)
                                    .arg(expected)));
        }
    }
    QCOMPARE(sweep.points.front().volumeDb, -30.0);
    QCOMPARE(writes(), volumes);
    QCOMPARE(dacBlock(), factory);
    QCOMPARE(historyCommands(), QStringList{"sonvale-thd sweep"});
    QCOMPARE(stepData(progress.first().at(0)), QString("sweep at -30.0 dB, 1 of 3"));
    // Each capture announced before it is made, none after a cancel.
    QCOMPARE(progress.count(), cancelAt > 0 ? cancelAt : 3);
}

QTEST_GUILESS_MAIN(TestThdSweep)
#include "tst_thdsweep.moc"
