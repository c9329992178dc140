// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "measure/analysis.h"

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// What the analysis of a capture detected, in words a person acts on: what
// went wrong and what to do about it, one sentence a problem, per channel
// where the channels differ.
class ProblemText {
public:
    struct Line {
        std::string problem;    // Problem::clipping, ...
        int channel;            // the channel it is said of; -1: every channel
        QString text;
    };

    // `expectedLevelsDbfs`: the level each channel should have had, from
    // the path gain the run's first capture fixed (for the sentence about a
    // level that changed); empty: not said.
    static std::vector<Line> lines(const CaptureAnalysis& analysis, const std::vector<double>& expectedLevelsDbfs = {});

    // A channel as CaptureAnalysis::channelName names it.
    static QString channelWord(std::size_t channel, std::size_t channels, bool capital = false);

    // One problem of one channel; `expected` NaN when unknown.
    static QString sentence(const std::string& problem, double expectedDbfs, double gotDbfs);

    // The problems of a run's captures, each problem of each channel once,
    // as the first capture that had it showed it. `expectedLevelsDbfs` as
    // lines() takes it, for each capture.
    struct Capture {
        const CaptureAnalysis* analysis;
        std::vector<double> expectedLevelsDbfs;
    };
    static QStringList findings(const std::vector<Capture>& captures);

    // A cause as the lower layers word it ("the read at 12 ...") at the
    // start of a sentence of its own.
    static QString capitalised(const std::string& text);
};
