// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// check-interface: the audio interface's own distortion, measured through
// its outputs wired to its inputs and kept as its profile; and that profile
// beside the DAC's figures in measure.

#include "ctl/commands.h"
#include "ctl/measurementoutput.h"
#include "tuning/interfaceprofile.h"
#include "tuning/measurementrig.h"

#include <algorithm>
#include <cstdio>

namespace {

// The profiles as the file holds them; a file that is none is named with
// its reason and ignored (and left as it is).
InterfaceProfile readProfiles(const CommandContext& context)
{
    InterfaceProfile profile(InterfaceProfile::defaultPath());
    if (profile.path().empty())
        return profile;
    if (const Error error = profile.read()) {
        std::fprintf(stderr, "%s: %s: %s: the interface's profiles in it are ignored\n",
                     context.program(), profile.path().c_str(), error.cause.c_str());
    }
    return profile;
}

// The interface's own output: the one named, else the input device's own
// when it has outputs. An interface's outputs and inputs are one device on
// most host APIs, and whatever the system's default output is (often the
// DAC) would measure the DAC again.
Error chooseOutput(MeasurementRig& rig, AudioOptions& options)
{
    if (const Error error = rig.prepareInput())
        return error;
    if (!options.output) {
        if (rig.input().maxOutputChannels < 1) {
            return Error(Error::Kind::Refused,
                         MeasurementRig::described(rig.input())
                             + " has no output of its own: name the interface's output",
                         Error::Subject::Output);
        }
        options.output = std::to_string(rig.input().index);
    }
    return rig.prepareOutput(nullptr, 0, 0, nullptr);
}

} // namespace

std::optional<double> Commands::applyInterfaceProfile(const CommandContext& context, const MeasurementRig& rig,
                                                      const std::vector<int>& inputs,
                                                      const CaptureAnalysis& analysis, MeasurementSetup& setup)
{
    const InterfaceProfile::Applied applied =
        readProfiles(context).applyTo(analysis, rig.input().name.toStdString(), inputs);
    setup.interfaceFloors = applied.floors;
    setup.warnings = applied.warnings;
    return applied.worstDbc;
}

int Commands::checkInterface(const CommandContext& context, const Arguments& arguments)
{
    AudioOptions options;
    if (!options.parse(context, "check-interface", arguments))
        return CommandContext::BadUsage;
    noteLevelCap(context, options);
    std::fprintf(stderr,
                 "%s: the interface's output must be connected to its own input: what it plays is "
                 "recorded as the interface's own distortion\n",
                 context.program());
    InterfaceProfile profile = readProfiles(context);

    MeasurementRig rig(options);
    CommandContext::noteLongCaptures(rig);
    if (const Error error = chooseOutput(rig, options)) {
        if (error.kind == Error::Kind::Refused)
            return context.refuse(CommandContext::worded(error));
        context.fail(CommandContext::worded(error));
        return CommandContext::AudioFailed;
    }
    for (const std::string& note : rig.notes())
        std::fprintf(stderr, "%s\n", note.c_str());
    CaptureAnalysis analysis;
    const Error error = rig.measure(analysis);
    putBack(rig);
    if (error) {
        context.fail(error.cause);
        return CommandContext::AudioFailed;
    }
    MeasurementRig::markWeakSignal(analysis);
    const MeasurementSetup setup = rig.setup(analysis.channels.size());
    const auto print = [&](bool kept) {
        if (options.json) {
            JsonText document = MeasurementOutput::json(setup, analysis);
            if (kept)
                document.add("profile", QString::fromStdString(profile.path()));
            std::printf("%s\n", document.lines().c_str());
        } else {
            std::fputs(MeasurementOutput::text(setup, analysis).c_str(), stdout);
            if (kept)
                std::printf("profile: %s\n", profile.path().c_str());
        }
    };
    // A capture with a problem does not tell the interface's distortion:
    // the profile held stays.
    if (!analysis.ok()) {
        print(false);
        std::string problems;
        for (const std::string& problem : analysis.problems)
            problems += (problems.empty() ? "" : ", ") + problem;
        return context.fail("the capture does not tell the interface's distortion: " + problems
                            + "; no profile kept");
    }
    if (profile.path().empty()) {
        print(false);
        context.fail("there is no configuration folder to keep the interface's profile in");
        return CommandContext::AudioFailed;
    }
    profile.keep(InterfaceProfile::entryOf(analysis, rig.input().name.toStdString(), options.rateHz,
                                           options.levelDbfs, options.inputChannels));
    const Error written = profile.write();
    print(!written);
    if (written) {
        context.fail(profile.path() + ": " + written.cause);
        return CommandContext::AudioFailed;
    }
    return CommandContext::Done;
}
