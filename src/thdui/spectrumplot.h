// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <qcustomplot.h>

#include <QList>
#include <QPointF>

#include <array>
#include <vector>

// The spectrum of the last capture of each channel, before tuning and after,
// on a logarithmic frequency axis from 20 Hz to half the rate, level in dBFS,
// with the fundamental's 2nd to 5th harmonics marked and labelled.
//
// A one-second capture at 48 kHz has 24 000 bins, far more than the plot has
// pixel columns. Each trace is cut down to the lowest and highest bin of
// every pixel column on the log axis (the bins themselves where a column
// holds two or fewer), so the line looks as the whole trace would, every
// peak at its exact level, and the plot draws a few thousand points. The cut
// is made again whenever the plot's width changes.
class SpectrumPlot : public QCustomPlot {
    Q_OBJECT
public:
    enum Stage { Before = 0, After = 1 };

    static constexpr double lowestHz = 20.0;
    // Nothing is drawn deeper; the level axis ends above it, where the
    // traces' noise floor lies.
    static constexpr double floorDbfs = -240.0;
    static constexpr int firstMarked = 2;
    static constexpr int lastMarked = 5;

    explicit SpectrumPlot(QWidget* parent = nullptr);

    // The level of each bin in dBFS (bin k at k·binHz), of channel 0 (left)
    // or 1 (right). An empty trace removes it.
    void setSpectrum(int channel, Stage stage, const std::vector<double>& levelsDbfs, double binHz);
    // Where the harmonics are marked; 0 or less: none.
    void setFundamental(double frequencyHz);
    // The axis runs to half of it.
    void setRate(double rateHz);
    void clear();

    // The trace as handed to the plot: for bins k·binHz between lowHz and
    // highHz spread over `columns` columns of a log axis, the lowest and
    // highest bin of each column in the order of their frequencies, levels
    // below floorDbfs raised to it; one bin beyond each end keeps the line
    // running to the plot's edges.
    static QList<QPointF> reduced(const std::vector<double>& levelsDbfs, double binHz, double lowHz, double highHz,
                                  int columns);

    // Where the level axis ends below for one trace (the plot takes the
    // lowest of its traces'): under all but the lowest 1 % of the levels, on a multiple of 20 dB, between floorDbfs and -120 dBFS;
    // -160 dBFS when there are none. The noise of one bin of a long capture
    // lies far below the noise of the whole band.
    static double axisBottomDbfs(std::vector<double> levelsDbfs);

    QCPGraph* trace(int channel, Stage stage) const;
    // The label "H2".."H5" of harmonic `order`, on the peak it names; hidden
    // when the harmonic lies beyond the axis or nothing is plotted.
    QCPItemText* marker(int order) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Trace {
        std::vector<double> levelsDbfs;
        double binHz = 0;
        double bottomDbfs = 0;
    };

    void redraw();
    void drawTrace(int channel, Stage stage);
    void placeMarkers();
    void fitLevelAxis();
    int columns() const;
    bool plotted() const;
    double highestHz() const;

    std::array<std::array<QCPGraph*, 2>, 2> graphs{};
    std::array<std::array<Trace, 2>, 2> traces{};
    std::array<QCPItemText*, lastMarked - firstMarked + 1> labels{};
    std::array<QCPItemTracer*, lastMarked - firstMarked + 1> dots{};
    double fundamentalHz = 0;
    double rateHz = 48000;
    int drawnColumns = 0;
};
