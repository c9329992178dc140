// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Tunings and maps as the THD assistant's engine runs them for the window,
// on the simulated DAC and analog path: the values chosen against the
// model's nulls, the pairs found against the model's map, what is written
// against the requests the DAC received, what is kept in the history, and
// what is put back when a run is refused, finds nothing, or is stopped.

#include "enginetest.h"

#include <QRegularExpression>
#include <QTimer>

#include <cmath>

using namespace EngineTests;

class TestThdRuns : public EngineTest {
    Q_OBJECT

private slots:
    void tune_data();
    void tune();
    void map_data();
    void map();
    void tuneNothingKept_data();
    void tuneNothingKept();
    void tuneRefused_data();
    void tuneRefused();
    void stopMidTune_data();
    void stopMidTune();
    void cancelPaced_data();
    void cancelPaced();

private:
    void undoTheTuning(QSignalSpy& undoAvailable);
};

// A tuning: the values the engine chose are the model's nulls and are what
// the DAC holds; only THD windows were written; before and after reported;
// each capture announced in words; the history keeps the block from before,
// and undo puts it back.
void TestThdRuns::tune_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QStringList>("steps");

    // thd_range2 moves nothing: its probe is tried again with a larger step.
    // The interface's noise far down, so that the first values solved for
    // already lie within half a unit of the null: no refinement follows,
    // whatever the noise drew.
    const QStringList straight{
        "tune start, 1 of 7",
        "tune probe 0, 2 of 7",
        "tune probe 1, 3 of 7",
        "tune probe 2, 4 of 7",
        "tune probe 2 attempt 1, 5 of 8",
        "tune probe 2 attempt 2, 6 of 9",
        "tune solved, 7 of 9",
    };
    QTest::newRow("straight") << QString("noise=-170") << straight;
    QTest::newRow("swapped") << QString("noise=-170,map=swapped") << straight;
}

void TestThdRuns::tune()
{
    QFETCH(QString, analog);
    QFETCH(QStringList, steps);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QSignalSpy undoAvailable(engine, &ThdEngine::undoAvailable);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();

    QStringList said;
    for (const QList<QVariant>& step : progress) {
        said << stepData(step.at(0));
        QVERIFY(step.at(0).value<ThdStep>().capture <= step.at(0).value<ThdStep>().captures);
    }
    QCOMPARE(said, steps);
    QCOMPARE(report.kind, ThdReport::Kind::Tuning);
    QCOMPARE(report.outcome, ThdSolver::Outcome::Improved);
    QVERIFY2(report.failure.isEmpty(), qPrintable(report.failure));
    QCOMPARE(report.captures, steps.size());

    // The values found null the model's distortion; the DAC holds them.
    const Model model = modelOf(analog);
    QVERIFY(report.valuesKnown);
    QCOMPARE(report.start, valuesIn(fullVolume));
    QCOMPARE(valuesIn(dacBlock()), report.values);
    QCOMPARE(bytesOf(report.block.data(), 48), dacBlock());
    for (int pair = 0; pair < 2; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const double optimum = model.optimum(pair, which);
            const int value = report.values.pairs[std::size_t(pair)][std::size_t(which)];
            QVERIFY2(std::abs(value - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                     qPrintable(QString("thd_range%1[%2]=%3, optimum %4").arg(pair).arg(which).arg(value).arg(optimum)));
        }
    }
    QCOMPARE(report.values.pairs[2], valuesIn(fullVolume).pairs[2]);
    QCOMPARE(report.drives[0], std::vector<int>{model.swapped ? 1 : 0});
    QCOMPARE(report.drives[1], std::vector<int>{model.swapped ? 0 : 1});
    QCOMPARE(report.drives[2], std::vector<int>());

    // The whole block read first, then only the THD ranges written, each
    // in its own window, and read back.
    const QStringList sent = sentRequests();
    for (int i = 0; i < 12; ++i)
        QCOMPARE(sent.at(i), QString::asprintf("04 %02X 04 00 00 00 00", i * 4));
    for (const QString& line : sent.mid(12)) {
        QVERIFY2(line.startsWith("03 0A 04 ") || line.startsWith("03 0E 04 ") || line.startsWith("03 12 04 ")
                     || line.startsWith("04 08 04 ") || line.startsWith("04 0C 04 ") || line.startsWith("04 10 04 ")
                     || line.startsWith("04 14 04 "),
                 qPrintable(line));
    }

    // Before and after, with their spectra: H2 and H3 fall far.
    QVERIFY(!report.before.isEmpty());
    QVERIFY(!report.after.isEmpty());
    QCOMPARE(report.after.spectra.size(), std::size_t(2));
    for (std::size_t output = 0; output < 2; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const double before = report.before.analysis.channels[output].harmonicDbc(order);
            const double after = report.after.analysis.channels[output].harmonicDbc(order);
            QVERIFY2(after < std::min(before - 10, -135.0), qPrintable(QString("H%1 %2 -> %3").arg(order).arg(before).arg(after)));
            const double model = dbOf(Model(modelOf(analog)).harmonic(int(output), order, std::pow(10.0, -3.0 / 20)));
            QVERIFY(std::abs(before - model) < 0.5);
        }
    }

    // Kept before anything changed; undo writes it back whole and says so.
    undoTheTuning(undoAvailable);
}

