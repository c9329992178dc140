// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ctl/dacsession.h"
#include "measure/thdsolver.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

class MeasurementRig;

// tune-thd's loop on one open DAC: the THD solver's measure step writes the
// pairs that change (each in the window the block layout gives a THD range,
// as the window and set write them), then plays, records and analyses.
//
// Whatever ends the loop early (the DAC or the audio failing, a capture with
// a problem, Ctrl-C between two steps) and a result no better than the start
// put the values held before back; the values kept are read back and
// checked. The block was kept in the history by the caller before this runs.
class ThdTuning {
public:
    // What a caller that watches the loop from elsewhere (a window) adds:
    // a flag another thread sets to stop it, in place of Ctrl-C (the rig
    // should abandon a capture on the same flag); the solver's steps; and
    // each capture as recorded, for its spectrum.
    struct Watch {
        const std::atomic<bool>* stop = nullptr;
        ThdSolver::Progress progress;
        std::function<void(const CaptureAnalysis&, const std::vector<std::vector<double>>&)> captured;
    };

    ThdTuning(DacSession& session, const MeasurementRig& rig);
    ThdTuning(DacSession& session, const MeasurementRig& rig, Watch watch);

    struct Outcome {
        ThdSolver::Result result;    // captures, the map, before and after
        bool ran = false;            // the solver finished (not stopped by a failure)
        bool interrupted = false;    // Ctrl-C, or the stop flag
        std::string failure;         // what stopped it: the DAC, the audio; "" if nothing did
        bool deviceFailed = false;   // the failure was the DAC's
        ThdValues kept;              // what the DAC holds at the end, as read back
        bool wrote = false;          // anything was written to the DAC
        bool restored = false;       // the values held before are back (written back if `wrote`), checked
        std::string restoreError;    // why they could not be ("" when they were, or did not need to be)
    };

    // `held`: the block the DAC holds at the start.
    Outcome run(const DacSession::Block& held);

    static ThdValues valuesOf(const DacSession::Block& block);
    // "thd_range0"
    static std::string pairName(int pair);

private:
    // Writes the pairs of `values` that differ from what the DAC holds
    // (`always`: every pair written in this run, too). "" when done.
    std::string write(const ThdValues& values, bool always);
    // Reads the THD ranges back into `kept`; "" when they hold `values`.
    std::string check(const ThdValues& values, ThdValues& kept);

    DacSession& session;
    const MeasurementRig& rig;
    Watch watch;
    DacSession::Block device{};      // what the DAC holds, as far as this run has written it
    bool touched[3] = {};            // pairs written in this run
};
