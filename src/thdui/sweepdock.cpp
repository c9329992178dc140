// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/sweepdock.h"

#include "thdui/sweepplot.h"

#include <QMainWindow>

SweepDock::SweepDock(QMainWindow* window)
    : QDockWidget(QStringLiteral("Sweep"), window), window(window), plot(new SweepPlot)
{
    setObjectName(QStringLiteral("sweepDock"));
    plot->setObjectName(QStringLiteral("sweepPlot"));
    setWidget(plot);
    window->addDockWidget(Qt::BottomDockWidgetArea, this);
    hide(); // until the first sweep
}

void SweepDock::show(const ThdSweep& sweep)
{
    if (sweep.points.empty())
        return;
    plot->addSweep(sweep);
    shown = sweep;
    if (isHidden()) {
        QDockWidget::show();
        window->resizeDocks({this}, {window->height() * 2 / 5}, Qt::Vertical);
    }
}

void SweepDock::markTuned()
{
    plot->markTuned();
}
