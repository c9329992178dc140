// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/busycursor.h"

#include <QApplication>

BusyCursor::BusyCursor() : active(true)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::~BusyCursor()
{
    restore();
}

void BusyCursor::restore()
{
    if (active)
        QApplication::restoreOverrideCursor();
    active = false;
}
