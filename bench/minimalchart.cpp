// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick for the THD assistant's start-up: the minimal window, with
// Qt Charts loaded and one empty chart, with its two axes, as its central
// widget.
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMainWindow>
#include <QValueAxis>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(900, 600);
    window.setWindowTitle(QStringLiteral("Minimal chart"));
    auto* chart = new QChart;
    auto* series = new QLineSeries;
    chart->addSeries(series);
    auto* x = new QLogValueAxis;
    x->setRange(20, 24000);
    auto* y = new QValueAxis;
    y->setRange(-160, 0);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(x);
    series->attachAxis(y);
    window.setCentralWidget(new QChartView(chart));
    window.show();
    return app.exec();
}
