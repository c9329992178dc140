// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdsweeprun.h"

#include "thd/problemtext.h"
#include "tuning/measurementrig.h"
#include "tuning/volumesweep.h"

namespace {

ThdSweep::Point pointOf(const VolumeSweep::Point& measured)
{
    ThdSweep::Point point;
    point.volumeDb = measured.volumeDb;
    for (std::size_t c = 0; c < measured.analysis.channels.size(); ++c) {
        const ChannelAnalysis& analysed = measured.analysis.channels[c];
        ThdSweep::Channel& channel = point.channels.emplace_back();
        channel.levelDbfs = analysed.levelDbfs;
        channel.pathGainDb = c < measured.setup.playedLevels.size()
                                 ? analysed.levelDbfs - measured.setup.playedLevels[c]
                                 : ChannelAnalysis::none;
        channel.h2Dbc = analysed.harmonicDbc(2);
        channel.h3Dbc = analysed.harmonicDbc(3);
        channel.thdDb = analysed.thdDb;
        channel.thdnDb = analysed.thdnDb;
        for (const std::string& problem : analysed.problems)
            channel.problems << QString::fromStdString(problem);
    }
    return point;
}

// The problems of the sweep's captures, in words. The first capture fixed
// each channel's path gain: a later one should arrive at the level played
// there after that gain.
QStringList findings(const std::vector<VolumeSweep::Point>& points)
{
    std::vector<ProblemText::Capture> said;
    for (const VolumeSweep::Point& point : points) {
        std::vector<double> expected;
        const VolumeSweep::Point& first = points.front();
        for (std::size_t c = 0; c < point.analysis.channels.size(); ++c) {
            const bool known =
                c < point.setup.playedLevels.size() && c < first.setup.playedLevels.size();
            expected.push_back(known ? point.setup.playedLevels[c]
                                           + first.analysis.channels[c].levelDbfs
                                           - first.setup.playedLevels[c]
                                     : ChannelAnalysis::none);
        }
        said.push_back({&point.analysis, expected});
    }
    return ProblemText::findings(said);
}

} // namespace

ThdSweepRun::ThdSweepRun(ThdRun::Context context) : context(std::move(context))
{
}

ThdSweep ThdSweepRun::run(const DacSession::Block& held, const std::vector<double>& volumesDb)
{
    const int captures = int(volumesDb.size());
    if (!volumesDb.empty())
        context.announce(
            ThdStep::sweeping(volumesDb.front(), 1, captures, context.options.seconds));
    // VolumeSweep tells of each capture once made: the next is announced
    // then, before the volume moves to it.
    std::size_t done = 0;
    auto measured = [&](const VolumeSweep::Point&) {
        ++done;
        if (done < volumesDb.size())
            context.announce(ThdStep::sweeping(volumesDb[done], int(done) + 1, captures,
                                               context.options.seconds));
    };
    const VolumeSweep::Result result =
        VolumeSweep(context.session, context.rig).run(held, volumesDb, &context.stop, measured);

    ThdSweep sweep;
    sweep.outputDevice = QString::fromStdString(MeasurementRig::described(context.rig.output()));
    sweep.inputDevice = QString::fromStdString(MeasurementRig::described(context.rig.input()));
    sweep.levelDbfs = context.options.levelDbfs;
    sweep.frequencyHz = context.options.frequencyHz;
    for (const VolumeSweep::Point& point : result.points)
        sweep.points.push_back(pointOf(point));
    if (!result.points.empty())
        sweep.findings = findings(result.points);
    sweep.cancelled = result.interrupted;
    if (result.interrupted)
        sweep.failure = QStringLiteral("The sweep was cancelled.");
    else if (!result.failure.empty())
        sweep.failure = ProblemText::capitalised(result.failure);
    sweep.volumeRestored = result.restoreError.empty();
    sweep.restoreError = ProblemText::capitalised(result.restoreError);
    return sweep;
}
