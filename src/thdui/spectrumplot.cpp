// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/spectrumplot.h"

#include <QChart>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPen>
#include <QScatterSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

const char* const channelNames[] = {"Left", "Right"};
const char* const stageNames[] = {"before", "after"};

// Left blue, right red; the capture before tuning dashed and paler, so the
// two of one channel tell apart in grey print as well.
QPen tracePen(int channel, SpectrumPlot::Stage stage)
{
    const QColor colour = channel == 0 ? QColor(0x1f, 0x5f, 0xbf) : QColor(0xc8, 0x2a, 0x2a);
    QPen pen(stage == SpectrumPlot::Before ? colour.lighter(140) : colour);
    pen.setWidthF(stage == SpectrumPlot::Before ? 1.0 : 1.4);
    pen.setStyle(stage == SpectrumPlot::Before ? Qt::DashLine : Qt::SolidLine);
    return pen;
}

void showInLegend(QChart* chart, QAbstractSeries* series, bool shown)
{
    for (QLegendMarker* marker : chart->legend()->markers(series))
        marker->setVisible(shown);
}

} // namespace

SpectrumPlot::SpectrumPlot(QWidget* parent)
    : QChartView(parent), frequencyAxis_(new QLogValueAxis), levelAxis_(new QValueAxis)
{
    QChart* plot = new QChart;
    plot->setMargins(QMargins(4, 4, 4, 4));
    plot->legend()->setAlignment(Qt::AlignBottom);
    plot->setAnimationOptions(QChart::NoAnimation);

    frequencyAxis_->setBase(10);
    frequencyAxis_->setLabelFormat(QStringLiteral("%g"));
    frequencyAxis_->setTitleText(QStringLiteral("Frequency (Hz)"));
    frequencyAxis_->setMinorTickCount(8);
    levelAxis_->setRange(floorDbfs, 0);
    levelAxis_->setTickCount(9);
    levelAxis_->setLabelFormat(QStringLiteral("%.0f"));
    levelAxis_->setTitleText(QStringLiteral("Level (dBFS)"));
    plot->addAxis(frequencyAxis_, Qt::AlignBottom);
    plot->addAxis(levelAxis_, Qt::AlignLeft);

    for (int channel = 0; channel < 2; ++channel) {
        for (Stage stage : {Before, After}) {
            auto* line = new QLineSeries;
            line->setName(QStringLiteral("%1 %2").arg(QLatin1String(channelNames[channel]),
                                                       QLatin1String(stageNames[stage])));
            line->setPen(tracePen(channel, stage));
            plot->addSeries(line);
            line->attachAxis(frequencyAxis_);
            line->attachAxis(levelAxis_);
            lines[channel][stage] = line;
        }
    }
    for (int order = firstMarked; order <= lastMarked; ++order) {
        auto* marker = new QScatterSeries;
        const QString name = QStringLiteral("H%1").arg(order);
        marker->setName(name);
        marker->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
        marker->setMarkerSize(9);
        marker->setColor(QColor(0x20, 0x20, 0x20));
        marker->setBorderColor(QColor(0x20, 0x20, 0x20));
        // A label without a placeholder is shown as it is: the harmonic's name.
        marker->setPointLabelsFormat(name);
        marker->setPointLabelsVisible(true);
        marker->setPointLabelsClipping(false);
        plot->addSeries(marker);
        marker->attachAxis(frequencyAxis_);
        marker->attachAxis(levelAxis_);
        markers[std::size_t(order - firstMarked)] = marker;
        showInLegend(plot, marker, false);
    }
    setChart(plot);
    setRenderHint(QPainter::Antialiasing);
    setRate(rateHz);
    connect(plot, &QChart::plotAreaChanged, this, [this](const QRectF&) {
        if (columns() != drawnColumns)
            redraw();
    });
}

QLineSeries* SpectrumPlot::series(int channel, Stage stage) const
{
    return lines.at(std::size_t(channel)).at(stage);
}

QScatterSeries* SpectrumPlot::marker(int order) const
{
    return order < firstMarked || order > lastMarked ? nullptr : markers[std::size_t(order - firstMarked)];
}

void SpectrumPlot::setSpectrum(int channel, Stage stage, const std::vector<double>& levelsDbfs, double binHz)
{
    if (channel < 0 || channel > 1)
        return;
    traces[std::size_t(channel)][stage] = Trace{levelsDbfs, binHz};
    drawTrace(channel, stage);
    placeMarkers();
}

void SpectrumPlot::setFundamental(double frequencyHz)
{
    fundamentalHz = frequencyHz;
    placeMarkers();
}

void SpectrumPlot::setRate(double rate)
{
    if (!(rate > 2 * lowestHz))
        return;
    rateHz = rate;
    frequencyAxis_->setRange(lowestHz, highestHz());
    redraw();
}

void SpectrumPlot::clear()
{
    for (auto& channel : traces) {
        for (Trace& trace : channel)
            trace = Trace{};
    }
    fundamentalHz = 0;
    redraw();
}

