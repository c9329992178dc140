// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QDockWidget>

class SweepPlot;
struct ThdSweep;

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

private:
    QMainWindow* window;
    SweepPlot* plot;
};
