// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"
#include "thd/thdstep.h"
#include "thd/thdsweep.h"
#include "tuning/measurementoptions.h"

#include <QString>

#include <atomic>
#include <functional>
#include <vector>

class MeasurementRig;

// A sweep of the DAC's volume as the assistant runs it on the DAC the
// engine holds open: what sonvalectl sweep runs (VolumeSweep), each capture
// announced before it is made, and the figures at each volume as the window
// plots them.
class ThdSweepRun {
public:
    // Told before each capture: what it is for, its number from 1 and the
    // captures planned.
    using Announce = std::function<void(const ThdStep& step)>;

    ThdSweepRun(DacSession& session, MeasurementRig& rig, const MeasurementOptions& options,
                const std::atomic<bool>& stop, Announce announce);

    // Steps through `volumesDb` from `held`, the block the DAC holds, which
    // the history has kept; the volume held goes back afterwards, read back.
    ThdSweep run(const DacSession::Block& held, const std::vector<double>& volumesDb);

private:
    DacSession& session;
    MeasurementRig& rig;
    const MeasurementOptions& options;
    const std::atomic<bool>& stop;
    Announce announce;
};
