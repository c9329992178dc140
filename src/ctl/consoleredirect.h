// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <functional>
#include <string>

// The device code prints its diagnostics on standard output: the link's
// "Response: ..." lines, its errors and the device's identity. While a
// ConsoleRedirect lives they go to standard error (verbose) or nowhere, so
// that standard output carries only the tool's own result, printed once the
// redirect has ended. The redirect works on the file descriptor, so printf
// and std::cout alike follow it.
class ConsoleRedirect {
public:
    explicit ConsoleRedirect(bool verbose);
    ~ConsoleRedirect();
    ConsoleRedirect(const ConsoleRedirect&) = delete;
    ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

    // Runs `work` and returns what it printed on standard output; the text
    // then goes on where the rest goes.
    std::string capture(const std::function<void()>& work);

    // Writes out what the device code has printed so far, so that a line the
    // tool writes on standard error comes after it.
    static void flush();

private:
    bool verbose;
    int savedOutput;    // the real standard output
    int target;         // standard error, or the null device
};
