// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The spectrum plot: the cut-down trace looks as the whole one would (every
// pixel column's highest and lowest bin kept, at its exact level), and the
// harmonics are marked where they are.

#include "thdui/spectrumplot.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <map>

namespace {

// A noise floor around -140 dBFS with a tone and its harmonics, as a capture
// of `bins` bins shows it.
std::vector<double> syntheticSpectrum(std::size_t bins, double binHz, double fundamentalHz, quint32 seed)
{
    QRandomGenerator random(seed);
    std::vector<double> levels(bins);
    for (std::size_t k = 0; k < bins; ++k)
        levels[k] = -140 + 10 * random.generateDouble();
    for (int order = 1; order <= 5; ++order) {
        const std::size_t k = std::size_t(std::lround(order * fundamentalHz / binHz));
        if (k < bins)
            levels[k] = order == 1 ? -3.0 : -100.0 - order;
    }
    return levels;
}

long columnOf(double frequency, double lowHz, double highHz, int columns)
{
    const double position = std::floor(std::log(frequency / lowHz) / std::log(highHz / lowHz) * columns);
    return long(std::clamp(position, -1.0, double(columns)));
}

} // namespace

class TestSpectrumPlot : public QObject {
    Q_OBJECT

private slots:
    void keepsEveryColumnsExtremes_data();
    void keepsEveryColumnsExtremes();
    void oddLevels_data();
    void oddLevels();
    void legendNamesTheTracesShown();
    void levelAxisReachesTheNoise_data();
    void levelAxisReachesTheNoise();
    void marksTheHarmonics_data();
    void marksTheHarmonics();
    void widerPlotDrawsMorePoints();
    void cutForTheWidthWhenSet_data();
    void cutForTheWidthWhenSet();
    void tracesInTheFirstPicture_data();
    void tracesInTheFirstPicture();
};

void TestSpectrumPlot::keepsEveryColumnsExtremes_data()
{
    QTest::addColumn<int>("bins");
    QTest::addColumn<double>("binHz");
    QTest::addColumn<int>("columns");
    QTest::addColumn<double>("fundamentalHz");
    QTest::newRow("1 s at 48 kHz, 800 columns") << 24001 << 1.0 << 800 << 1000.0;
    QTest::newRow("1 s at 48 kHz, 1920 columns") << 24001 << 1.0 << 1920 << 997.0;
    QTest::newRow("short capture, bins wider than columns") << 2049 << 11.71875 << 1200 << 1000.0;
    QTest::newRow("2 s at 96 kHz, 300 columns") << 96001 << 0.5 << 300 << 3000.0;
}

void TestSpectrumPlot::keepsEveryColumnsExtremes()
{
    QFETCH(int, bins);
    QFETCH(double, binHz);
    QFETCH(int, columns);
    QFETCH(double, fundamentalHz);
    const std::vector<double> levels = syntheticSpectrum(std::size_t(bins), binHz, fundamentalHz, quint32(bins));
    const double low = SpectrumPlot::lowestHz;
    const double high = (bins - 1) * binHz;

    const QList<QPointF> points = SpectrumPlot::reduced(levels, binHz, low, high, columns);
    QVERIFY(points.size() <= 2 * (columns + 2));

    // Every point is a bin as it is, in the order of the frequencies.
    for (qsizetype i = 0; i < points.size(); ++i) {
        const double k = points[i].x() / binHz;
        QCOMPARE(std::round(k), k);
        QCOMPARE(points[i].y(), levels[std::size_t(k)]);
        if (i > 0)
            QVERIFY(points[i].x() > points[i - 1].x());
    }
    // Each column's highest and lowest level is there.
    std::map<long, std::pair<double, double>> extremes;   // column: lowest, highest
    for (std::size_t k = std::size_t(std::floor(low / binHz)); k < std::size_t(bins); ++k) {
        if (k == 0)
            continue;
        const long column = columnOf(double(k) * binHz, low, high, columns);
        auto found = extremes.find(column);
        if (found == extremes.end())
            extremes[column] = {levels[k], levels[k]};
        else
            found->second = {std::min(found->second.first, levels[k]), std::max(found->second.second, levels[k])};
    }
    std::map<long, std::pair<double, double>> drawn;
    for (const QPointF& p : points) {
        const long column = columnOf(p.x(), low, high, columns);
        auto found = drawn.find(column);
        if (found == drawn.end())
            drawn[column] = {p.y(), p.y()};
        else
            found->second = {std::min(found->second.first, p.y()), std::max(found->second.second, p.y())};
    }
    QCOMPARE(drawn.size(), extremes.size());
    for (const auto& [column, range] : extremes) {
        QVERIFY2(drawn.count(column), qPrintable(QStringLiteral("column %1 missing").arg(column)));
        QCOMPARE(drawn[column].first, range.first);
        QCOMPARE(drawn[column].second, range.second);
    }
    // The harmonics' peaks stand at their own frequency and level.
    for (int order = 2; order <= 5; ++order) {
        const double k = std::round(order * fundamentalHz / binHz);
        QVERIFY2(points.contains(QPointF(k * binHz, -100.0 - order)), qPrintable(QStringLiteral("H%1").arg(order)));
    }
}

