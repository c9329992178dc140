// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// "Export…" in the THD assistant after a measurement on the simulated DAC:
// the spectrum as sonvalectl measure --csv writes it, the plot as a PNG,
// the type following the name's suffix or the filter, and a folder that
// cannot be written to; after a sweep, the sweep as CSV.

#include "assistanttest.h"
#include "thdui/spectrumexport.h"
#include "thdui/spectrumplot.h"
#include "thdui/sweepdock.h"
#include "tuning/volumesweep.h"

#include <QDir>
#include <QImage>

using namespace AssistantTests;

class TestThdWindowExport : public AssistantTest {
    Q_OBJECT

private slots:
    void exports_data();
    void exports();
    void sweepAsCsv();
};

void TestThdWindowExport::exports_data()
{
    QTest::addColumn<QString>("name");    // typed into the file dialog
    QTest::addColumn<QString>("written"); // what appears; "" when nothing may

    QTest::newRow("CSV") << "spectrum.csv"
                         << "spectrum.csv";
    QTest::newRow("PNG") << "plot.png"
                         << "plot.png";
    QTest::newRow("no suffix: the filter's, PNG") << "plot"
                                                  << "plot.png";
    // A file stands where the folder should be: nothing can go in it.
    QTest::newRow("a folder that cannot be written") << "blocked/spectrum.csv" << QString();
}

void TestThdWindowExport::exports()
{
    QFETCH(QString, name);
    QFETCH(QString, written);
    start("noise=-140,gain=-9.3");
    AssistantWindow& a = *assistant;
    QVERIFY(!a.button("exportButton")->isEnabled()); // nothing captured yet
    clickAndWait("measureButton");
    QVERIFY(a.button("exportButton")->isEnabled());

    QTemporaryDir folder;
    QFile blocker(folder.filePath(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QStringList before =
        QDir(folder.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    a.dialogs.file = folder.filePath(name);
    clickAndWait("exportButton");

    const QStringList after =
        QDir(folder.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    if (written.isEmpty()) {
        QCOMPARE(after, before);
        QCOMPARE(QFileInfo(blocker.fileName()).size(), 0);
        QCOMPARE(a.dialogs.count(QStringLiteral("warning")), 1);
        const QString said = a.dialogs.seen.last().text;
        const QString start = QStringLiteral("Nothing was exported: %1 could not be written: ")
                                  .arg(QDir::toNativeSeparators(folder.filePath(name)));
        QVERIFY2(said.startsWith(start) && said.size() > start.size(), qPrintable(said));
        QVERIFY(a.console.lines(QStringLiteral("exported: ")).isEmpty());
        return;
    }
    QCOMPARE(after, QStringList(before) << written);
    const QString path = folder.filePath(written);
    QCOMPARE(a.console.lines(QStringLiteral("exported: ")),
             QStringList{QStringLiteral("exported: %1").arg(QDir::toNativeSeparators(path))});
    if (written.endsWith(QLatin1String(".png"))) {
        const QImage image(path);
        QCOMPARE(image.size(), a.widget<SpectrumPlot>("spectrumPlot")->size());
        return;
    }
    QFile csv(path);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(csv.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(rows.first(), QStringLiteral("frequency_hz,left_dbfs,right_dbfs"));
    // A second at 48 kHz: 1 Hz bins, the tone's on 997 Hz, its level the
    // table's.
    QCOMPARE(rows.size(), 24001 + 2);
    const QStringList fundamental =
        rows.filter(QRegularExpression(QStringLiteral("^997\\.000,"))).value(0).split(',');
    QCOMPARE(fundamental.size(), 3);
    for (int channel = 0; channel < 2; ++channel) {
        const double table =
            a.cell(channel, ResultTable::Fundamental, ResultTable::Before).toDouble();
        QVERIFY2(std::abs(fundamental[1 + channel].toDouble() - table) < 0.1,
                 qPrintable(fundamental.join(',')));
    }
}

// A sweep alone makes Export… worth pressing; its CSV is sonvalectl
// sweep's, a row per volume and channel, chosen by its filter, since its
// suffix is the spectrum's too.
void TestThdWindowExport::sweepAsCsv()
{
    start("noise=-140");
    AssistantWindow& a = *assistant;
    clickAndWait("sweepButton");
    QVERIFY(a.button("exportButton")->isEnabled());
    const ThdSweep* sweep = a.window->findChild<SweepDock*>()->last();
    QVERIFY(sweep);

    QTemporaryDir folder;
    QString named = folder.filePath(QStringLiteral("sweep"));
    QCOMPARE(SpectrumExport::formatOf(named, SpectrumExport::sweepFilter), SpectrumExport::Format::SweepCsv);
    QCOMPARE(named, folder.filePath(QStringLiteral("sweep.csv")));
    QCOMPARE(SpectrumExport::formatOf(named, SpectrumExport::csvFilter), SpectrumExport::Format::Csv);
    QCOMPARE(SpectrumExport::writeSweepCsv(named, *sweep), QString());
    QFile csv(named);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(csv.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(rows.first(), QString::fromLatin1(VolumeSweep::csvHeader));
    QCOMPARE(rows.size(), 1 + 17 * 2);
    QCOMPARE(rows.at(1).section(',', 0, 1), QStringLiteral("-40.00,left"));
    QCOMPARE(rows.last().section(',', 0, 1), QStringLiteral("0.00,right"));
    QVERIFY2(std::abs(rows.last().section(',', 3, 3).toDouble()) < 0.05, qPrintable(rows.last())); // path gain

    // A figure that rounds to zero reads as sonvalectl writes it, unsigned.
    // (Windows does not replace a file that is still open.)
    csv.close();
    ThdSweep nearZero;
    nearZero.points.push_back({-0.001, {{-0.0004, -0.001, -120, -130, -119, -100, {}}}});
    QCOMPARE(SpectrumExport::writeSweepCsv(named, nearZero), QString());
    QFile written(named);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()).section(QLatin1Char('\n'), 1, 1),
             QStringLiteral("0.00,mono,0.000,0.00,-120.000,-130.000,-119.000,-100.000"));
}

QTEST_MAIN(TestThdWindowExport)
#include "tst_thdwindowexport.moc"
