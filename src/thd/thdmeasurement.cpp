// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdmeasurement.h"

#include "thd/profilefloor.h"

#include "thd/problemtext.h"
#include "tuning/measurementrig.h"
#include "tuning/measurementsetup.h"

#include <utility>

ThdMeasurement::ThdMeasurement(MeasurementRig& rig, const MeasurementOptions& options,
                               const std::atomic<bool>& stop, ThdRun::Announce announce)
    : rig(rig), options(options), stop(stop), announce(std::move(announce))
{
}

bool ThdMeasurement::capture(CaptureAnalysis& analysis, std::vector<std::vector<double>>& samples,
                             QString& audioError)
{
    const Error error = rig.measure(analysis, 1, &samples);
    MeasurementRig::markWeakSignal(analysis);
    if (error && !stop)
        audioError = QString::fromStdString(error.cause);
    return !error && !stop;
}

ThdReport ThdMeasurement::run(const ChangeGain& changeGain, QString& audioError)
{
    const int captures = changeGain ? 2 : 1;
    announce(ThdStep::measuring(1, captures, options.seconds));
    CaptureAnalysis analysis;
    std::vector<std::vector<double>> samples;
    const bool recorded = capture(analysis, samples, audioError);

    ThdReport report;
    report.kind = ThdReport::Kind::Measurement;
    ThdRun::describeSetup(report, rig, options, analysis.channels.size());
    report.captures = 1;
    if (recorded) {
        report.before = ThdCapture::of(analysis, samples, rig.pathGains(analysis));
        report.outcome = analysis.ok() ? ThdSolver::Outcome::Improved : ThdSolver::Outcome::Failed;
        report.findings = ProblemText::findings({{&analysis, report.expectedLevelDbfs}});
        if (analysis.ok())
            ProfileFloor().apply(analysis, rig.input().name.toStdString(), options.inputChannels, report.findings);
        if (changeGain && analysis.ok())
            separate(report, analysis, changeGain, audioError);
    }
    if (stop) {
        // A cancel shows nothing new, as if no capture had been made.
        report.before = ThdCapture();
        report.findings.clear();
        report.separation.reset();
        report.cancelled = true;
        report.failure = QStringLiteral("The measurement was cancelled.");
        report.outcome = ThdSolver::Outcome::Failed;
    }
    return report;
}

// The second capture, at the gain the person has set, and the shares the
// two tell. The first capture's figures stay what the report shows.
void ThdMeasurement::separate(ThdReport& report, const CaptureAnalysis& first,
                              const ChangeGain& changeGain, QString& audioError)
{
    if (!changeGain())
        return;
    announce(ThdStep::measuring(2, 2, options.seconds, true));
    CaptureAnalysis second;
    std::vector<std::vector<double>> samples;
    if (!capture(second, samples, audioError))
        return;
    report.captures = 2;
    if (!second.ok()) {
        report.outcome = ThdSolver::Outcome::Failed;
        report.failure = QStringLiteral("The capture after the change of gain does not tell the "
                                        "DAC's distortion.");
        report.findings = ProblemText::findings({{&second, report.expectedLevelDbfs}});
        return;
    }
    std::vector<std::string> names;
    for (std::size_t c = 0; c < first.channels.size(); ++c)
        names.push_back(CaptureAnalysis::channelName(c, first.channels.size()));
    report.separation = InterfaceSeparation::split(first, second, names);
    if (!report.separation->ok()) {
        report.outcome = ThdSolver::Outcome::Failed;
        report.failure = ProblemText::capitalised(report.separation->unsplit);
    }
}
