// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define SONVALE_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define SONVALE_PRINTF_LIKE
#endif

// Where the program's diagnostics go: the link's exchanges and errors, the
// device's identity, the start-up echo and the window's console lines. One
// channel for all of them, so that they keep the order they were written in.
// Standard output unless a program points it elsewhere; every text is
// written out at once, so that a log file or a pipe holds each line as soon
// as it is complete, also when the program is killed.
class Diagnostics {
public:
    // printf-style; a line ends only where the text has a line break.
    static void print(const char* format, ...) SONVALE_PRINTF_LIKE;

    // From now on the texts go to `stream`, or nowhere when it is null.
    // Returns where they went until now.
    static std::FILE* redirect(std::FILE* stream);
};
