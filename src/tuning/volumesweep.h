// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"
#include "measure/analysis.h"
#include "tuning/measurementsetup.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class MeasurementRig;

// The DAC's distortion at each of a range of its volumes. Its own H2 and H3
// move with the amplitude it plays at, and the THD pair that acts may
// change with the volume: at each volume both outputs are set to it and one
// capture is made. The volume held before is put back however the run
// ends, and read back. The block was kept in the history by the caller.
class VolumeSweep {
public:
    struct Point {
        double volumeDb = 0; // as the DAC holds it
        MeasurementSetup setup;
        CaptureAnalysis analysis;
    };
    struct Result {
        std::vector<Point> points;
        std::string failure;      // the DAC or the audio failed
        bool interrupted = false; // the stop flag
        std::string restoreError; // "" when the volume held before is back
    };

    // The columns of a sweep written as CSV, a row per volume and channel.
    static constexpr const char* csvHeader =
        "volume_db,channel,level_dbfs,path_gain_db,h2_dbc,h3_dbc,thd_db,thdn_db";

    VolumeSweep(DacSession& session, MeasurementRig& rig);

    // `stop`: a flag another thread or a signal handler sets (the rig
    // should abandon a capture on the same flag); `measured`: each point as
    // it is made, for someone watching.
    Result run(const DacSession::Block& held, const std::vector<double>& volumesDb,
               const std::atomic<bool>* stop,
               const std::function<void(const Point&)>& measured = {});

    // The first of `volumesDb` that `block` cannot hold, if any.
    static std::optional<double> unheld(const std::vector<double>& volumesDb,
                                        const DacSession::Block& block);

private:
    DacSession& session;
    MeasurementRig& rig;
};