// What sonvalectl thd-map does: which pair moves each output at 0, -15 and
// -35 dB, the block kept in the history first, each volume set in turn and
// the one held put back last, the values as they were.
void TestThdRuns::map_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QVector<int>>("pairs"); // the left's and the right's at each volume
    // At -35 dB a probe's first step moves H2 by about ten times the noise
    // of -140 dBFS, where the solver's threshold lies: the interface's
    // noise lies lower, so that each output's pair is found every time.

    QTest::newRow("straight") << QString("noise=-150") << QVector<int>{0, 1, 0, 1, 0, 1};
    QTest::newRow("the pairs follow the volume")
        << QString("noise=-150,map=volume") << QVector<int>{2, 2, 1, 1, 0, 0};
}

void TestThdRuns::map()
{
    QFETCH(QString, analog);
    QFETCH(QVector<int>, pairs);
    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    UsbSim::setBlock(blockOf(factory));
    QVERIFY(connectEngine());
    QSignalSpy mapped(engine, &ThdEngine::mapped);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QVERIFY(call("map", ThdEngine::Request(), mapped));
    const ThdReport report = mapped.first().at(0).value<ThdReport>();

    QCOMPARE(report.kind, ThdReport::Kind::Map);
    QVERIFY2(report.failure.isEmpty(), qPrintable(report.failure));
    QCOMPARE(report.outcome, ThdSolver::Outcome::Improved);
    QVector<int> found;
    QVector<double> volumes;
    for (const ThdReport::PairsAt& at : report.map) {
        volumes << at.volumeDb;
        found << QVector<int>(at.pairs.begin(), at.pairs.end());
    }
    QCOMPARE(volumes, (QVector<double>{0, -15, -35}));
    QCOMPARE(found, pairs);
    QVERIFY(report.restored);
    QVERIFY(report.volumeRestored);
    QCOMPARE(dacBlock(), factory);
    QCOMPARE(historyCommands(), QStringList{"sonvale-thd map"});
    // 0 dB, -15 dB (0x1E), -35 dB (0x46), and the -12.5 dB held (0x19).
    QCOMPARE(writes().filter(QRegularExpression("^06 ")),
             (QStringList{"06 00 02 00 00 00 00", "06 00 02 1E 1E 00 00", "06 00 02 46 46 00 00",
                          "06 00 02 19 19 00 00"}));
    // Counted across the volumes, ending where the count planned.
    QCOMPARE(stepData(progress.first().at(0)), QString("map at 0.0 dB start, 1 of 12"));
    const ThdStep last = progress.last().at(0).value<ThdStep>();
    QCOMPARE(last.capture, last.captures);
    QCOMPARE(last.capture, report.captures);
}

// A tuning that finds nothing to keep says why and leaves the DAC as it
// was: a silent input writes nothing at all; a distortion no value can
// null is probed and then written back.
void TestThdRuns::tuneNothingKept_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<ThdSolver::Outcome>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("findings");
    QTest::addColumn<bool>("wrote");

    QTest::newRow("silent input")
        << QString("input=silent") << ThdSolver::Outcome::Failed
        << "The capture at the start values: no signal"
        << QStringList{"No signal reached the input: connect the DAC's output to the interface's input "
                       "and choose that input."}
        << false;
    QTest::newRow("the interface's own distortion dominates")
        << QString("adc2=5e-3") << ThdSolver::Outcome::NotImproved
        << "The values that would null it lie beyond their range: the distortion measured is most likely not the "
           "DAC's (the audio interface's own, or an overloaded input)"
        << QStringList() << true;
    // The interface's input knob turned 3 dB down after the first capture:
    // the path gain it fixed no longer holds.
    const QString moved = "The level at the input changed by 3.0 dB since the first capture: was a "
                          "knob or cable moved?";
    QTest::newRow("a knob turned") << QString("adcgain=0,-3") << ThdSolver::Outcome::Failed << moved
                                   << QStringList{"Left: " + moved, "Right: " + moved} << true;
}

