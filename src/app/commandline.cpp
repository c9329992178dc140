// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/commandline.h"

#include "base/diagnostics.h"
#include "device/ct7601.h"

#include <cstdio>

void applyCommandLine(int argc, char* argv[], CT7601& link)
{
    if (argc != 3)
        return;
    unsigned int vendorId = link.vendorId;
    unsigned int productId = link.productId;
    sscanf(argv[1], "%x", &vendorId);
    sscanf(argv[2], "%x", &productId);
    // No line end: the next diagnostic continues the line.
    Diagnostics::print("vid=0x%x pid=0x%x", vendorId, productId);
    link.vendorId = vendorId;
    link.productId = productId;
}
