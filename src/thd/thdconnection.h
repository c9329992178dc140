// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <QMetaType>
#include <QString>

#include <cstdint>

// What became of an attempt to open the DAC, as the engine knows it; the
// window words it.
struct ThdConnection {
    enum class State {
        Open,   // its whole block was read
        InUse,  // there, but another program (the main window, say) holds its
                // interface: trying again once it lets go may succeed
        Failed, // absent, or it would not answer: `error` says which
    };

    State state = State::Failed;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    QString serial; // Open: the serial number it reports, if any
    Error error;    // InUse, Failed: what stopped the exchanges

    bool open() const { return state == State::Open; }

    static ThdConnection opened(uint16_t vendorId, uint16_t productId, const QString& serial);
    // InUse when `interfaceClaimed` is false, Failed otherwise.
    static ThdConnection refused(uint16_t vendorId, uint16_t productId, const Error& error,
                                 bool interfaceClaimed);
};

Q_DECLARE_METATYPE(ThdConnection)
