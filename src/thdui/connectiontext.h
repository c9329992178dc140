// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdconnection.h"

#include <QString>

// How the window words whether the DAC is open: beside its controls, and on
// the console.
class ConnectionText {
public:
    // "Connected to the DAC 2fc6:6013 (SV9038-0001)", "The DAC 2fc6:6013 is
    // in use by another program, ...", or the cause.
    static QString of(const ThdConnection& connection);
};