void TestSpectrumPlot::oddLevels_data()
{
    QTest::addColumn<double>("level");
    QTest::addColumn<bool>("drawn");
    QTest::addColumn<double>("shownAs");
    QTest::newRow("silence, -inf") << -HUGE_VAL << true << SpectrumPlot::floorDbfs;
    QTest::newRow("below the axis") << -300.0 << true << SpectrumPlot::floorDbfs;
    QTest::newRow("not a number") << std::nan("") << false << 0.0;
    QTest::newRow("ordinary") << -120.5 << true << -120.5;
}

void TestSpectrumPlot::oddLevels()
{
    QFETCH(double, level);
    QFETCH(bool, drawn);
    QFETCH(double, shownAs);
    // Few bins: each is its own column, all drawn.
    std::vector<double> levels{-10, -20, level, -30, -40};
    const QList<QPointF> points = SpectrumPlot::reduced(levels, 1000.0, 20.0, 4000.0, 500);
    QCOMPARE(points.size(), drawn ? 4 : 3);
    QCOMPARE(points.first(), QPointF(1000, -20));
    if (drawn)
        QCOMPARE(points[1], QPointF(2000, shownAs));
    else
        QCOMPARE(points[1], QPointF(3000, -30));
}

void TestSpectrumPlot::legendNamesTheTracesShown()
{
    SpectrumPlot plot;
    plot.resize(800, 500);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    const std::vector<double> levels = syntheticSpectrum(24001, 1.0, 1000, 1);
    plot.setSpectrum(0, SpectrumPlot::Before, levels, 1.0);
    plot.setSpectrum(1, SpectrumPlot::After, levels, 1.0);

    QStringList shown;
    for (int i = 0; i < plot.legend->itemCount(); ++i) {
        if (auto* item = qobject_cast<QCPPlottableLegendItem*>(plot.legend->item(i)))
            shown << item->plottable()->name();
    }
    QCOMPARE(shown, (QStringList{QStringLiteral("Left before"), QStringLiteral("Right after")}));
    QVERIFY(plot.trace(0, SpectrumPlot::Before)->visible());
    QVERIFY(!plot.trace(0, SpectrumPlot::After)->visible());
    QCOMPARE(plot.xAxis->scaleType(), QCPAxis::stLogarithmic);
    QCOMPARE(plot.xAxis->range().lower, 20.0);
    QCOMPARE(plot.xAxis->range().upper, 24000.0);
    QCOMPARE(plot.yAxis->range().lower, -140.0);   // syntheticSpectrum's noise: -140..-130
    QCOMPARE(plot.yAxis->range().upper, 0.0);
    // The before trace paler than the after one of the same channel.
    QVERIFY(plot.trace(0, SpectrumPlot::Before)->pen().color().lightness()
            > plot.trace(0, SpectrumPlot::After)->pen().color().lightness());

    plot.clear();
    QCOMPARE(plot.trace(0, SpectrumPlot::Before)->dataCount(), 0);
    QVERIFY(!plot.trace(1, SpectrumPlot::After)->visible());
    QCOMPARE(plot.legend->itemCount(), 0);
}

