// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps a wine session ready for a test run: a window (message-only, so no
// display is needed) makes wine start its desktop process, and the program
// then waits until the session is ended. With --once it returns at once,
// after the window exists.
#include <windows.h>

#include <cstring>

int main(int argc, char* argv[])
{
    HWND window = CreateWindowExW(0, L"STATIC", L"sonvale-winekeeper", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    if (!window)
        return 1;
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0)
        return 0;
    for (;;)
        Sleep(INFINITE);
}
