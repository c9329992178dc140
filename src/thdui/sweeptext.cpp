// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/sweeptext.h"

QString SweepText::outcome(const ThdSweep& sweep)
{
    return sweep.cancelled    ? QStringLiteral("Sweep cancelled")
           : sweep.complete() ? QStringLiteral("Swept at %1 volumes").arg(sweep.points.size())
                              : QStringLiteral("Not swept");
}

QString SweepText::line(const ThdSweep& sweep)
{
    const QString back = sweep.volumeRestored ? QStringLiteral("; the volume was put back")
                                              : QStringLiteral("; the volume was not put back");
    if (!sweep.complete()) {
        return QStringLiteral("not swept: %1%2")
            .arg(sweep.cancelled ? QStringLiteral("cancelled") : sweep.failure, back);
    }
    return QStringLiteral("swept: %1 volumes, %2 dB to %3 dB%4")
        .arg(sweep.points.size())
        .arg(sweep.points.front().volumeDb, 0, 'f', 1)
        .arg(sweep.points.back().volumeDb, 0, 'f', 1)
        .arg(back);
}
