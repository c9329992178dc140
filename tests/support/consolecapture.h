// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

// Captures what the code under test writes to standard output, through
// printf as well as std::cout, byte for byte and in order. While a capture
// runs, fd 1 points at a temporary file; Qt Test's own output must not
// happen in between, so compare only after stop(); a check that fails inside
// a capture is shown when the capture ends.
class ConsoleCapture {
public:
    ConsoleCapture();               // starts capturing
    ~ConsoleCapture();              // stops; replays the text if the test has failed
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Restores standard output and returns everything written since the
    // start. Later calls return the same text.
    QString stop();

private:
    int savedFd;
    int fileFd;
    bool running;
    QString text;
};
