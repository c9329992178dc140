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
class SeparationTable;
class SpectrumPlot;

// What the engine reports, as the assistant's window shows it: each
// channel's figures before and after, the spectra, the pairs a map found,
// the problems in words, and the line the console gets for each report.
class ReportDisplay {
public:
    // `separation` and its title show the interface's share told from the
    // DAC's, and are hidden while there is none.
    ReportDisplay(ResultTable* left, ResultTable* right, SpectrumPlot* plot, PairMapTable* map,
                  QLabel* problems, SeparationTable* separation, QLabel* separationTitle);

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
    // The separation's title: the change of level it was told from, or,
    // when it could not be told, why not.
    static QString separationTitle(const InterfaceSeparation& separation);

private:
    void showCapture(const ThdCapture& capture, int column);
    void showValues(const ThdReport& report);
    void showProblems(const ThdReport& report);
    void showSeparation(const ThdReport& report);

    std::array<ResultTable*, 2> tables;
    SpectrumPlot* plot;
    PairMapTable* map;
    QLabel* problems;
    SeparationTable* separation;
    QLabel* separationLabel;
    // Which outputs each pair drives, as the last tuning found it.
    std::array<std::vector<int>, 3> drives;
};
