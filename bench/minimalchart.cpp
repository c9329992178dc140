// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick for the THD assistant's start-up: the minimal window, with
// QCustomPlot loaded and one empty plot, with its two axes (the frequency
// logarithmic), as its central widget.
#include <qcustomplot.h>

#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(900, 600);
    window.setWindowTitle(QStringLiteral("Minimal chart"));
    auto* plot = new QCustomPlot;
    plot->addGraph();
    plot->xAxis->setScaleType(QCPAxis::stLogarithmic);
    plot->xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    plot->xAxis->setRange(20, 24000);
    plot->yAxis->setRange(-160, 0);
    window.setCentralWidget(plot);
    window.show();
    return app.exec();
}
