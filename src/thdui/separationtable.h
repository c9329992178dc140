// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "measure/interfaceseparation.h"

#include <QTableWidget>

// The DAC's and the audio interface's shares of H2 and H3 on each channel,
// told apart by two captures at two input gains: each share's level against
// the fundamental, its phase and one standard deviation of each, with the
// decimals sonvalectl prints. After a tuning, the interface's share at the
// gain tuned at: what a loopback still measures once the DAC's is nulled.
class SeparationTable : public QTableWidget {
    Q_OBJECT
public:
    enum Column { Dbc = 0, Phase, UncertaintyDb, UncertaintyDeg, LeftAfterTuning, ColumnCount };
    enum Share { Dac = 0, Interface = 1 };

    explicit SeparationTable(QWidget* parent = nullptr);

    // The row of a channel's harmonic (2 or 3) and share.
    static int rowOf(int channel, int order, Share share)
    {
        return 4 * channel + 2 * (order - 2) + int(share);
    }

    // `tuned`: the shares a tuning told before it nulled the DAC's; the
    // last column then shows what it left of the interface's.
    void setSeparation(const InterfaceSeparation& separation, bool tuned);
    void clearSeparation();
    QString cellText(int row, Column column) const;

private:
    void setCell(int row, Column column, const QString& text);
};
