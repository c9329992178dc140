// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Finds the chip's 2nd- and 3rd-harmonic compensation values that null the
// distortion measured at the DAC's outputs.
//
// Each value adds a pre-distortion k·c·x² (2nd) or k·c·x³ (3rd) with an unknown
// scale k, so each phase-referenced harmonic h is a straight line in its own
// value c: h(c) = h(c0) + g·(c − c0), g complex and unknown. Which of the
// three pairs (thd_range0..2) drives which output is unknown too. The solver
// measures at the start, steps each pair's 2nd and 3rd value together (they
// act on different harmonics) and measures again, each value's step growing
// on its own until its harmonic moves beyond the noise or the step reaches
// the register's range; it gives each output the pair that moves it most,
// and sets each value where the projection of h on g crosses zero:
//     c* = c0 − Re(conj(g)·h0) / |g|²
// Each refinement steps the same way from the newest capture, with g fitted
// anew to every capture so far, until the values are known as well as the
// harmonic needs them. What is left in quadrature to g no value can cancel:
// that is the floor it reports.
//
// It drives a caller-supplied function that writes the values, plays, captures
// and analyses; it counts the captures and keeps none of the device.

#include "measure/analysis.h"
#include "settings/settingsblock.h"

#include <array>
#include <complex>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The three pairs as thd_range0..2 hold them: [pair][0] the 2nd-harmonic
// value, [pair][1] the 3rd.
struct ThdValues {
    static constexpr int pairCount = SettingsBlock::thdPairCount;
    // "thd_range0", as the block's field table names the pair.
    static std::string pairName(int pair) { return "thd_range" + std::to_string(pair); }
    std::array<std::array<int16_t, 2>, pairCount> pairs{};

    bool operator==(const ThdValues& other) const { return pairs == other.pairs; }
    bool operator!=(const ThdValues& other) const { return pairs != other.pairs; }
};

class ThdSolver {
public:
    // Writes the values, waits for them to settle, captures and analyses,
    // `lengthFactor` times the usual length (1 but where a value's effect is
    // small against the capture's noise; never above Settings::longestFactor).
    // Nothing when the run must end there (the DAC or the audio failed, or
    // someone stopped it; the caller keeps why): run() and map() then make
    // no other capture and return Stopped.
    using Measure =
        std::function<std::optional<CaptureAnalysis>(const ThdValues&, double lengthFactor)>;

    struct Settings {
        // The first probe step in register units. A value whose harmonic
        // moves less than changeOverNoise times its noise on every output is
        // stepped again, stepGrowth times further, up to the register's
        // range (32767); so is one that moved on one output while it moves
        // another by more than suggestOverNoise times its noise but less
        // than changeOverNoise (a pair that drives both outputs, one of
        // them heard more quietly).
        int initialStep = 1024;
        int stepGrowth = 16;
        double changeOverNoise = 10.0;
        double suggestOverNoise = 3.0;
        int maxRefinements = 2;
        // How well a value is needed. Where one unit moves its harmonic by
        // more than `negligibleDbc` and the longest capture can tell it,
        // to within `resolution` units; elsewhere only as well as keeps
        // what the uncertainty leaves of the harmonic at `negligibleDbc`,
        // far below any audio interface's noise: one unit of a 3rd value
        // at a low volume moves H3 by less than that, and the captures that
        // told it to a unit would take hours.
        double resolution = 0.5;
        double negligibleDbc = -160;
        // The longest capture, in usual lengths: a capture is at most 600 s,
        // so the caller sets it to 600 s over its usual length.
        double longestFactor = 120;
        // The audio interface's own H2/H3 when known (dBc at the level
        // measured): a DAC already below it cannot be tuned by this loop.
        std::optional<double> interfaceDistortionDbc;
    };

    enum class Outcome {
        Improved,    // the values found measure better than the start
        NotImproved, // nothing could be improved; `reason` says why; values = start
        Failed,      // a capture had a problem; `reason` names it; values = start
        Stopped,     // the measure step ended the run; values = start
    };

