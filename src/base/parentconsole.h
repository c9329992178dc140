// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// On Windows the program is a GUI-subsystem program: Windows gives it no
// console, so started from cmd or PowerShell its diagnostics would go
// nowhere. attach() sends standard output and standard error to the console
// of the program that started it, where there is one and the stream has not
// been sent elsewhere already (a file or a pipe stays as it is). Started
// from the Start menu or Explorer there is no such console: nothing changes,
// and no console window appears.
class ParentConsole {
public:
    static void attach();
};
