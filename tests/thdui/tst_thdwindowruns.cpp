// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Tunings and maps in the THD assistant driven as a user drives it,
// offscreen, on the simulated DAC and analog path: what the tables and the
// console show against what reaches the DAC (the bytes of each request),
// and what is put back when a tuning is cancelled, the window closed
// mid-tuning or the DAC pulled; undo and the preset saved.

#include "assistanttest.h"
#include "settings/presetfile.h"
#include "thdui/pairmaptable.h"

#include <QDirIterator>
#include <QDoubleSpinBox>

#include <cmath>

using namespace AssistantTests;
using namespace TestBytes;

class TestThdWindowRuns : public AssistantTest {
    Q_OBJECT

private slots:
    void tuneWritesWhatItShows_data();
    void tuneWritesWhatItShows();
    void mapShown_data();
    void mapShown();
    void stopMidTuning_data();
    void stopMidTuning();
    void dacLeavesMidTuning();
    void undoAndSave();
};

void TestThdWindowRuns::tuneWritesWhatItShows_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<QStringList>("pairs");   // left's, right's
    QTest::newRow("straight") << QByteArray("") << QStringList{"thd_range0", "thd_range1"};
    QTest::newRow("swapped") << QByteArray("map=swapped") << QStringList{"thd_range1", "thd_range0"};
}

void TestThdWindowRuns::tuneWritesWhatItShows()
{
    QFETCH(QByteArray, analog);
    QFETCH(QStringList, pairs);
    // Full volume, so that one unit of each value shows above the noise.
    UsbSim::setBlock(blockOf(patched(bytesOf(UsbSim::block()), 4, "00 00")));
    start(analog);
    AssistantWindow& a = *assistant;
    const auto start = thdPairs(bytesOf(UsbSim::block()));
    a.window->findChild<QDoubleSpinBox*>(QStringLiteral("levelSpin"))->setValue(-6);
    UsbSim::clearLog();
    clickAndWait("tuneButton");

    const QStringList tuned = a.console.lines(QStringLiteral("tuned: "));
    QCOMPARE(tuned.size(), 1);
    const QStringList printed = thdFigures(tuned.first());
    const auto kept = thdPairs(bytesOf(UsbSim::block()));
    QVERIFY(!writes().isEmpty());
    for (int channel = 0; channel < 2; ++channel) {
        QCOMPARE(a.cell(channel, ResultTable::Pair, ResultTable::Before), pairs[channel]);
        QCOMPARE(a.cell(channel, ResultTable::Pair, ResultTable::After), pairs[channel]);
        const int pair = pairs[channel].back().digitValue();
        // Before: what the DAC held; after: what it holds now.
        QCOMPARE(a.cell(channel, ResultTable::SecondValue, ResultTable::Before), QString::number(start[pair][0]));
        QCOMPARE(a.cell(channel, ResultTable::ThirdValue, ResultTable::Before), QString::number(start[pair][1]));
        QCOMPARE(a.cell(channel, ResultTable::SecondValue, ResultTable::After), QString::number(kept[pair][0]));
        QCOMPARE(a.cell(channel, ResultTable::ThirdValue, ResultTable::After), QString::number(kept[pair][1]));
        QCOMPARE(a.cell(channel, ResultTable::ThdDb, ResultTable::After), printed[channel]);
        const double before = a.cell(channel, ResultTable::ThdDb, ResultTable::Before).toDouble();
        const double after = printed[channel].toDouble();
        QVERIFY2(after < before - 10, qPrintable(QStringLiteral("channel %1: %2 dB to %3 dB").arg(channel).arg(before).arg(after)));
    }
    // The model's optimum: -h/k with the defaults (h2l 2e-5, h2r -1.2e-5, k 1e-7).
    const int leftPair = pairs[0].back().digitValue();
    const int rightPair = pairs[1].back().digitValue();
    QVERIFY2(std::abs(kept[leftPair][0] - (-200)) <= 3, qPrintable(QString::number(kept[leftPair][0])));
    QVERIFY2(std::abs(kept[rightPair][0] - 120) <= 3, qPrintable(QString::number(kept[rightPair][0])));
    QCOMPARE(kept[2], start[2]);   // thd_range2 drives nothing: left as it was
    QVERIFY(a.button("undoButton")->isEnabled());
    QVERIFY(a.button("saveButton")->isEnabled());
}

