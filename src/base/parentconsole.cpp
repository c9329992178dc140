// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "base/parentconsole.h"

#include <cstdio>
#include <windows.h>

namespace {

// The stream already leads somewhere: a console, a file or a pipe.
bool isOpen(DWORD stream)
{
    HANDLE handle = GetStdHandle(stream);
    return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

} // namespace

void ParentConsole::attach()
{
    const bool outputOpen = isOpen(STD_OUTPUT_HANDLE);
    const bool errorOpen = isOpen(STD_ERROR_HANDLE);
    if ((outputOpen && errorOpen) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    // std::cout writes through stdout, so it follows.
    if (!outputOpen)
        std::freopen("CONOUT$", "w", stdout);
    if (!errorOpen)
        std::freopen("CONOUT$", "w", stderr);
}
