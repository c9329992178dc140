// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "measure/analysis.h"

#include <QHeaderView>
#include <QStringList>
#include <QTableWidget>

#include <cstdint>

// One channel's figures before and after a tuning, as text in table cells so
// that a screen reader reads each one as it is shown: the fundamental, the
// path's gain from the level played to the level that arrived, THD in dB
// and per cent, THD+N, H2 to H5 against the fundamental with their
// phases, and the compensation values of the pair that drives the output.
// The decimals are the ones sonvalectl prints; "-" where there is no figure
// (no tone, or a harmonic above half the rate).
class ResultTable : public QTableWidget {
    Q_OBJECT
public:
    enum Column { Before = 0, After = 1 };
    enum Row {
        Fundamental = 0,
        PathGain,
        ThdDb,
        ThdPercent,
        ThdnDb,
        FirstHarmonic, // H2 (dBc), H2 phase, H3 (dBc), ... H5 phase
        SecondValue = FirstHarmonic + 8,
        ThirdValue,
        Pair,
        RowCount
    };

    explicit ResultTable(QWidget* parent = nullptr);

    static QStringList rowNames();
    static int harmonicRow(int order) { return FirstHarmonic + 2 * (order - 2); }
    static int phaseRow(int order) { return harmonicRow(order) + 1; }

    // The figures of one capture of this channel, and the gain of its path
    // (the interface's input knob, the cable), dB.
    void setAnalysis(Column column, const ChannelAnalysis& channel,
                     double pathGainDb = ChannelAnalysis::none);
    // The compensation values the output's pair held then, and the pair's
    // name ("thd_range0").
    void setValues(Column column, int16_t second, int16_t third, const QString& pair);
    // "-" for the values and the pair: which pair drives an output is known
    // only once a tuning has probed them.
    void setValuesUnknown(Column column);
    void clearColumn(Column column);

    QString cellText(int row, Column column) const;

    // "-98.21"; "-" when not finite; never "-0.00".
    static QString fixed(double value, int decimals);

protected:
    void changeEvent(QEvent* event) override;

private:
    void setCell(int row, Column column, const QString& text);
    void fixHeaderSize(QHeaderView* header);
    QTableWidgetItem* headerItem(Qt::Orientation orientation, int section) const;
};