void TestSpectrumPlot::levelAxisReachesTheNoise_data()
{
    QTest::addColumn<double>("noiseDbfs");
    QTest::addColumn<double>("bottom");
    QTest::newRow("nothing plotted") << std::nan("") << -160.0;
    QTest::newRow("a loud floor") << -95.0 << -120.0;
    QTest::newRow("a one-second capture's bins") << -171.0 << -180.0;
    QTest::newRow("on a multiple of 20") << -180.0 << -180.0;
    QTest::newRow("a float capture's floor") << -270.0 << SpectrumPlot::floorDbfs;
    QTest::newRow("digital silence") << -HUGE_VAL << SpectrumPlot::floorDbfs;
}

// The noise lies between noiseDbfs and 10 dB above it; a few bins (under
// 1 %) dip far below, as a window's nulls do, and must not stretch the axis.
void TestSpectrumPlot::levelAxisReachesTheNoise()
{
    QFETCH(double, noiseDbfs);
    QFETCH(double, bottom);
    std::vector<double> levels;
    if (!std::isnan(noiseDbfs)) {
        QRandomGenerator random(5);
        levels.resize(24001);
        for (double& level : levels)
            level = noiseDbfs + 10 * random.generateDouble();
        for (std::size_t k = 0; k < levels.size(); k += 200)
            levels[k] = -230;
        levels[997] = -3;
    }
    QCOMPARE(SpectrumPlot::axisBottomDbfs(levels), bottom);
    SpectrumPlot plot;
    plot.setSpectrum(1, SpectrumPlot::Before, levels, 1.0);
    QCOMPARE(plot.yAxis->range().lower, bottom);
    QCOMPARE(plot.yAxis->range().upper, 0.0);
}

void TestSpectrumPlot::marksTheHarmonics_data()
{
    QTest::addColumn<double>("fundamentalHz");
    QTest::addColumn<double>("rateHz");
    QTest::addColumn<QList<int>>("marked");
    QTest::newRow("1 kHz at 48 kHz") << 1000.0 << 48000.0 << QList<int>{2, 3, 4, 5};
    QTest::newRow("7 kHz at 48 kHz: H4, H5 above half the rate") << 7000.0 << 48000.0 << QList<int>{2, 3};
    QTest::newRow("7 kHz at 96 kHz") << 7000.0 << 96000.0 << QList<int>{2, 3, 4, 5};
    QTest::newRow("no fundamental") << 0.0 << 48000.0 << QList<int>{};
}

void TestSpectrumPlot::marksTheHarmonics()
{
    QFETCH(double, fundamentalHz);
    QFETCH(double, rateHz);
    QFETCH(QList<int>, marked);
    SpectrumPlot plot;
    plot.setRate(rateHz);
    const std::size_t bins = std::size_t(rateHz / 2) + 1;
    plot.setSpectrum(0, SpectrumPlot::After, syntheticSpectrum(bins, 1.0, fundamentalHz, 7), 1.0);
    plot.setFundamental(fundamentalHz);

    for (int order = 2; order <= 5; ++order) {
        QCPItemText* label = plot.marker(order);
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("H%1").arg(order));
        QCOMPARE(label->visible(), marked.contains(order));
        if (!marked.contains(order))
            continue;
        // Above the peak it names: syntheticSpectrum put H_k at -100 - k.
        QCOMPARE(label->position->parentAnchor()->pixelPosition(),
                 QPointF(plot.xAxis->coordToPixel(order * fundamentalHz), plot.yAxis->coordToPixel(-100.0 - order)));
        QVERIFY(label->position->pixelPosition().y() < label->position->parentAnchor()->pixelPosition().y());
    }
}

