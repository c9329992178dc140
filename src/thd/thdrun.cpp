// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdrun.h"

#include "tuning/measurementsetup.h"
#include "tuning/measurementrig.h"
#include "settings/settingsblock.h"
#include "thd/problemtext.h"
#include "thd/profilefloor.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace {

using Block = DacSession::Block;

bool sameAnalysis(const CaptureAnalysis& a, const CaptureAnalysis& b)
{
    if (a.channels.size() != b.channels.size() || a.seconds != b.seconds)
        return false;
    for (std::size_t c = 0; c < a.channels.size(); ++c) {
        if (a.channels[c].harmonics != b.channels[c].harmonics
            || !(a.channels[c].levelDbfs == b.channels[c].levelDbfs))
            return false;
    }
    return true;
}

} // namespace

ThdRun::ThdRun(Context context)
    : session(context.session), rig(context.rig), options(context.options), stop(context.stop),
      announce(std::move(context.announce))
{
}

void ThdRun::describeSetup(ThdReport& report, const MeasurementRig& rig,
                           const MeasurementOptions& options, std::size_t channels)
{
    report.outputDevice = QString::fromStdString(MeasurementRig::described(rig.output()));
    report.inputDevice = QString::fromStdString(MeasurementRig::described(rig.input()));
    report.levelDbfs = options.levelDbfs;
    report.frequencyHz = options.frequencyHz;
    report.dacVolumeDb = rig.dacVolumeDb();
    for (std::size_t c = 0; c < std::max<std::size_t>(channels, 2); ++c)
        report.expectedLevelDbfs.push_back(rig.playedLevel(c));
}

ThdTuning::Watch ThdRun::watch()
{
    ThdTuning::Watch watch;
    watch.stop = &stop;
    watch.progress = [this](const ThdSolver::Step& step) {
        announce(ThdStep::solving(ThdStep::Request::Tune, step, options.seconds, step.capture,
                                  step.planned));
    };
    watch.captured = [this](const CaptureAnalysis& analysis,
                            const std::vector<std::vector<double>>& samples) {
        captures.push_back(ThdCapture::of(analysis, samples, rig.pathGains(analysis)));
    };
    return watch;
}

ThdReport ThdRun::tune(const Block& held, std::optional<double> volumeDb,
                       std::function<bool()> changeGain)
{
    captures.clear();
    ThdTuning::Watch watching = watch();
    // Told the interface's share, the run nulls the DAC's alone; else the
    // interface's profile says how low the DAC can be told.
    ProfileFloor profile;
    QStringList floorFindings;
    if (!changeGain) {
        watching.interfaceFloor = [&](const CaptureAnalysis& first) {
            return profile.apply(first, rig.input().name.toStdString(), options.inputChannels, floorFindings);
        };
    }
    watching.changeGain = std::move(changeGain);
    const ThdTuning::Outcome outcome = ThdTuning(session, rig, watching).run(held, volumeDb);
    const ThdSolver::Result& result = outcome.result;
    ThdReport report;
    report.kind = ThdReport::Kind::Tuning;
    // The setup as the captures were made: at the volume tuned at, which
    // the run has put back since.
    if (volumeDb)
        rig.setDacVolumeDb({*volumeDb, *volumeDb});
    describeSetup(report, rig, options, result.before.channels.size());
    report.tunedAtDb = volumeDb;
    report.separation = outcome.separation;
    showCaptures(report, outcome);
    report.findings << floorFindings;
    const bool improved = outcome.improved();
    report.outcome =
        outcome.ran && outcome.failure.empty() ? result.outcome : ThdSolver::Outcome::Failed;
    if (improved) {
        for (auto it = captures.rbegin(); it != captures.rend(); ++it) {
            if (sameAnalysis(it->analysis, result.after)) {
                report.after = *it;
                break;
            }
        }
    }
    report.reason = ProblemText::capitalised(outcome.ran ? result.reason : std::string());
    report.captures = result.captures;
    showEnd(report, outcome, improved, QStringLiteral("The tuning was cancelled."));
    showValues(report, outcome, held);
    return report;
}

