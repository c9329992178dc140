// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/volumesweep.h"

#include "settings/blocklayout.h"
#include "settings/es9038state.h"
#include "tuning/measurementrig.h"
#include "tuning/thdtuning.h"

VolumeSweep::VolumeSweep(DacSession& session, MeasurementRig& rig) : session(session), rig(rig)
{
}

VolumeSweep::Result VolumeSweep::run(const DacSession::Block& held,
                                     const std::vector<double>& volumesDb,
                                     const std::atomic<bool>* stop,
                                     const std::function<void(const Point&)>& measured)
{
    const uint8_t max = held[BlockLayout::volumeLeft + 2], min = held[BlockLayout::volumeLeft + 3];
    auto stopped = [stop] { return stop && stop->load(); };
    Result run;
    bool moved = false;
    for (double volume : volumesDb) {
        if (stopped()) {
            run.interrupted = true;
            break;
        }
        const uint8_t byte = ThdTuning::volumeByte(volume, max, min).value_or(0);
        moved = true;
        if (const Error error = session.setVolume(byte, byte)) {
            run.failure = error.cause;
            break;
        }
        const double at = ES9038State::volumeDbOf(byte, max, min);
        rig.setDacVolumeDb({at, at});
        Point point;
        if (const Error error = rig.measure(point.analysis)) {
            run.interrupted = stopped();
            run.failure = run.interrupted ? std::string() : error.cause;
            break;
        }
        MeasurementRig::markWeakSignal(point.analysis);
        point.volumeDb = at;
        point.setup = rig.setup(point.analysis.channels.size());
        run.points.push_back(point);
        if (measured)
            measured(run.points.back());
    }
    if (moved) {
        run.restoreError =
            session.setVolumeVerified(held[BlockLayout::volumeLeft], held[BlockLayout::volumeRight])
                .cause;
    }
    return run;
}

std::optional<double> VolumeSweep::unheld(const std::vector<double>& volumesDb,
                                          const DacSession::Block& block)
{
    const uint8_t max = block[BlockLayout::volumeLeft + 2],
                  min = block[BlockLayout::volumeLeft + 3];
    for (double volume : volumesDb) {
        if (!ThdTuning::volumeByte(volume, max, min))
            return volume;
    }
    return std::nullopt;
}
