// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl: the DAC from a terminal.

#include "base/arguments.h"
#include "ctl/controltool.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // The configuration folder is the window's too: "sonvale" in the
    // user's (~/.config/sonvale on Linux).
    QCoreApplication::setApplicationName(QStringLiteral("sonvale"));
    return ControlTool().run(utf8Arguments(argc, argv));
}
