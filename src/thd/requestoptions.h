// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "tuning/measurementoptions.h"
#include "base/error.h"
#include "control/dacsession.h"
#include "thd/thdengine.h"

#include <QString>

#include <string>
#include <vector>

// What the window asks of the engine, as sonvalectl's commands take it: a
// request as the options of measure, tune-thd and thd-map, and what the rig
// and the DAC's block refuse of it, in the window's words.
class RequestOptions {
public:
    static MeasurementOptions of(const ThdEngine::Request& request);
    // A volume the DAC's block cannot hold, refused before anything is kept
    // or written; "" when each of `volumesDb` is one it holds.
    static QString volumeRefusal(const std::vector<double>& volumesDb,
                                 const DacSession::Block& block);
    // An audio failure in the window's words: the control it concerns (the
    // output or input list), then the cause.
    static QString audioCause(const Error& error);
};