ThdReport ThdRun::map(const Block& held, const std::vector<double>& volumesDb)
{
    captures.clear();
    ThdTuning::Watch watching = watch();
    watching.progress = mapProgress(volumesDb);
    const ThdTuning::Map map = ThdTuning(session, rig, watching).map(held, volumesDb);
    const ThdTuning::Outcome& outcome = map.outcome;
    ThdReport report;
    report.kind = ThdReport::Kind::Map;
    describeSetup(report, rig, options, map.outputs);
    report.findings = findings();
    report.start = ThdTuning::valuesOf(held);
    for (const ThdTuning::Map::AtVolume& at : map.volumes) {
        ThdReport::PairsAt row;
        row.volumeDb = at.volumeDb;
        for (std::size_t output = 0; output < map.outputs; ++output)
            row.pairs.push_back(at.driverOf(int(output)));
        report.map.push_back(row);
    }
    const bool mapped = outcome.ran && outcome.failure.empty();
    report.outcome = mapped ? ThdSolver::Outcome::Improved : ThdSolver::Outcome::Failed;
    report.captures = int(captures.size());
    showEnd(report, outcome, false, QStringLiteral("The map was cancelled."));
    showValues(report, outcome, held);
    return report;
}

// Counted across the volumes: each starts with a capture at the values
// held, then one probe a pair and a larger step for a pair that moved
// nothing; nothing is solved.
ThdSolver::Progress ThdRun::mapProgress(const std::vector<double>& volumesDb)
{
    struct Count {
        int volume = -1;
        int before = 0; // the captures of the volumes done
        int last = 0;   // the last capture of this volume
    };
    auto count = std::make_shared<Count>();
    int unsolved = 1 + ThdSolver::Settings().maxRefinements;
    int perVolume = 1 + ThdValues::pairCount;
    return [this, count, volumesDb, unsolved, perVolume](const ThdSolver::Step& step) {
        if (step.purpose == ThdSolver::Step::Purpose::Start) {
            count->before += count->last;
            ++count->volume;
        }
        count->last = step.capture;
        const int left = int(volumesDb.size()) - count->volume - 1;
        const int capture = count->before + step.capture;
        const int planned = count->before + std::max(step.capture, step.planned - unsolved)
                            + std::max(0, left) * perVolume;
        const double volume = volumesDb.at(std::size_t(std::max(0, count->volume)));
        ThdStep told =
            ThdStep::solving(ThdStep::Request::Map, step, options.seconds, capture, planned);
        told.volumeDb = volume;
        announce(told);
    };
}

void ThdRun::showEnd(ThdReport& report, const ThdTuning::Outcome& outcome, bool improved,
                     const QString& cancelled)
{
    report.cancelled = outcome.interrupted;
    report.wrote = outcome.wrote;
    report.restored = !improved && outcome.restored;
    report.restoreError = ProblemText::capitalised(outcome.restoreError);
    report.volumeRestored = outcome.volumeRestored;
    if (!outcome.failure.empty())
        report.failure =
            outcome.interrupted ? cancelled : ProblemText::capitalised(outcome.failure);
}

QStringList ThdRun::findings() const
{
    // The run's first capture fixed each channel's path gain: a later one
    // should arrive at what that gain makes of the level it played.
    std::vector<ProblemText::Capture> said;
    for (const ThdCapture& capture : captures) {
        std::vector<double> expected;
        for (std::size_t c = 0; c < capture.analysis.channels.size(); ++c) {
            const std::vector<double>& fixed = captures.front().pathGainsDb;
            const double moved = c < fixed.size() && c < capture.pathGainsDb.size()
                                     ? capture.pathGainsDb[c] - fixed[c]
                                     : ChannelAnalysis::none;
            expected.push_back(capture.analysis.channels[c].levelDbfs - moved);
        }
        said.push_back({&capture.analysis, expected});
    }
    return ProblemText::findings(said);
}

void ThdRun::showCaptures(ThdReport& report, const ThdTuning::Outcome& outcome) const
{
    const ThdSolver::Result& result = outcome.result;
    report.findings = findings();
    if (!captures.empty())
        report.before = captures.front();
    // After a separation the solver starts from the DAC's share, at the
    // new gain: the figures before and after are then alike.
    if (outcome.separation && outcome.separation->ok()) {
        for (const ThdCapture& capture : captures) {
            if (sameAnalysis(capture.analysis, result.before)) {
                report.before = capture;
                break;
            }
        }
    }
    report.start = result.start;
    for (std::size_t pair = 0; pair < std::size_t(ThdValues::pairCount); ++pair)
        report.drives[pair] = result.pairs[pair].drives;
    report.floors = result.floors;
    for (const std::string& note : result.notes)
        report.notes.append(QString::fromStdString(note));
}

void ThdRun::showValues(ThdReport& report, const ThdTuning::Outcome& outcome, const Block& held)
{
    if (!outcome.restoreError.empty()) {
        // What the DAC holds is not known: it is read again before use.
        report.values = outcome.result.start;
        return;
    }
    report.valuesKnown = true;
    report.values = outcome.kept;
    report.blockKnown = true;
    report.block = ThdTuning::withValues(held, outcome.kept);
}