void TestThdWindowRuns::mapShown_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<QStringList>("cells"); // left, right at 0, -15 and -35 dB
    QTest::addColumn<QString>("line");

    const QString back = "; the volume and the values held before are back";
    QTest::newRow("straight")
        << QByteArray("noise=-150") << QStringList{"thd_range0", "thd_range1", "thd_range0",
                                                   "thd_range1", "thd_range0", "thd_range1"}
        << "mapped: 0.0 dB: left thd_range0, right thd_range1; -15.0 dB: left "
           "thd_range0, right thd_range1; -35.0 dB: left thd_range0, right "
           "thd_range1"
               + back;
    QTest::newRow("the pairs follow the volume")
        << QByteArray("noise=-150,map=volume")
        << QStringList{"thd_range2 (shared)", "thd_range2 (shared)", "thd_range1 (shared)",
                       "thd_range1 (shared)", "thd_range0 (shared)", "thd_range0 (shared)"}
        << "mapped: 0.0 dB: thd_range2 (shared); -15.0 dB: thd_range1 (shared); -35.0 dB: "
           "thd_range0 (shared)"
               + back;
}

// Map: which pair moves each output at each volume, in the table and on
// the console; the DAC as it was afterwards, and nothing left to undo.
void TestThdWindowRuns::mapShown()
{
    QFETCH(QByteArray, analog);
    QFETCH(QStringList, cells);
    QFETCH(QString, line);
    start(analog);
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    clickAndWait("mapButton");
    auto* map = a.widget<PairMapTable>("mapTable");
    QStringList shown;
    for (int column = 0; column < 3; ++column) {
        for (int row = 0; row < 2; ++row)
            shown << map->cellText(row, column);
    }
    QCOMPARE(shown, cells);
    QCOMPARE(a.console.lines(QStringLiteral("mapped: ")), QStringList{line});
    QCOMPARE(bytesOf(UsbSim::block()), held);
    QVERIFY(!a.button("undoButton")->isEnabled());
}

void TestThdWindowRuns::stopMidTuning_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::addColumn<bool>("afterProbes");
    QTest::newRow("Cancel") << false << true;
    QTest::newRow("closing the window") << true << true;
    QTest::newRow("closing the window as the tuning starts") << true << false;
    QTest::newRow("Cancel as the tuning starts") << false << false;
}

