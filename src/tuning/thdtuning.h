// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "control/dacsession.h"
#include "measure/interfaceseparation.h"
#include "tuning/thdsolver.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class MeasurementRig;

// tune-thd's loop on one open DAC: the THD solver's measure step writes the
// pairs that change (each in the window the block layout gives a THD range,
// as the window and set write them), then plays, records and analyses.
//
// The first capture of a run fixes the path gain of each channel; a later
// capture whose level lies more than 0.5 dB from what that gain and the
// volume predict ends the run (a knob or cable moved), as a capture with a
// problem does.
//
// Whatever ends the loop early (the DAC or the audio failing, a capture with
// a problem or too long for the memory, the stop flag) and a result no
// better than the start put the values held before back, and the volume
// when the run moved it; what is kept is read back and checked. The block
// was kept in the history by the caller before this runs.
class ThdTuning {
public:
    // What a caller that watches the loop adds: a flag another thread or a
    // signal handler sets to stop it (the rig should abandon a capture on the
    // same flag) and what stopped it, in words; the solver's steps; and each
    // capture as recorded, for its spectrum.
    struct Watch {
        const std::atomic<bool>* stop = nullptr;
        std::function<std::string()> stopCause; // "cancelled" when not given
        ThdSolver::Progress progress;
        std::function<void(const CaptureAnalysis&, const std::vector<std::vector<double>>&)> captured;
        // When set, the run first tells the interface's share from the
        // DAC's: a capture, then this (the person changes the interface's
        // input gain; false stops the run), then another; the tuning goes
        // on at the new gain and nulls the DAC's share alone.
        std::function<bool()> changeGain;
        // The audio interface's own distortion (the larger of its H2 and
        // H3, dBc) at the level the run's first capture arrived at, when a
        // profile of it tells; given to the solver, which then reports a
        // DAC at that floor as such.
        std::function<std::optional<double>(const CaptureAnalysis& first)> interfaceFloor;
    };

    ThdTuning(DacSession& session, MeasurementRig& rig);
    ThdTuning(DacSession& session, MeasurementRig& rig, Watch watch);

    struct Outcome {
        ThdSolver::Result result;    // captures, the map, before and after
        bool ran = false;            // the solver finished (not stopped by a failure)
        bool interrupted = false;    // the stop flag
        std::string failure;         // what stopped it: the DAC, the audio; "" if nothing did
        bool deviceFailed = false;   // the failure was the DAC's
        ThdValues kept;              // what the DAC holds at the end, as read back
        bool wrote = false;          // anything was written to the DAC
        bool restored = false;       // the values held before are back (written back if `wrote`), checked
        std::string restoreError;    // why they could not be ("" when they were, or did not need to be)
        // The volume the run set (both outputs, dB), and whether the one
        // held before is back.
        std::optional<double> volumeDb;
        bool volumeRestored = false;
        double audioSeconds = 0; // the length of every capture together
        // The shares told before the tuning (Watch::changeGain); when they
        // could not be told, `unsplit` says why and nothing was tuned.
        std::optional<InterfaceSeparation> separation;

        // The solver improved on the start and the DAC kept what it found.
        bool improved() const
        {
            return ran && result.outcome == ThdSolver::Outcome::Improved && failure.empty();
        }
    };

    // `held`: the block the DAC holds at the start. `volumeDb`: the volume
    // to tune at, on both outputs (a value the block can hold, see
    // volumeByte), put back afterwards.
    Outcome run(const DacSession::Block& held, std::optional<double> volumeDb = std::nullopt);

    // Which pair drives which output at each of `volumesDb`: the start
    // capture and the probes of the solver at each volume, the values put
    // back between volumes, then the volume and the values as they were.
    struct Map {
        struct AtVolume {
            double volumeDb = 0;
            std::array<std::vector<int>, ThdValues::pairCount> drives; // per pair, the outputs
            std::vector<std::string> notes;
            // The pair that moves `output` here; -1 when none does.
            int driverOf(int output) const;
        };
        std::vector<AtVolume> volumes;
        std::size_t outputs = 0;
        Outcome outcome; // failure, restore, captures; result holds the last volume's
    };
    Map map(const DacSession::Block& held, const std::vector<double>& volumesDb);

    static ThdValues valuesOf(const DacSession::Block& block);
    // The block with its THD pairs set to `values`, every other byte kept.
    static DacSession::Block withValues(const DacSession::Block& block, const ThdValues& values);
    // "thd_range0"
    static std::string pairName(int pair);
    // The attenuation byte that gives `volumeDb` on a block with these
    // max and min bytes (the window's arithmetic), the nearest it holds;
    // none when the block holds nothing within a quarter of a decibel of it.
    static std::optional<uint8_t> volumeByte(double volumeDb, uint8_t max, uint8_t min);
    // The quietest volume such a block holds, dB.
    static double lowestVolumeDb(uint8_t max, uint8_t min);

private:
    // What ended the loop early, kept until the run reports it.
    struct Stop {
        std::string cause;
        bool device = false;      // the DAC failed
        bool interrupted = false; // the stop flag
    };
    // Keeps the first stop of a run; nothing, for the solver's measure step.
    std::nullopt_t halt(Stop stop);
    bool stopAsked() const;
    Stop interruption() const; // the stop flag's, in the watch's words
    // What ended the run early, as the outcome tells it.
    void reportStop(Outcome& outcome) const;
    // Sets both outputs to `volumeDb`: the byte, or nothing when the run ends.
    std::optional<uint8_t> moveVolume(double volumeDb);
    // Writes the pairs of `values` that differ from what the DAC holds
    // (`always`: every pair written in this run, too).
    Error write(const ThdValues& values, bool always);
    // Reads the THD ranges back into `kept`; no error when they hold `values`.
    Error check(const ThdValues& values, ThdValues& kept);
    Error setVolume(uint8_t left, uint8_t right);
    ThdSolver::Measure measurer();
    // Plays, records and analyses once at the values the DAC holds, the
    // stop flag watched; nothing when the run ends (the audio failed, or the
    // flag was set).
    std::optional<CaptureAnalysis> capture(double lengthFactor,
                                           std::vector<std::vector<double>>& samples);
    // Each returns whether the run goes on.
    bool separateInterface(Outcome& outcome);
    bool checkLevel(CaptureAnalysis& analysis);
    void finish(Outcome& outcome, const ThdValues& start, bool keepFound);
    void restoreVolume(Outcome& outcome);

    DacSession& session;
    MeasurementRig& rig;
    Watch watch;
    DacSession::Block device{};      // what the DAC holds, as far as this run has written it
    DacSession::Block heldAtStart{};
    bool touched[ThdValues::pairCount] = {}; // pairs written in this run
    bool volumeMoved = false;
    std::vector<double> pathGains; // fixed by the run's first capture
    ThdSolver* solver = nullptr;   // the one running, told the interface's floor
    double audioSeconds = 0;
    // Told before the tuning: the interface's share is taken out of every
    // capture the solver sees.
    std::optional<InterfaceSeparation> separation;
    std::optional<Stop> stopped; // what ended this run early
};
