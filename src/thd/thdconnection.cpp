// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdconnection.h"

ThdConnection ThdConnection::opened(uint16_t vendorId, uint16_t productId, const QString& serial)
{
    ThdConnection connection;
    connection.state = State::Open;
    connection.vendorId = vendorId;
    connection.productId = productId;
    connection.serial = serial;
    return connection;
}

ThdConnection ThdConnection::refused(uint16_t vendorId, uint16_t productId, const Error& error,
                                     bool interfaceClaimed)
{
    ThdConnection connection;
    connection.state = interfaceClaimed ? State::Failed : State::InUse;
    connection.vendorId = vendorId;
    connection.productId = productId;
    connection.error = error;
    return connection;
}
