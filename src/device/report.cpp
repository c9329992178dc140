// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "device/report.h"

#include <algorithm>

Report::Report() = default;

Report::Report(uint8_t id, uint8_t addr, uint8_t length, const uint8_t* data)
    : id(id), addr(addr), length(std::min<uint8_t>(length, 4))
{
    for (uint8_t i = 0; i < 4; ++i)
        this->data[i] = (data && i < length) ? data[i] : 0;
}

uint8_t* Report::bytes()
{
    return reinterpret_cast<uint8_t*>(this);
}

const uint8_t* Report::bytes() const
{
    return reinterpret_cast<const uint8_t*>(this);
}

QString Report::toString() const
{
    const uint8_t* b = bytes();
    QString text = QStringLiteral("id=%1 addr=%2 length=%3 data: %4 %5 %6 %7");
    for (int i = 0; i < 7; ++i)
        text = text.arg(uint(b[i]), 0, 16);
    return text;
}
