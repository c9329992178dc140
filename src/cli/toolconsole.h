// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <string>

// What sonvalectl and sonvale-preset share on the console: their exit
// statuses, and the one line on standard error that ends a refused command
// line or a failure, beginning with the tool's name.
class ToolConsole {
public:
    enum ExitStatus {
        Done = 0,
        Failed = 1,     // the device or a file failed
        BadUsage = 2,   // bad command line; nothing sent, nothing written
        Different = 1,  // diff: the two sides differ
        DiffFailed = 3, // diff: the device or a file failed
        // measure, tune-thd: a capture with a problem, or nothing improved
        NotImproved = 1,
        AudioFailed = 3, // measure, tune-thd: the DAC, the audio or the file failed
    };

    // `usageHint` follows a refusal's message: where the usage is shown.
    ToolConsole(const char* program, const char* usageHint);

    const char* program() const;

    // A bad command line: the message, the hint, BadUsage.
    int refuse(const std::string& message) const;
    // A field of the settings block named wrongly on the command line
    // (FieldAssignment's refusal); a field of no such name points at
    // --help, which lists them.
    int refuseField(const Error& error) const;
    // A failure: its cause, Failed.
    int fail(const std::string& cause) const;

private:
    const char* name;
    const char* hint;
};
