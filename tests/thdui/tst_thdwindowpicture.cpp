// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD assistant after a tuning and a map on the simulated analog path,
// rendered into <build>/artifacts/thd-assistant.png for a person (and
// README) to look at, and checked for what a picture alone would show
// wrongly: a control hidden or cut off, an empty plot, a table without
// figures.

#include "testbytes.h"
#include "thdui/spectrumplot.h"
#include "thdwindowdriver.h"
#include "usbsim.h"

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString artifactPath(const QString& file)
{
    return QDir(QStringLiteral(SONVALE_ARTIFACT_DIR)).filePath(file);
}

int distinctColours(const QImage& image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

bool holdsColour(const QImage& image, QRgb colour)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) == (colour & 0xffffff))
                return true;
        }
    }
    return false;
}

} // namespace

class TestThdWindowPicture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void afterTuning();

private:
    QTemporaryDir history;
};

void TestThdWindowPicture::initTestCase()
{
    QVERIFY(QDir().mkpath(QStringLiteral(SONVALE_ARTIFACT_DIR)));
    // The tuning's history goes here, not into the user's.
    QVERIFY(history.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(history.path()));
}

void TestThdWindowPicture::afterTuning()
{
    UsbSim::reset();
    // An interface quiet enough that the map finds each output's pair at
    // -35 dB too, every time.
    qputenv("SONVALE_SIM_ANALOG", "noise=-150");
    // Full volume, as a tuning would be run.
    UsbSim::setBlock(TestBytes::blockOf(TestBytes::patched(TestBytes::bytesOf(UsbSim::block()), 4, "00 00")));
    AssistantWindow a;
    a.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(a.window.get()));
    a.window->start();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), 60000);
    a.button("tuneButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), 60000);
    QCOMPARE(a.console.lines(QStringLiteral("tuned: ")).size(), 1);
    // And the pairs mapped beside the tuning's figures.
    a.button("mapButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), 60000);
    QCOMPARE(a.console.lines(QStringLiteral("mapped: ")).size(), 1);

    // Every control on screen and inside its parent.
    for (const char* name :
         {"connectionLabel", "outputBox",      "inputBox",   "levelSpin",     "frequencySpin",
          "leftInputSpin",   "rightInputSpin", "volumeSpin", "measureButton", "tuneButton",
          "mapButton",       "cancelButton",   "undoButton", "saveButton",    "progressBar",
          "spectrumPlot",    "leftTable",      "rightTable", "mapTable",      "problemsLabel"}) {
        QWidget* w = a.widget<QWidget>(name);
        QVERIFY2(w && w->isVisible() && !w->size().isEmpty(), name);
        QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), name);
    }
    // The four traces drawn, the harmonics marked.
    auto* plot = a.widget<SpectrumPlot>("spectrumPlot");
    for (int channel = 0; channel < 2; ++channel) {
        for (auto stage : {SpectrumPlot::Before, SpectrumPlot::After})
            QVERIFY(plot->trace(channel, stage)->dataCount() > 100);
    }
    QVERIFY(plot->marker(2)->visible());
    QVERIFY(plot->marker(3)->visible());
    QVERIFY(a.cell(0, ResultTable::ThdDb, ResultTable::After) != QString());

    // The plot draws what it was given on the next turn of the event loop,
    // which the wait for the window may or may not have let run.
    QCoreApplication::sendPostedEvents(plot, QEvent::MetaCall);
    const QPixmap shot = a.window->grab();
    QVERIFY(distinctColours(shot.toImage()) > 64);
    // The traces in the picture, not only in the plot's data.
    const QImage drawn =
        shot.toImage().copy(QRect(plot->mapTo(a.window.get(), QPoint()), plot->size()));
    for (int channel = 0; channel < 2; ++channel) {
        for (auto stage : {SpectrumPlot::Before, SpectrumPlot::After})
            QVERIFY(holdsColour(drawn, plot->trace(channel, stage)->pen().color().rgb()));
    }
    const QString path = artifactPath(QStringLiteral("thd-assistant.png"));
    QVERIFY2(shot.save(path), qPrintable(path));
    qInfo("picture: %s", qPrintable(path));
}

QTEST_MAIN(TestThdWindowPicture)
#include "tst_thdwindowpicture.moc"
