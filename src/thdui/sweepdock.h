// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdsweep.h"

#include <QDockWidget>

#include <optional>

class SweepPlot;

// Where the assistant shows its sweeps: a dock at the bottom of the window,
// hidden until the first sweep, then two fifths of the window's height.
class SweepDock : public QDockWidget {
    Q_OBJECT
public:
    explicit SweepDock(QMainWindow* window);

    // A sweep's points on the plot, the dock shown.
    void show(const ThdSweep& sweep);
    // The DAC's values changed: the next sweep is "after", the last one
    // "before".
    void markTuned();
    // The newest sweep shown; null before the first.
    const ThdSweep* last() const { return shown ? &*shown : nullptr; }

private:
    QMainWindow* window;
    SweepPlot* plot;
    std::optional<ThdSweep> shown;
};