double SpectrumPlot::highestHz() const
{
    return rateHz / 2;
}

int SpectrumPlot::columns() const
{
    return std::max(64, int(std::lround(chart()->plotArea().width())));
}

void SpectrumPlot::redraw()
{
    drawnColumns = columns();
    for (int channel = 0; channel < 2; ++channel) {
        for (Stage stage : {Before, After})
            drawTrace(channel, stage);
    }
    placeMarkers();
}

void SpectrumPlot::drawTrace(int channel, Stage stage)
{
    const Trace& trace = traces[std::size_t(channel)][stage];
    QLineSeries* line = lines[std::size_t(channel)][stage];
    const bool shown = !trace.levelsDbfs.empty() && trace.binHz > 0;
    if (shown)
        line->replace(reduced(trace.levelsDbfs, trace.binHz, lowestHz, highestHz(), drawnColumns));
    else if (line->count() > 0)
        line->clear();
    if (line->isVisible() != shown) {
        line->setVisible(shown);
        showInLegend(chart(), line, shown);
    }
}

// Each mark sits on the highest level any trace shows at the harmonic, so
// that its label stands above the peak it names.
void SpectrumPlot::placeMarkers()
{
    for (int order = firstMarked; order <= lastMarked; ++order) {
        QScatterSeries* mark = marker(order);
        const double frequency = order * fundamentalHz;
        double peak = -HUGE_VAL;
        if (fundamentalHz > 0 && frequency < highestHz()) {
            for (const auto& channel : traces) {
                for (const Trace& trace : channel) {
                    if (trace.levelsDbfs.empty() || !(trace.binHz > 0))
                        continue;
                    // The window spreads a tone over a few bins either side.
                    const long centre = std::lround(frequency / trace.binHz);
                    const long last = long(trace.levelsDbfs.size()) - 1;
                    for (long k = std::max(0L, centre - 2); k <= std::min(last, centre + 2); ++k) {
                        if (!std::isnan(trace.levelsDbfs[std::size_t(k)]))
                            peak = std::max(peak, trace.levelsDbfs[std::size_t(k)]);
                    }
                }
            }
        }
        if (peak == -HUGE_VAL) {
            mark->clear();
            continue;
        }
        mark->replace(QList<QPointF>{QPointF(frequency, std::clamp(peak, floorDbfs, 0.0))});
    }
}

QList<QPointF> SpectrumPlot::reduced(const std::vector<double>& levelsDbfs, double binHz, double lowHz,
                                     double highHz, int columns)
{
    QList<QPointF> points;
    const std::size_t count = levelsDbfs.size();
    if (count < 2 || !(binHz > 0) || !(lowHz > 0) || !(highHz > lowHz) || columns < 1)
        return points;
    // One bin below lowHz and one above highHz (bin 0, at 0 Hz, has no place
    // on a log axis); each falls into a column of its own beyond the ends.
    const std::size_t first = std::max<std::size_t>(1, std::size_t(std::floor(lowHz / binHz)));
    const std::size_t last = std::min(count - 1, std::size_t(std::ceil(highHz / binHz)));
    // Column c holds lowHz·ratio^c up to lowHz·ratio^(c+1): the bins are
    // walked once against the columns' upper edges.
    const double perColumn = std::log(highHz / lowHz) / columns;
    long column = -1;
    double edgeHz = lowHz;
    auto columnOf = [&](std::size_t k) {
        const double frequency = double(k) * binHz;
        if (frequency >= highHz)
            return long(columns);
        while (column < columns && frequency >= edgeHz) {
            ++column;
            edgeHz = column < columns ? lowHz * std::exp(perColumn * double(column + 1)) : HUGE_VAL;
        }
        return column;
    };
    auto point = [&](std::size_t k) {
        return QPointF(double(k) * binHz, std::max(levelsDbfs[k], floorDbfs));
    };
    points.reserve(qsizetype(std::min<std::size_t>(last - first + 1, std::size_t(columns) * 2 + 4)));

    std::size_t k = first;
    while (k <= last) {
        const long here = columnOf(k);
        std::size_t lowest = 0, highest = 0, held = 0;
        std::size_t heldBins[2] = {0, 0};
        for (; k <= last && columnOf(k) == here; ++k) {
            if (std::isnan(levelsDbfs[k]))
                continue;
            if (held < 2)
                heldBins[held] = k;
            if (held == 0 || levelsDbfs[k] < levelsDbfs[lowest])
                lowest = k;
            if (held == 0 || levelsDbfs[k] > levelsDbfs[highest])
                highest = k;
            ++held;
        }
        if (held == 0)
            continue;
        if (held <= 2) {
            for (std::size_t i = 0; i < held; ++i)
                points.append(point(heldBins[i]));
        } else if (lowest == highest || levelsDbfs[lowest] == levelsDbfs[highest]) {
            points.append(point(highest));
        } else {
            points.append(point(std::min(lowest, highest)));
            points.append(point(std::max(lowest, highest)));
        }
    }
    return points;
}
