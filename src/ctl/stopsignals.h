// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <atomic>
#include <string>

// What ends a command from outside while it has the DAC changed (a tuning
// with probe values written, the volume moved): Ctrl-C, SIGTERM, a terminal
// that closes (SIGHUP); on Windows the console's Ctrl-C and Ctrl-Break, the
// console window closing, logoff and shutdown. While an object of this class
// lives, none of them ends the process: each sets a flag that the command
// watches (a capture under way is abandoned on it), so that the command puts
// back what it changed and says so before it ends.
//
// A write to a closed pipe or terminal must not end the process in the middle
// of putting the values back either: SIGPIPE is ignored meanwhile.
//
// On Windows the system ends the process once the handler of a closing
// console, a logoff or a shutdown returns, and kills it about five seconds
// after the event in any case: the handler waits for finished(), up to
// 4.5 s, so that the values go back first.
//
// One object at a time.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Set from a signal handler or the console's handler thread.
    const std::atomic<bool>& flag() const;
    bool stopped() const;
    // What stopped the command, for its last line: "interrupted (Ctrl-C)".
    std::string cause() const;
    // The command has put back what it changed and said so.
    void finished();

    // Waits for the person to press Enter (a line on standard input, or
    // its end); false when a stop came first. A read that a signal
    // interrupts is restarted, so the wait watches the flag beside it.
    bool waitForEnter() const;
};
