// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/commandline.h"

#include "base/diagnostics.h"
#include "device/ct7601.h"

#include <QString>

#include <cstdio>

namespace {

// One identifier: hexadecimal digits, "0x" before them or not, up to 32
// bits (the link holds what is given; no device answers to more than 16).
// Anything else, "12zz" too, leaves `id` as it was and says so on standard
// error, apart from the echo on the diagnostics channel.
void readIdentifier(const char* text, const char* what, uint32_t& id)
{
    bool ok = false;
    const uint value = QString::fromLocal8Bit(text).toUInt(&ok, 16);
    if (ok) {
        id = value;
        return;
    }
    std::fprintf(stderr, "sonvale: '%s' is not a hexadecimal %s identifier; it stays 0x%x\n", text,
                 what, unsigned(id));
}

} // namespace

void applyCommandLine(int argc, char* argv[], CT7601& link)
{
    if (argc != 3)
        return;
    readIdentifier(argv[1], "vendor", link.vendorId);
    readIdentifier(argv[2], "product", link.productId);
    // No line end: the next diagnostic continues the line.
    Diagnostics::print("vid=0x%x pid=0x%x", unsigned(link.vendorId), unsigned(link.productId));
}
