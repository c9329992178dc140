// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"
#include "thd/thdrun.h"
#include "thd/thdsweep.h"

#include <vector>

// A sweep of the DAC's volume as the assistant runs it on the DAC the
// engine holds open: what sonvalectl sweep runs (VolumeSweep), each capture
// announced before it is made, and the figures at each volume as the window
// plots them.
class ThdSweepRun {
public:
    explicit ThdSweepRun(ThdRun::Context context);

    // Steps through `volumesDb` from `held`, the block the DAC holds, which
    // the history has kept; the volume held goes back afterwards, read back.
    ThdSweep run(const DacSession::Block& held, const std::vector<double>& volumesDb);

private:
    ThdRun::Context context;
};
