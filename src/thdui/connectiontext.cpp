// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/connectiontext.h"

#include "control/dacsession.h"
#include "thd/problemtext.h"

QString ConnectionText::of(const ThdConnection& connection)
{
    const QString device =
        QString::fromStdString(DacSession::identifiers(connection.vendorId, connection.productId));
    const QString cause = ProblemText::capitalised(connection.error.cause);
    switch (connection.state) {
    case ThdConnection::State::Open:
        return QStringLiteral("Connected to the DAC %1").arg(device)
               + (connection.serial.isEmpty() ? QString()
                                              : QStringLiteral(" (%1)").arg(connection.serial));
    case ThdConnection::State::InUse:
        // What to do comes first; the cause follows for whoever needs it.
        return QStringLiteral("The DAC %1 is in use by another program, such as Sonvale's "
                              "window: close it, then try again. (%2)")
            .arg(device, cause);
    case ThdConnection::State::Failed: break;
    }
    return cause;
}