void TestThdWindowRuns::stopMidTuning()
{
    QFETCH(bool, closeWindow);
    QFETCH(bool, afterProbes);
    start();
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    UsbSim::clearLog();
    a.button("tuneButton")->click();
    if (!afterProbes && closeWindow) {
        QVERIFY(!a.window->close());
        QTRY_VERIFY_WITH_TIMEOUT(!a.window->isVisible(), kWaitMs);
        QCOMPARE(bytesOf(UsbSim::block()), held);
        QCOMPARE(a.console.lines(QStringLiteral("tuned: ")), QStringList{});
        return;
    }
    if (!afterProbes) {
        // While the DAC is read, before anything is kept or written.
        a.button("cancelButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
        QCOMPARE(a.console.lines(QStringLiteral("not tuned: ")),
                 QStringList{"not tuned: cancelled"});
        QCOMPARE(writes(), QStringList{});
        QCOMPARE(bytesOf(UsbSim::block()), held);
        // Nothing kept in the history either.
        QDirIterator kept(scratch.filePath(QStringLiteral("data")), QDir::Files,
                          QDirIterator::Subdirectories);
        QVERIFY(!kept.hasNext());
        return;
    }
    // Stopped once the probes have written something.
    auto* progress = a.widget<QProgressBar>("progressBar");
    QTRY_VERIFY_WITH_TIMEOUT(progress->value() >= 2, kWaitMs);
    QVERIFY(a.button("cancelButton")->isEnabled());
    QVERIFY(!a.button("measureButton")->isEnabled());
    QVERIFY(!a.button("tuneButton")->isEnabled());
    if (closeWindow) {
        QVERIFY(!a.window->close());     // refused until the values are back
        QVERIFY(a.window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!a.window->isVisible(), kWaitMs);
    } else {
        a.button("cancelButton")->click();
        QVERIFY(!a.button("cancelButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
        QCOMPARE(a.console.lines(QStringLiteral("not tuned: cancelled")).size(), 1);
        QVERIFY(!a.button("saveButton")->isEnabled());
    }
    // The values held before are back, written back after the probes'.
    QCOMPARE(bytesOf(UsbSim::block()), held);
    const QStringList sent = writes();
    QVERIFY(sent.size() >= 2);
    const auto startPairs = thdPairs(held);
    const QString lastWrite = sent.last();
    const int address = lastWrite.mid(3, 2).toInt(nullptr, 16);
    QVERIFY2(address == 10 || address == 14 || address == 18, qPrintable(lastWrite));
    QCOMPARE(lastWrite.mid(9), spacedHex(held.mid(address, 4)));
    Q_UNUSED(startPairs);
}

void TestThdWindowRuns::dacLeavesMidTuning()
{
    start();
    AssistantWindow& a = *assistant;
    // The block is read first (12 requests), then the probes write.
    UsbSim::unplugAfterRequests(14);
    a.button("tuneButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
    QCOMPARE(a.window->windowTitle(), QStringLiteral("Sonvale THD assistant : Disconnected"));
    QTRY_COMPARE(a.dialogs.count(QStringLiteral("warning")), 1);
    QVERIFY2(a.dialogs.seen.last().text.contains(QLatin1String("disconnected")), qPrintable(a.dialogs.seen.last().text));
    QVERIFY(!a.dialogs.seen.last().waitCursor);
    QCOMPARE(a.label("connectionLabel"), a.dialogs.seen.last().text);
    QCOMPARE(a.console.lines(QStringLiteral("not tuned: ")).size(), 1);
    QVERIFY(a.button("tryAgainButton")->isVisible());
    QVERIFY(!a.button("tuneButton")->isEnabled());
    QVERIFY(!a.button("saveButton")->isEnabled());
}

void TestThdWindowRuns::undoAndSave()
{
    UsbSim::setBlock(blockOf(patched(bytesOf(UsbSim::block()), 4, "00 00")));
    start();
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    clickAndWait("tuneButton");
    const QByteArray tuned = bytesOf(UsbSim::block());
    QVERIFY(tuned != held);

    const QString path = scratch.filePath(QStringLiteral("tuned"));
    a.dialogs.file = path;
    a.button("saveButton")->click();
    QTRY_COMPARE(a.dialogs.count(QStringLiteral("file dialog")), 1);
    QTRY_VERIFY(QFile::exists(path + QStringLiteral(".sonvale")));
    QCOMPARE(readFile(path + QStringLiteral(".sonvale")), presetFile(tuned));
    QCOMPARE(a.console.lines(QStringLiteral("saved: ")).size(), 1);

    clickAndWait("undoButton");
    QCOMPARE(bytesOf(UsbSim::block()), held);
    QVERIFY(!a.button("saveButton")->isEnabled());
    QCOMPARE(a.console.lines(QStringLiteral("undone: ")).size(), 1);
}

QTEST_MAIN(TestThdWindowRuns)
#include "tst_thdwindowruns.moc"
