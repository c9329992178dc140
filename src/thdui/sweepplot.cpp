// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/sweepplot.h"

#include "thd/problemtext.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const char* const figureNames[] = {"THD", "H2", "H3"};
const char* const stageNames[] = {"before", "after"};

// Left blue, right red as in the spectrum; the figures told apart by their
// points' shapes; the sweep before the tuning dashed and paler, drawn first
// so that the newest lies on top.
QPen linePen(int channel, SweepPlot::Stage stage)
{
    const QColor colour = channel == 0 ? QColor(0x1f, 0x5f, 0xbf) : QColor(0xc8, 0x2a, 0x2a);
    QPen pen(stage == SweepPlot::Before ? colour.lighter(150) : colour);
    pen.setWidth(stage == SweepPlot::Before ? 1 : 2);
    pen.setStyle(stage == SweepPlot::Before ? Qt::DashLine : Qt::SolidLine);
    return pen;
}

QCPScatterStyle::ScatterShape shapeOf(SweepPlot::Figure figure)
{
    switch (figure) {
    case SweepPlot::Thd: return QCPScatterStyle::ssDisc;
    case SweepPlot::H2: return QCPScatterStyle::ssSquare;
    case SweepPlot::H3: return QCPScatterStyle::ssTriangle;
    }
    return QCPScatterStyle::ssNone;
}

// A figure of a channel at one point; NaN, a gap in the line, where the
// capture did not tell the DAC's distortion (no signal, clipping, ...).
double figureOf(const ThdSweep::Channel& channel, SweepPlot::Figure figure)
{
    if (!channel.problems.isEmpty())
        return std::numeric_limits<double>::quiet_NaN();
    return figure == SweepPlot::Thd  ? channel.thdDb
           : figure == SweepPlot::H2 ? channel.h2Dbc
                                     : channel.h3Dbc;
}

} // namespace

SweepPlot::SweepPlot(QWidget* parent) : QCustomPlot(parent)
{
    setAccessibleName(QStringLiteral("Sweep"));
    setAccessibleDescription(QStringLiteral(
        "THD, H2 and H3 of the left and right output against the DAC's volume, the newest "
        "sweep solid and the last one before the latest tuning dashed"));
    setAntialiasedElements(QCP::aePlottables);
    setPlottingHint(QCP::phImmediateRefresh, false);
    xAxis->setLabel(QStringLiteral("DAC volume (dB)"));
    yAxis->setLabel(QStringLiteral("THD (dB), H2 and H3 (dBc)"));
    xAxis->setRange(-40, 0);
    yAxis->setRange(-140, -60);
    for (Stage stage : {Before, After}) {
        for (int channel = 0; channel < 2; ++channel) {
            for (Figure figure : {Thd, H2, H3}) {
                QCPGraph* graph = addGraph();
                graph->setName(QStringLiteral("%1 %2 %3")
                                   .arg(ProblemText::channelWord(std::size_t(channel), 2, true),
                                        QLatin1String(figureNames[figure]),
                                        QLatin1String(stageNames[stage])));
                graph->setPen(linePen(channel, stage));
                graph->setScatterStyle(QCPScatterStyle(shapeOf(figure), 6));
                graphs[std::size_t(channel)][figure][stage] = graph;
            }
        }
    }
    // Twelve lines: the legend beside the axes, a column for each sweep.
    legend->setVisible(true);
    legend->setFillOrder(QCPLayoutGrid::foRowsFirst);
    legend->setWrap(6);
    plotLayout()->addElement(0, 1, legend);
    plotLayout()->setColumnStretchFactor(1, 0.001);
    setMinimumSize(480, 240);
    drawStage(Before, nullptr);
    drawStage(After, nullptr);
    // As the spectrum: the queued replot of the library's constructor only
    // draws the empty plot once more before it is first shown.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

QCPGraph* SweepPlot::line(int channel, Figure figure, Stage stage) const
{
    return graphs.at(std::size_t(channel)).at(figure).at(stage);
}

void SweepPlot::addSweep(const ThdSweep& sweep)
{
    if (tunedSinceLatest && latest)
        before = latest;
    latest = sweep;
    tunedSinceLatest = false;
    drawStage(Before, before ? &*before : nullptr);
    drawStage(After, &*latest);
    fitAxes();
    replot(rpQueuedReplot);
}

void SweepPlot::markTuned()
{
    tunedSinceLatest = true;
}

// A line for each figure of each channel the sweep has; the legend names
// only the lines drawn.
void SweepPlot::drawStage(Stage stage, const ThdSweep* sweep)
{
    for (int channel = 0; channel < 2; ++channel) {
        for (Figure figure : {Thd, H2, H3}) {
            QVector<double> volumes, values;
            for (std::size_t p = 0; sweep && p < sweep->points.size(); ++p) {
                const ThdSweep::Point& point = sweep->points[p];
                if (std::size_t(channel) >= point.channels.size())
                    continue;
                volumes << point.volumeDb;
                values << figureOf(point.channels[std::size_t(channel)], figure);
            }
            QCPGraph* graph = line(channel, figure, stage);
            graph->setData(volumes, values, true);
            graph->setVisible(!volumes.isEmpty());
            if (volumes.isEmpty())
                graph->removeFromLegend();
            else
                graph->addToLegend();
        }
    }
}

// Both axes around what is drawn, the volume's in whole decibels and the
// figures' on multiples of 10 dB.
void SweepPlot::fitAxes()
{
    bool found = false;
    const QCPRange volumes = line(0, Thd, After)->getKeyRange(found);
    if (found)
        xAxis->setRange(std::floor(volumes.lower) - 1, std::ceil(volumes.upper) + 1);
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (int i = 0; i < graphCount(); ++i) {
        bool any = false;
        const QCPRange range = graph(i)->getValueRange(any);
        if (any && graph(i)->visible()) {
            low = std::min(low, range.lower);
            high = std::max(high, range.upper);
        }
    }
    if (low <= high)
        yAxis->setRange(std::floor(low / 10 - 0.5) * 10, std::ceil(high / 10 + 0.5) * 10);
}
