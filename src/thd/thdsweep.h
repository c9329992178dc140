// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <vector>

// What a sweep of the DAC's volume found, for the window to plot: one
// capture at each volume, both outputs set to it. Plain data, copied across
// threads in a queued signal.
struct ThdSweep {
    // One input channel's figures at one volume; NaN where the capture
    // did not tell (no signal).
    struct Channel {
        double levelDbfs = 0;
        double pathGainDb = 0; // from the level played to the level that arrived
        double h2Dbc = 0;
        double h3Dbc = 0;
        double thdDb = 0;
        double thdnDb = 0;
        QStringList problems; // Problem::clipping, ... of this channel
    };
    struct Point {
        double volumeDb = 0; // as the DAC holds it
        std::vector<Channel> channels;
    };
    std::vector<Point> points;

    // The problems the captures showed, each as a sentence saying what it
    // means and what to do, each problem of each channel once.
    QStringList findings;

    // What stopped the sweep early ("" when nothing did): the audio, the
    // DAC, a cancel. Whether the volume held before is back, read back, and
    // why not.
    QString failure;
    bool cancelled = false;
    bool volumeRestored = true;
    QString restoreError;

    QString outputDevice;
    QString inputDevice;
    double levelDbfs = 0; // as played (capped at 0 dBFS), before the DAC's volume
    double frequencyHz = 0;

    bool complete() const { return failure.isEmpty() && !points.empty(); }

    // A sweep cancelled before it moved anything.
    static ThdSweep cancelledBeforeStart()
    {
        ThdSweep sweep;
        sweep.cancelled = true;
        sweep.failure = QStringLiteral("The sweep was cancelled.");
        return sweep;
    }

    // What sonvalectl sweep steps through by default: -40 dB to 0 dB in
    // steps of 2.5 dB, the range where the DAC's own distortion and the
    // pair that acts change most.
    static std::vector<double> defaultVolumesDb()
    {
        std::vector<double> volumes;
        for (int step = 0; step <= 16; ++step)
            volumes.push_back(-40 + 2.5 * step);
        return volumes;
    }
};

Q_DECLARE_METATYPE(ThdSweep)
