// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdreport.h"

#include <QString>

#include <array>
#include <vector>

class PairMapTable;
class QLabel;
class ResultTable;
class SpectrumPlot;

// What the engine reports, as the assistant's window shows it: each
// channel's figures before and after, the spectra, the pairs a map found,
// the problems in words, and the line the console gets for each report.
class ReportDisplay {
public:
    ReportDisplay(ResultTable* left, ResultTable* right, SpectrumPlot* plot, PairMapTable* map,
                  QLabel* problems);

    // A measurement starts a new comparison: what a tuning left in the
    // "after" column and traces belongs to another capture. A cancelled one
    // captured nothing, and the figures shown stay.
    void showMeasurement(const ThdReport& report);
    void showTuning(const ThdReport& report);
    // The figures of the last measurement or tuning stay.
    void showMap(const ThdReport& report);

    // A tuning that left new values on the DAC.
    static bool kept(const ThdReport& report);
    // What the progress bar says once the work has ended.
    static QString measuredOutcome(const ThdReport& report);
    static QString tunedOutcome(const ThdReport& report);
    static QString mappedOutcome(const ThdReport& report);
    // The console's line for the report: "measured: left THD -98.21 dB,
    // right THD -97.90 dB", "not tuned: cancelled; ...".
    static QString measuredLine(const ThdReport& report);
    static QString tunedLine(const ThdReport& report);
    // "mapped: 0.0 dB: left thd_range2, right thd_range2 (shared); ..."
    static QString mappedLine(const ThdReport& report);
    // "left THD -98.21 dB, right THD -97.90 dB"
    static QString thdLine(const CaptureAnalysis& analysis);

private:
    void showCapture(const ThdCapture& capture, int column);
    void showValues(const ThdReport& report);
    void showProblems(const ThdReport& report);

    std::array<ResultTable*, 2> tables;
    SpectrumPlot* plot;
    PairMapTable* map;
    QLabel* problems;
    // Which outputs each pair drives, as the last tuning found it.
    std::array<std::vector<int>, 3> drives;
};
