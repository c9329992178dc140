// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "measure/interfaceseparation.h"
#include "settings/blocklayout.h"
#include "thd/thdcapture.h"
#include "tuning/thdsolver.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// What one measurement, tuning or map found, for the window to show. Plain
// data, copied across threads in a queued signal.
struct ThdReport {
    enum class Kind { Measurement, Tuning, Map };
    Kind kind = Kind::Measurement;

    // The tuning's end as the solver saw it; a measurement is Improved when
    // its capture had no problem, a map once every volume is mapped, and
    // either Failed otherwise.
    ThdSolver::Outcome outcome = ThdSolver::Outcome::Failed;

    // A measurement: `before` alone. A tuning: `before` at the values it
    // started from, `after` at the values it kept (empty when it did not
    // get that far).
    ThdCapture before;
    ThdCapture after;

    // The compensation values: `start` those the DAC held before, `values`
    // those it holds now. A measurement reads only the volumes, so it knows
    // them only once a tuning or connectDac() read the whole block.
    bool valuesKnown = false;
    ThdValues start;
    ThdValues values;
    // Which outputs (0 left, 1 right) each pair, thd_range0..2, drives as
    // the tuning found it; empty for a pair that drives none.
    std::array<std::vector<int>, 3> drives;
    // Per output, the part of H2 and H3 that no value can cancel, dBc.
    std::vector<ThdSolver::Floor> floors;
    // A map: at each volume it probed, the pair (0..2) that moves each
    // output, -1 where none does.
    struct PairsAt {
        double volumeDb = 0;
        std::vector<int> pairs;
    };
    std::vector<PairsAt> map;

    // The interface's share told from the DAC's (a request to separate
    // them): two captures at two input gains. `unsplit` says why the
    // shares could not be told; a tuning then tuned nothing. The shares of
    // the interface are at the first capture's gain; a tuning ran at the
    // second's (interfaceAtSecondDbc: what it left).
    std::optional<InterfaceSeparation> separation;

    // The solver's notes and, when it did not improve, why not, in words.
    QStringList notes;
    QString reason;
    // The problems the captures showed (clipping, a dropout, a wrong level,
    // no signal), each as a sentence saying what it means and what to do
    // (ProblemText), each problem of each channel once.
    QStringList findings;

    // What stopped the work early ("" when nothing did): the audio, the DAC,
    // a cancel, a history that could not be kept.
    QString failure;
    bool cancelled = false;
    bool wrote = false;       // anything was written to the DAC
    bool restored = false;    // the values held before are back, read back and checked
    QString restoreError;     // why they could not be put back
    // The volume a tuning ran at, both outputs, dB (none: the volume the
    // DAC held), and whether the volume held before is back, read back.
    std::optional<double> tunedAtDb;
    bool volumeRestored = true;

    // The whole block the DAC holds now (device order, as a preset keeps
    // it), for "Save as preset…"; only when `blockKnown`.
    bool blockKnown = false;
    std::array<uint8_t, BlockLayout::size> block{};

    // The level each input channel should see, dBFS: the level played,
    // after the DAC's volume when the tone goes through the DAC.
    std::vector<double> expectedLevelDbfs;
    // The DAC's volume per output in dB, when the tone went through it.
    std::vector<double> dacVolumeDb;
    QString outputDevice;     // '0 "SV9038 USB DAC: USB Audio"'
    QString inputDevice;
    double levelDbfs = 0;     // as played (capped at 0 dBFS)
    double frequencyHz = 0;
    int captures = 0;
};

Q_DECLARE_METATYPE(ThdReport)
