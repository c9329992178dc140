// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/spectrumplot.h"

#include "measure/analysis.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <cmath>

namespace {

const char* const stageNames[] = {"before", "after"};

// Left blue, right red; the capture before tuning in a paler shade, drawn
// first so that the one after lies on top. One-pixel solid pens: a wider or
// dashed pen makes the painter stroke every segment of a trace that jumps
// from the noise's lowest to its highest bin in each column, which takes
// about fifty times as long.
QPen tracePen(int channel, SpectrumPlot::Stage stage)
{
    const QColor colour = channel == 0 ? QColor(0x1f, 0x5f, 0xbf) : QColor(0xc8, 0x2a, 0x2a);
    QPen pen(stage == SpectrumPlot::Before ? colour.lighter(150) : colour);
    pen.setWidth(1);
    return pen;
}

} // namespace

SpectrumPlot::SpectrumPlot(QWidget* parent) : QCustomPlot(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setAntialiasedElements(QCP::aePlottables);
    // Traces and labels are replotted together on the next event-loop turn.
    setPlottingHint(QCP::phImmediateRefresh, false);

    xAxis->setScaleType(QCPAxis::stLogarithmic);
    QSharedPointer<QCPAxisTickerLog> ticker(new QCPAxisTickerLog);
    ticker->setLogBase(10);
    ticker->setSubTickCount(8);
    xAxis->setTicker(ticker);
    xAxis->setNumberFormat(QStringLiteral("g"));
    xAxis->setNumberPrecision(6);
    xAxis->setLabel(QStringLiteral("Frequency (Hz)"));
    xAxis->grid()->setSubGridVisible(true);
    yAxis->setRange(-160, 0);
    yAxis->setLabel(QStringLiteral("Level (dBFS)"));

    for (int channel = 0; channel < 2; ++channel) {
        for (Stage stage : {Before, After}) {
            QCPGraph* graph = addGraph();
            graph->setName(QStringLiteral("%1 %2").arg(
                QString::fromStdString(CaptureAnalysis::channelName(std::size_t(channel), 2, true)),
                QLatin1String(stageNames[stage])));
            graph->setPen(tracePen(channel, stage));
            // The cut below already leaves at most two points a column.
            graph->setAdaptiveSampling(false);
            graphs[std::size_t(channel)][stage] = graph;
        }
    }
    for (int order = firstMarked; order <= lastMarked; ++order) {
        const std::size_t at = std::size_t(order - firstMarked);
        auto* dot = new QCPItemTracer(this);
        dot->setStyle(QCPItemTracer::tsCircle);
        dot->setSize(7);
        dot->setPen(QPen(QColor(0x20, 0x20, 0x20)));
        dot->position->setType(QCPItemPosition::ptPlotCoords);
        dot->setVisible(false);
        auto* label = new QCPItemText(this);
        label->setText(QStringLiteral("H%1").arg(order));
        label->position->setParentAnchor(dot->position);
        label->position->setCoords(0, -6);   // pixels above the peak
        label->setPositionAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        label->setClipToAxisRect(false);
        label->setVisible(false);
        dots[at] = dot;
        labels[at] = label;
    }
    legend->setVisible(true);
    axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
    setRate(rateHz);
    // The library's constructor queued a replot. The plot is laid out and
    // drawn anyway when it first gets its size, as it is shown, and requests
    // until then change nothing anyone sees: the queued one would only draw
    // the same picture a second time before the window's first frame. The
    // library then holds the replot as still queued and ignores further
    // queued requests until that first sizing replots at once.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

QCPGraph* SpectrumPlot::trace(int channel, Stage stage) const
{
    return graphs.at(std::size_t(channel)).at(stage);
}

QCPItemText* SpectrumPlot::marker(int order) const
{
    return order < firstMarked || order > lastMarked ? nullptr : labels[std::size_t(order - firstMarked)];
}

void SpectrumPlot::setSpectrum(int channel, Stage stage, const std::vector<double>& levelsDbfs, double binHz)
{
    if (channel < 0 || channel > 1)
        return;
    traces[std::size_t(channel)][stage] = Trace{levelsDbfs, binHz, axisBottomDbfs(levelsDbfs)};
    drawTrace(channel, stage);
    fitLevelAxis();
    placeMarkers();
    replot(rpQueuedReplot);
}

void SpectrumPlot::setFundamental(double frequencyHz)
{
    fundamentalHz = frequencyHz;
    placeMarkers();
    replot(rpQueuedReplot);
}

void SpectrumPlot::setRate(double rate)
{
    if (!(rate > 2 * lowestHz))
        return;
    rateHz = rate;
    xAxis->setRange(lowestHz, highestHz());
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

void SpectrumPlot::resizeEvent(QResizeEvent* event)
{
    QCustomPlot::resizeEvent(event);
    if (columns() == drawnColumns)
        return;
    // The plot has just been laid out and drawn at its new size; the traces
    // are cut again, and drawn once more, only where there are any.
    if (plotted())
        redraw();
    else
        drawnColumns = columns();
}

bool SpectrumPlot::plotted() const
{
    for (const auto& channel : traces) {
        for (const Trace& shownTrace : channel) {
            if (!shownTrace.levelsDbfs.empty())
                return true;
        }
    }
    return false;
}

double SpectrumPlot::highestHz() const
{
    return rateHz / 2;
}

int SpectrumPlot::columns() const
{
    return std::max(64, axisRect()->width());
}

void SpectrumPlot::redraw()
{
    drawnColumns = columns();
    for (int channel = 0; channel < 2; ++channel) {
        for (Stage stage : {Before, After})
            drawTrace(channel, stage);
    }
    fitLevelAxis();
    placeMarkers();
    replot(rpQueuedReplot);
}

void SpectrumPlot::drawTrace(int channel, Stage stage)
{
    const Trace& shownTrace = traces[std::size_t(channel)][stage];
    QCPGraph* graph = graphs[std::size_t(channel)][stage];
    const bool shown = !shownTrace.levelsDbfs.empty() && shownTrace.binHz > 0;
    QVector<double> keys, values;
    if (shown) {
        const QList<QPointF> points =
            reduced(shownTrace.levelsDbfs, shownTrace.binHz, lowestHz, highestHz(), drawnColumns);
        keys.reserve(points.size());
        values.reserve(points.size());
        for (const QPointF& p : points) {
            keys.append(p.x());
            values.append(p.y());
        }
    }
    graph->setData(keys, values, true);   // already in the order of frequency
    graph->setVisible(shown);
    // The legend lists the traces shown, always in the same order.
    legend->clearItems();
    for (const auto& pair : graphs) {
        for (QCPGraph* each : pair) {
            if (each->visible())
                each->addToLegend();
        }
    }
}

double SpectrumPlot::axisBottomDbfs(std::vector<double> levelsDbfs)
{
    levelsDbfs.erase(std::remove_if(levelsDbfs.begin(), levelsDbfs.end(), [](double v) { return std::isnan(v); }),
                     levelsDbfs.end());
    if (levelsDbfs.empty())
        return -160;
    auto lowest = levelsDbfs.begin() + std::ptrdiff_t(levelsDbfs.size() / 100);
    std::nth_element(levelsDbfs.begin(), lowest, levelsDbfs.end());
    const double level = std::max(*lowest, floorDbfs);
    return std::clamp(20 * std::floor(level / 20), floorDbfs, -120.0);
}

void SpectrumPlot::fitLevelAxis()
{
    double bottom = 0;
    for (const auto& channel : traces) {
        for (const Trace& shownTrace : channel) {
            if (!shownTrace.levelsDbfs.empty())
                bottom = std::min(bottom, shownTrace.bottomDbfs);
        }
    }
    yAxis->setRange(bottom < 0 ? bottom : -160.0, 0);
}

// Each label stands above the highest level any trace shows at its
// harmonic, so that it names the peak below it.
void SpectrumPlot::placeMarkers()
{
    for (int order = firstMarked; order <= lastMarked; ++order) {
        const std::size_t at = std::size_t(order - firstMarked);
        const double frequency = order * fundamentalHz;
        double peak = -HUGE_VAL;
        if (fundamentalHz > 0 && frequency < highestHz()) {
            for (const auto& channel : traces) {
                for (const Trace& shownTrace : channel) {
                    if (shownTrace.levelsDbfs.empty() || !(shownTrace.binHz > 0))
                        continue;
                    // The window spreads a tone over a few bins either side.
                    const long centre = std::lround(frequency / shownTrace.binHz);
                    const long last = long(shownTrace.levelsDbfs.size()) - 1;
                    for (long k = std::max(0L, centre - 2); k <= std::min(last, centre + 2); ++k) {
                        if (!std::isnan(shownTrace.levelsDbfs[std::size_t(k)]))
                            peak = std::max(peak, shownTrace.levelsDbfs[std::size_t(k)]);
                    }
                }
            }
        }
        const bool shown = peak != -HUGE_VAL;
        if (shown)
            dots[at]->position->setCoords(frequency, std::clamp(peak, floorDbfs, 0.0));
        dots[at]->setVisible(shown);
        labels[at]->setVisible(shown);
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
