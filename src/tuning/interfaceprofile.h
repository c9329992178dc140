// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "measure/analysis.h"
#include "tuning/measurementsetup.h"

#include <optional>
#include <string>
#include <vector>

// The audio interface's own distortion, measured with its outputs wired to
// its inputs, and kept so that a measurement of the DAC can show it beside
// the DAC's figures: a loopback through the DAC adds the interface's H2 and
// H3 to the DAC's, and a DAC figure not well above them tells the
// interface, not the DAC.
//
// One JSON file holds every profile, one for each input device (by name),
// rate and level played; a new measurement at the same key replaces the
// old one. The file is replaced whole or not at all (AtomicFile).
class InterfaceProfile {
public:
    static constexpr int version = 1;
    // A profile applies to a capture whose loudest fundamental lies within
    // this of the loudest one the profile recorded: the interface's
    // distortion moves with the level its input sees.
    static constexpr double levelToleranceDb = 3;
    // A DAC's harmonic less than this above the interface's own is not
    // told apart from it.
    static constexpr double marginDb = 10;

    struct Channel {
        int input = 0;        // 1-based, as interfaces label them
        double levelDbfs = 0; // the fundamental that arrived
        double thdDb = 0;
        double thdnDb = 0;
        double noiseDbc = 0;     // per harmonic, against the fundamental
        std::vector<double> dbc; // H2..H5
        std::vector<double> phaseDeg;
    };
    struct Entry {
        std::string input; // the input device's name
        int rateHz = 0;
        double levelDbfs = 0; // played
        std::string measured; // when, ISO 8601 UTC
        std::vector<Channel> channels;

        // The loudest fundamental that arrived, dBFS.
        double arrivedDbfs() const;
        // The channel recorded on `input` (1-based); null when none was.
        const Channel* channel(int input) const;
    };

    explicit InterfaceProfile(std::string path);

    // Where the profiles are kept: sonvale/interface-profiles.json in the
    // user's configuration folder, the same for every Sonvale program;
    // empty when there is none.
    static std::string defaultPath();
    const std::string& path() const;

    // Reads the file. One that does not exist holds no profile, and is no
    // error; one that is not a profile file of this version is refused
    // with the reason (Error::Kind::File) and leaves no profile.
    Error read();
    // Writes every profile held, replacing the file whole.
    Error write() const;

    // A capture of `analysis`, recorded on `inputs` (0-based, a channel
    // each) of `input` at `rateHz`, the tone played at `levelDbfs`.
    static Entry entryOf(const CaptureAnalysis& analysis, const std::string& input, int rateHz,
                         double levelDbfs, const std::vector<int>& inputs);
    // Keeps `entry`, in place of the one of the same input, rate and level.
    void keep(const Entry& entry);
    const std::vector<Entry>& entries() const;
    // The profile that applies to a capture on `input` at `rateHz` whose
    // loudest fundamental arrived at `arrivedDbfs`: of those within
    // levelToleranceDb, the nearest; null when none is.
    const Entry* find(const std::string& input, int rateHz, double arrivedDbfs) const;

    // Per channel of `analysis`, recorded on `inputs` (0-based): the
    // interface's H2 and H3 as `entry` holds them for that input, NaN
    // where it holds none.
    static std::vector<MeasurementSetup::InterfaceFloor> floorsFor(const Entry& entry,
                                                                   const std::vector<int>& inputs,
                                                                   std::size_t channels);
    // A sentence for each of the DAC's H2 and H3 that lies less than
    // marginDb above the interface's own.
    static std::vector<std::string> warnings(
        const CaptureAnalysis& analysis,
        const std::vector<MeasurementSetup::InterfaceFloor>& floors);

    // What a profile of the interface tells of a capture of `analysis` on
    // the input device named `input` (`inputs` 0-based): the interface's
    // floor per channel, the warnings, and the larger of its H2 and H3,
    // which the tuner cannot reach below. Empty when no profile applies.
    struct Applied {
        std::vector<MeasurementSetup::InterfaceFloor> floors;
        std::vector<std::string> warnings;
        std::optional<double> worstDbc;
    };
    Applied applyTo(const CaptureAnalysis& analysis, const std::string& input,
                    const std::vector<int>& inputs) const;

private:
    std::string path_;
    std::vector<Entry> entries_;
};
