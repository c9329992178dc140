// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdsweep.h"

#include <qcustomplot.h>

#include <array>
#include <optional>

// The DAC's distortion against its volume: THD (dB), H2 and H3 (dBc) of
// each channel at each volume a sweep measured, one line a figure and a
// channel. A null tuned at one volume may not hold at another, so the plot
// keeps two sweeps: the newest ("after") and the last one made before the
// latest tuning ("before", dashed and paler). Sweep, tune, sweep again, and
// the two show whether the null holds across the range.
class SweepPlot : public QCustomPlot {
    Q_OBJECT
public:
    enum Figure { Thd = 0, H2 = 1, H3 = 2 };
    enum Stage { Before = 0, After = 1 };

    explicit SweepPlot(QWidget* parent = nullptr);

    // The newest sweep, drawn as "after". The sweep it replaces becomes
    // "before" when a tuning came between the two; otherwise "before"
    // stays as it was.
    void addSweep(const ThdSweep& sweep);
    // The DAC's values changed (a tuning kept new ones, an undo put old
    // ones back): the sweep shown now is the one made before it.
    void markTuned();

    // The line of one figure of channel 0 (left) or 1 (right).
    QCPGraph* line(int channel, Figure figure, Stage stage) const;

private:
    void drawStage(Stage stage, const ThdSweep* sweep);
    void fitAxes();

    std::array<std::array<std::array<QCPGraph*, 2>, 3>, 2> graphs{};
    std::optional<ThdSweep> before;
    std::optional<ThdSweep> latest;
    bool tunedSinceLatest = false;
};
