// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdreport.h"
#include "thd/thdrun.h"
#include "tuning/measurementoptions.h"

#include <QString>

#include <atomic>
#include <functional>

class MeasurementRig;

// A measurement as the assistant makes it on a rig that is ready: one
// capture, or, to tell the interface's share of each harmonic from the
// DAC's, two with the interface's input gain turned down between them.
class ThdMeasurement {
public:
    // Asked between the two captures of a separation: true once the gain
    // is changed, false to stop.
    using ChangeGain = std::function<bool()>;

    ThdMeasurement(MeasurementRig& rig, const MeasurementOptions& options,
                   const std::atomic<bool>& stop, ThdRun::Announce announce);

    // The report, with no DAC values in it; `audioError` says why there is
    // none when a capture could not be recorded. With `changeGain`, a first
    // capture that shows a problem is reported alone, as sonvalectl does.
    ThdReport run(const ChangeGain& changeGain, QString& audioError);

private:
    bool capture(CaptureAnalysis& analysis, std::vector<std::vector<double>>& samples,
                 QString& audioError);
    void separate(ThdReport& report, const CaptureAnalysis& first, const ChangeGain& changeGain,
                  QString& audioError);

    MeasurementRig& rig;
    const MeasurementOptions& options;
    const std::atomic<bool>& stop;
    ThdRun::Announce announce;
};