void TestThdRuns::tuneNothingKept()
{
    QFETCH(QString, analog);
    QFETCH(ThdSolver::Outcome, outcome);
    QFETCH(QString, reason);
    QFETCH(QStringList, findings);
    QFETCH(bool, wrote);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();
    QCOMPARE(report.outcome, outcome);
    QCOMPARE(report.failure.isEmpty() ? report.reason : report.failure, reason);
    QCOMPARE(report.findings, findings);
    QVERIFY(report.after.isEmpty());
    QCOMPARE(report.wrote, wrote);
    QVERIFY(report.restored);
    QCOMPARE(report.values, valuesIn(fullVolume));
    QCOMPARE(dacBlock(), fullVolume);
    if (!wrote)
        QCOMPARE(writes(), QStringList());
}

// A tuning that cannot start sends nothing that changes the DAC.
void TestThdRuns::tuneRefused_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("analog");
    QTest::addColumn<bool>("blockHistory");
    QTest::addColumn<ThdEngine::Request>("request");
    QTest::addColumn<QString>("message");

    const ThdEngine::Request plain;
    QTest::newRow("not connected") << false << QString() << false << plain
                                   << "The DAC is not connected: connect it before tuning.";
    QTest::newRow("history cannot be kept")
        << true << QString() << true << plain
        << "The DAC's settings cannot be kept in its history, so the DAC was left as it was: ";
    QTest::newRow("audio refused")
        << true << QString("k2=much") << false << plain
        << "The audio system cannot start: SONVALE_SIM_ANALOG: bad value 'much' for k2";
    ThdEngine::Request third = plain;
    third.inputChannels = {0, 2};
    ThdEngine::Request quiet = plain;
    quiet.volumeDb = -130;
    QTest::newRow("a volume the block does not hold")
        << true << QString() << false << quiet
        << "The DAC's block holds no volume of -130.0 dB: from -127.5 dB to 0 dB in steps of 0.5 dB.";
    QTest::newRow("an input the interface lacks")
        << true << QString() << false << third
        << "The input device 1 \"Sonvale loopback interface\" has 2 inputs, not 3";
    // The window lists the devices itself: no pointer to sonvalectl's list.
    ThdEngine::Request gone = plain;
    gone.input = 9;
    QTest::newRow("an input device that is not there")
        << true << QString() << false << gone << "The input device: there is no device 9";
}

void TestThdRuns::tuneRefused()
{
    QFETCH(bool, connect);
    QFETCH(QString, analog);
    QFETCH(bool, blockHistory);
    QFETCH(ThdEngine::Request, request);
    QFETCH(QString, message);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    if (connect)
        QVERIFY(connectEngine());
    if (blockHistory) {
        // A file where the DAC's history folder should be: no folder can be
        // made there.
        QVERIFY(QDir().mkpath(QFileInfo(history()).path()));
        QVERIFY(writeFile(history(), "not a folder"));
    }
    QSignalSpy failed(engine, &ThdEngine::failed);
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy undoAvailable(engine, &ThdEngine::undoAvailable);
    QVERIFY(call("tune", request, failed));
    // A message that ends in ": " is followed by the system's own reason.
    const QString said = failed.first().at(0).toString();
    QVERIFY2(message.endsWith(": ") ? said.startsWith(message) : said == message, qPrintable(said));
    QCOMPARE(tuned.count(), 0);
    QCOMPARE(undoAvailable.count(), 0);
    QCOMPARE(writes(), QStringList());
    QCOMPARE(dacBlock(), fullVolume);
}

// Cancel, and closing the window (cancel, then shutdown), during a tuning:
// the values held before are written back, checked, and said so.
void TestThdRuns::stopMidTune_data()
{
    QTest::addColumn<bool>("shutdown");
    QTest::addColumn<int>("atCapture");

    QTest::newRow("cancel while probing") << false << 3;
    QTest::newRow("cancel while refining") << false << 6;
    QTest::newRow("window closed while probing") << true << 3;
}

