// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <utility>

// A failure as a layer reports it: what kind it is, what it concerns and the
// cause, as data. Each front end words it its own way: sonvalectl names its
// options and exit statuses, the windows their controls. No error is the
// default, and tests false.
struct Error {
    enum class Kind {
        None,
        Refused,  // what was asked for cannot be done here: nothing was touched
        Device,   // the DAC failed
        Audio,    // the audio system or a device failed
        File,     // a file could not be read or written
        NotFound, // nothing of the name or number given is there: the front end
                  // may say where the names are listed
    };
    // What a failure concerns, for the front end to name the control or
    // option: the output or input device, the inputs recorded, or the DAC's
    // own output (not found: the person must name one).
    enum class Subject { None, Output, Input, InputChannels, DacOutput };

    Kind kind = Kind::None;
    Subject subject = Subject::None;
    std::string cause;

    Error() = default;
    Error(Kind kind, std::string cause, Subject subject = Subject::None)
        : kind(kind), subject(subject), cause(std::move(cause))
    {
    }

    explicit operator bool() const { return kind != Kind::None; }
};