    // What stepping one pair did.
    struct PairEffect {
        int step = 0;               // the larger of `steps`
        std::array<int, 2> steps{}; // the last step of the 2nd and of the 3rd value
        bool movesAnything = false;
        std::vector<int> drives;       // the outputs it was given (0 left, 1 right)
        // Sensitivity per unit, [output][0] of H2, [output][1] of H3: from the
        // probe, and once solved from every capture that tells it.
        std::vector<std::array<std::complex<double>, 2>> sensitivity;
    };

    // Per output: the part of H2 and H3 in quadrature to what its values
    // move, in dBc; NaN where no pair drives the output.
    struct Floor {
        double secondDbc;
        double thirdDbc;
    };

    struct Result {
        Outcome outcome = Outcome::Failed;
        std::string reason;              // why not improved, or what failed
        std::vector<std::string> notes;  // e.g. "thd_range2 moves nothing ...; left as it was"
        ThdValues start;
        ThdValues values;                // what to keep (the device holds the last values measured)
        CaptureAnalysis before;
        CaptureAnalysis after;           // the capture at `values`
        std::array<PairEffect, 3> pairs;
        std::vector<Floor> floors;       // per output
        int captures = 0;
        double captureLengths = 0; // Σ lengthFactor: the audio captured, in usual lengths
    };

    // What the next capture is for, told just before it is made, so that
    // someone watching a tuning of a dozen seconds or more sees where it is.
    struct Step {
        enum class Purpose {
            Start,    // the values the DAC held
            Probe,    // one pair stepped, to learn what it moves
            Solved,   // the values first solved for
            Refine,   // solved again from the last capture, or measured longer
        };
        Purpose purpose = Purpose::Start;
        int pair = -1;              // Probe: the pair stepped
        int attempt = 0;            // Probe: 0 the first step, then each larger one
        int round = 0;              // Solved 0, Refine 1..maxRefinements
        std::vector<int> outputs;   // Solved, Refine: the outputs whose values it measures
        double lengthFactor = 1;
        int capture = 0;            // counted from 1
        // The captures the run plans so far, this one included: a probe
        // that needs a larger step adds one; a run that converges early
        // makes fewer.
        int planned = 0;
    };
    using Progress = std::function<void(const Step&)>;

    explicit ThdSolver(Measure measure) : ThdSolver(std::move(measure), Settings()) {}
    ThdSolver(Measure measure, Settings settings);

    void setProgress(Progress progress) { this->progress = std::move(progress); }
    // The interface's own distortion, once a capture has told at which
    // level the interface records (Settings::interfaceDistortionDbc).
    void setInterfaceDistortionDbc(std::optional<double> dbc)
    {
        settings.interfaceDistortionDbc = dbc;
    }

    Result run(const ThdValues& start);
    // The start and the probes alone: which pair drives which output
    // (`pairs[i].drives`), and the notes, with nothing solved. The device is
    // left at the last probe's values, for the caller to put back; `values`
    // is the start. Failed or Stopped as run() is; otherwise NotImproved,
    // with an empty reason when some pair drives an output and, when none
    // does, the reason run() would give.
    Result map(const ThdValues& start);
    int captures() const { return captureCount; }

    // The most audio a run can capture, in usual lengths: the start, each
    // pair's probes up to the register's range, and the values solved for
    // and each refinement at the longest capture.
    static double maxCaptureLengths(const Settings& settings);

private:
    struct Run;

    // Each stage that may end the run early returns whether it goes on;
    // when it does not, the run holds the outcome and the reason.
    bool startAndProbes(Run& run, const ThdValues& start);
    bool measureStart(Run& run);
    bool probePair(Run& run, int pair);
    void mapOutputs(Run& run) const;
    bool refine(Run& run);
    void recordFloors(Run& run) const;
    bool mapped(Run& run);
    Result verdict(Run& run);
    Result finish(Run& run, Outcome outcome, const std::string& reason) const;
    // The analysis as the run keeps it, until the next capture; null when
    // the measure step ended the run, or when the capture (`what` it was:
    // "at the start values") had a problem or lost an output.
    const CaptureAnalysis* capture(Run& run, const ThdValues& values, Step step,
                                   const std::string& what);

    Measure measure;
    Settings settings;
    Progress progress;
    int captureCount = 0;
    int planned = 0;
};
