// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QChartView>
#include <QList>
#include <QPointF>

#include <array>
#include <vector>

class QLineSeries;
class QLogValueAxis;
class QScatterSeries;
class QValueAxis;

// The spectrum of the last capture of each channel, before tuning and after,
// on a logarithmic frequency axis from 20 Hz to half the rate, level in dBFS,
// with the fundamental's 2nd to 5th harmonics marked and labelled.
//
// A one-second capture at 48 kHz has 24 000 bins, far more than the plot has
// pixel columns. Each trace is cut down to the lowest and highest bin of
// every pixel column on the log axis (the bins themselves where a column
// holds two or fewer), so the line looks as the whole trace would, every
// peak at its exact level, and the chart draws a few thousand points. The
// cut is made again whenever the plot's width changes.
class SpectrumPlot : public QChartView {
    Q_OBJECT
public:
    enum Stage { Before = 0, After = 1 };

    static constexpr double lowestHz = 20.0;
    static constexpr double floorDbfs = -160.0;
    static constexpr int firstMarked = 2;
    static constexpr int lastMarked = 5;

    explicit SpectrumPlot(QWidget* parent = nullptr);

    // The power of each bin in dBFS (bin k at k·binHz), of channel 0 (left)
    // or 1 (right). An empty trace removes it.
    void setSpectrum(int channel, Stage stage, const std::vector<double>& levelsDbfs, double binHz);
    // Where the harmonics are marked; 0 or less: none.
    void setFundamental(double frequencyHz);
    // The axis runs to half of it.
    void setRate(double rateHz);
    void clear();

    // The trace as handed to the chart: for bins k·binHz between lowHz and
    // highHz spread over `columns` columns of a log axis, the lowest and
    // highest bin of each column in the order of their frequencies, levels
    // below floorDbfs raised to it; one bin beyond each end keeps the line
    // running to the plot's edges.
    static QList<QPointF> reduced(const std::vector<double>& levelsDbfs, double binHz, double lowHz, double highHz,
                                  int columns);

    QLineSeries* series(int channel, Stage stage) const;
    // The marker of harmonic `order` (2..5), a point labelled "H2".."H5".
    QScatterSeries* marker(int order) const;
    QLogValueAxis* frequencyAxis() const { return frequencyAxis_; }
    QValueAxis* levelAxis() const { return levelAxis_; }

private:
    struct Trace {
        std::vector<double> levelsDbfs;
        double binHz = 0;
    };

    void redraw();
    void drawTrace(int channel, Stage stage);
    void placeMarkers();
    int columns() const;
    double highestHz() const;

    QLogValueAxis* frequencyAxis_;
    QValueAxis* levelAxis_;
    std::array<std::array<QLineSeries*, 2>, 2> lines{};
    std::array<std::array<Trace, 2>, 2> traces{};
    std::array<QScatterSeries*, lastMarked - firstMarked + 1> markers{};
    double fundamentalHz = 0;
    double rateHz = 48000;
    int drawnColumns = 0;
};