void TestThdRuns::stopMidTune()
{
    QFETCH(bool, shutdown);
    QFETCH(int, atCapture);

    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy finished(engine, &ThdEngine::finished);
    QSignalSpy progress(engine, &ThdEngine::progress);
    // Straight into the engine, as the window's Cancel does, but on the
    // engine's thread as the capture is announced, so that the capture it
    // stops is known.
    connect(
        engine, &ThdEngine::progress, this,
        [&](const ThdStep& step) {
            if (step.capture != atCapture)
                return;
            engine->cancel();
            if (shutdown)
                QMetaObject::invokeMethod(engine, "shutdown", Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();
    QVERIFY(report.cancelled);
    QCOMPARE(report.failure, QString("The tuning was cancelled."));
    QCOMPARE(report.outcome, ThdSolver::Outcome::Failed);
    QVERIFY(report.wrote);
    QVERIFY(report.restored);
    QVERIFY(report.restoreError.isEmpty());
    QCOMPARE(report.values, valuesIn(fullVolume));
    // No capture after the one under way when cancelled.
    QCOMPARE(progress.last().at(0).value<ThdStep>().capture, atCapture);
    QCOMPARE(dacBlock(), fullVolume);
    // The last write puts back what the last probe or solve changed.
    const QStringList sent = writes();
    QVERIFY(!sent.isEmpty());
    const QString last = sent.last();
    const int address = last.mid(3, 2).toInt(nullptr, 16);
    QCOMPARE(last, "03 " + spacedHex(QByteArray(1, char(address))) + " 04 " + spacedHex(fullVolume.mid(address, 4)));
    if (shutdown) {
        QVERIFY(arrived(finished, 0));
        QCOMPARE(UsbSim::liveHandles(), 0);
    }
}

// Cancel while a capture on a path paced at the wall clock is under way:
// the run ends cancelled, and puts back exactly what it changed, the
// volume last.
void TestThdRuns::cancelPaced_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QStringList>("written"); // patterns of the requests that change the DAC

    // The factory block holds -12.5 dB (0x19) and thd_range0 -300, 260.
    QTest::newRow("a tuning at -15 dB, probing thd_range0")
        << QByteArray("tune") << QString("The tuning was cancelled.")
        << QStringList{"06 00 02 1E 1E 00 00", "03 0A 04 .*", "03 0A 04 FE D4 01 04",
                       "06 00 02 19 19 00 00"};
    // The map's first volume is 0 dB.
    QTest::newRow("a map, probing thd_range0 at 0 dB")
        << QByteArray("map") << QString("The map was cancelled.")
        << QStringList{"06 00 02 00 00 00 00", "03 0A 04 .*", "03 0A 04 FE D4 01 04",
                       "06 00 02 19 19 00 00"};
}

void TestThdRuns::cancelPaced()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, failure);
    QFETCH(QStringList, written);
    qputenv("SONVALE_SIM_ANALOG", "pace=realtime");
    UsbSim::setBlock(blockOf(factory));
    QVERIFY(connectEngine());
    ThdEngine::Request request;
    request.seconds = 4;
    request.volumeDb = -15;
    // A second into the second capture, which takes four.
    QTimer later;
    later.setSingleShot(true);
    connect(&later, &QTimer::timeout, this, [this] { engine->cancel(); });
    connect(engine, &ThdEngine::progress, &later, [&later](const ThdStep& step) {
        if (step.capture == 2)
            later.start(1000);
    });
    QSignalSpy done(engine, slot == "map" ? &ThdEngine::mapped : &ThdEngine::tuned);
    QVERIFY(call(slot.constData(), request, done));
    const ThdReport report = done.first().at(0).value<ThdReport>();
    QVERIFY(report.cancelled);
    QCOMPARE(report.failure, failure);
    QVERIFY(report.restored);
    QVERIFY(report.volumeRestored);
    QCOMPARE(report.values, valuesIn(factory));
    QCOMPARE(dacBlock(), factory);
    const QStringList sent = writes();
    QCOMPARE(sent.size(), written.size());
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY2(QRegularExpression("^" + written[i] + "$").match(sent[i]).hasMatch(),
                 qPrintable(sent.join(" | ")));
    }
}

// After the tuning of tune(): the history kept the block from before it,
// and undo writes it back whole, says so, and has nothing left to undo.
void TestThdRuns::undoTheTuning(QSignalSpy& undoAvailable)
{
    QCOMPARE(historyCommands(), QStringList{"sonvale-thd tune"});
    QCOMPARE(undoAvailable.count(), 1);
    QCOMPARE(undoAvailable.first().at(0).toBool(), true);
    QSignalSpy undone(engine, &ThdEngine::undone);
    UsbSim::clearLog();
    QVERIFY(call("undo", undone));
    QCOMPARE(undone.first().at(1).toString(), QString("The settings held before the last tuning are back on the DAC."));
    QCOMPARE(undone.first().at(0).toBool(), true);
    QCOMPARE(dacBlock(), fullVolume);
    QCOMPARE(historyCommands(), (QStringList{"sonvale-thd tune", "sonvale-thd undo"}));
    QStringList undoWrites;
    for (int address = 0; address < 48; address += 4)
        undoWrites << "03 " + spacedHex(QByteArray(1, char(address))) + " 04 " + spacedHex(fullVolume.mid(address, 4));
    undoWrites << "05 00 00 00 00 00 00";   // the commit
    QCOMPARE(writes(), undoWrites);
    QCOMPARE(undoAvailable.last().at(0).toBool(), false);

    // Nothing left to undo.
    undone.clear();
    QVERIFY(call("undo", undone));
    QCOMPARE(undone.first().at(0).toBool(), false);
    QCOMPARE(undone.first().at(1).toString(), QString("No tuning of this session to undo."));
}

QTEST_GUILESS_MAIN(TestThdRuns)
#include "tst_thdruns.moc"