void TestSpectrumPlot::widerPlotDrawsMorePoints()
{
    SpectrumPlot plot;
    plot.resize(400, 300);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    plot.setSpectrum(0, SpectrumPlot::Before, syntheticSpectrum(24001, 1.0, 1000, 3), 1.0);
    const int narrow = plot.trace(0, SpectrumPlot::Before)->dataCount();
    QVERIFY(narrow > 100);
    QVERIFY(narrow <= 2 * (400 + 2));

    plot.resize(1600, 300);
    QTRY_VERIFY(plot.trace(0, SpectrumPlot::Before)->dataCount() > narrow * 2);
    QVERIFY(plot.trace(0, SpectrumPlot::Before)->dataCount() <= 2 * (1600 + 2));
}

void TestSpectrumPlot::cutForTheWidthWhenSet_data()
{
    QTest::addColumn<int>("firstWidth");
    QTest::addColumn<int>("width");
    QTest::newRow("widened while empty") << 400 << 1600;
    QTest::newRow("narrowed while empty") << 1600 << 400;
    QTest::newRow("as first shown") << 800 << 800;
}

// A trace that comes after the empty plot was resized is cut for the width
// the plot has then, not for the one it was first shown at.
void TestSpectrumPlot::cutForTheWidthWhenSet()
{
    QFETCH(int, firstWidth);
    QFETCH(int, width);
    SpectrumPlot plot;
    plot.resize(firstWidth, 300);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    plot.resize(width, 300);
    QTRY_COMPARE(plot.width(), width);
    const std::vector<double> levels = syntheticSpectrum(24001, 1.0, 1000, 5);
    plot.setSpectrum(0, SpectrumPlot::Before, levels, 1.0);
    const QList<QPointF> expected =
        SpectrumPlot::reduced(levels, 1.0, SpectrumPlot::lowestHz, 24000, plot.axisRect()->width());
    const QCPGraph* trace = plot.trace(0, SpectrumPlot::Before);
    QCOMPARE(trace->dataCount(), int(expected.size()));
    for (int i = 0; i < trace->dataCount(); i += 97)
        QCOMPARE(QPointF(trace->data()->at(i)->key, trace->data()->at(i)->value), expected[i]);
}

void TestSpectrumPlot::tracesInTheFirstPicture_data()
{
    QTest::addColumn<bool>("setBeforeShown");
    QTest::addColumn<bool>("shown");
    QTest::newRow("set, then shown") << true << true;
    QTest::newRow("shown, then set") << false << true;
    QTest::newRow("set, never shown, grabbed") << true << false;
}

// The trace is in the picture whether it came before the plot was first
// shown or after, and in a picture taken of a plot never shown.
void TestSpectrumPlot::tracesInTheFirstPicture()
{
    QFETCH(bool, setBeforeShown);
    QFETCH(bool, shown);
    SpectrumPlot plot;
    plot.resize(800, 500);
    const std::vector<double> levels = syntheticSpectrum(24001, 1.0, 1000, 7);
    if (setBeforeShown)
        plot.setSpectrum(0, SpectrumPlot::After, levels, 1.0);
    if (shown) {
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
    }
    if (!setBeforeShown)
        plot.setSpectrum(0, SpectrumPlot::After, levels, 1.0);
    // The left trace's blue, in the noise's band between -140 and -130 dBFS
    // across the whole width.
    auto bluePixels = [&plot] {
        const QImage picture = plot.grab().toImage();
        int count = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QColor c = picture.pixelColor(x, y);
                count += c.blue() > 150 && c.red() < 120 && c.green() < 150;
            }
        }
        return count;
    };
    QTRY_VERIFY2(bluePixels() > 2000, qPrintable(QString::number(bluePixels())));
}

QTEST_MAIN(TestSpectrumPlot)
#include "tst_spectrumplot.moc"
