// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "control/dacsession.h"
#include "thd/thdreport.h"
#include "thd/thdstep.h"
#include "tuning/measurementoptions.h"
#include "tuning/thdtuning.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

class MeasurementRig;

// A tuning or a map as the assistant runs it on the DAC the engine holds
// open: what sonvalectl tune-thd and thd-map run (ThdTuning), each capture
// announced before it is made and kept with its spectrum as it arrives, and
// what the run found, as the window shows it.
class ThdRun {
public:
    // Told before each capture: what it is for, its number from 1 and the
    // captures planned so far.
    using Announce = std::function<void(const ThdStep& step)>;

    // What a run works on, and where it tells of each capture: the same
    // for a tuning, a map and a sweep (ThdSweepRun).
    struct Context {
        DacSession& session;
        MeasurementRig& rig;
        const MeasurementOptions& options;
        const std::atomic<bool>& stop;
        Announce announce;
    };

    explicit ThdRun(Context context);

    // Tunes from `held`, the block the DAC holds, which the history has
    // kept, at `volumeDb` (both outputs; none: the volume held), which is
    // put back afterwards. The report's block is what the DAC holds
    // afterwards, when that is known. With `changeGain`, the interface's
    // share is told first (ThdTuning::Watch::changeGain) and the DAC's
    // alone is nulled.
    ThdReport tune(const DacSession::Block& held, std::optional<double> volumeDb,
                   std::function<bool()> changeGain = {});

    // Which pair moves which output at each of `volumesDb`, from `held`,
    // which the history has kept; the volume and the values held go back
    // afterwards.
    ThdReport map(const DacSession::Block& held, const std::vector<double>& volumesDb);

    // The devices, the tone and the levels each channel should see.
    static void describeSetup(ThdReport& report, const MeasurementRig& rig,
                              const MeasurementOptions& options, std::size_t channels);

private:
    ThdTuning::Watch watch();
    // A map's steps, told across its volumes.
    ThdSolver::Progress mapProgress(const std::vector<double>& volumesDb);
    // The captures, the findings and the map of `outcome` into `report`.
    void showCaptures(ThdReport& report, const ThdTuning::Outcome& outcome) const;
    // The problems of the run's captures, in words.
    QStringList findings() const;
    // Whether the run ended, was cancelled, and what went back.
    static void showEnd(ThdReport& report, const ThdTuning::Outcome& outcome, bool improved,
                        const QString& cancelled);
    // What became of the values: kept, put back, or not known.
    static void showValues(ThdReport& report, const ThdTuning::Outcome& outcome,
                           const DacSession::Block& held);

    DacSession& session;
    MeasurementRig& rig;
    const MeasurementOptions& options;
    const std::atomic<bool>& stop;
    Announce announce;
    std::vector<ThdCapture> captures;
};
