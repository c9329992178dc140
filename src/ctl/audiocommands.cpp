// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The sonvalectl commands that play and record: the audio devices, and one
// measurement of the DAC's distortion (tune-thd is in tunethdcommand.cpp).

#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "base/diagnostics.h"
#include "ctl/audiooptions.h"
#include "ctl/commands.h"
#include "ctl/measurementoutput.h"
#include "ctl/stopsignals.h"
#include "measure/interfaceseparation.h"
#include "measure/spectrumcsv.h"
#include "measure/wavfile.h"
#include "settings/atomicfile.h"
#include "tuning/measurementrig.h"

#include <QJsonArray>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// Which audio output is the DAC's, when the DAC can be opened; a note why
// none is marked otherwise.
std::string markDac(const CommandContext& context, std::vector<AudioDevice>& devices, DacAudioMatch::Match& match)
{
    std::FILE* const diagnostics = Diagnostics::redirect(context.verbose ? stderr : nullptr);
    std::string note;
    {
        DacSession session(context.vendorId, context.productId);
        const Error unopened = session.open();
        if (!unopened) {
            DacAudioMatch::DacUsb usb;
            usb.vendorId = context.vendorId;
            usb.productId = context.productId;
            usb.bus = session.location().bus;
            usb.address = session.location().address;
            usb.product = QString::fromStdString(session.identity().product);
            match = DacAudioMatch::mark(devices, usb);
            if (match.index < 0)
                note = "the DAC " + context.device() + " is open, but none of these devices is its audio output";
        } else {
            note = unopened.cause;
        }
    }
    Diagnostics::redirect(diagnostics);
    return note;
}

std::string problemList(const CaptureAnalysis& analysis)
{
    std::string text;
    for (const std::string& problem : analysis.problems)
        text += (text.empty() ? "" : ", ") + problem;
    return text;
}

// A file written whole or not at all; false once its failure is said.
bool writeWhole(const CommandContext& context, const std::string& path, const std::vector<unsigned char>& bytes)
{
    const Error error = AtomicFile::write(path, bytes);
    if (!error)
        return true;
    context.fail(path + ": " + error.cause);
    return false;
}

// --save-capture and --csv: the recording analysed, as 32-bit float WAV,
// and its spectrum, so that another analyser can check the figures.
bool writeExports(const CommandContext& context, const AudioOptions& options,
                  const std::vector<std::vector<double>>& samples, double rateHz)
{
    if (options.saveCapture) {
        const std::vector<uint8_t> wav = WavFile::floatFile(samples, int(std::lround(rateHz)));
        if (!writeWhole(context, *options.saveCapture, std::vector<unsigned char>(wav.begin(), wav.end())))
            return false;
    }
    if (options.csv) {
        const std::string text = SpectrumCsv::text(samples, rateHz);
        if (!writeWhole(context, *options.csv, std::vector<unsigned char>(text.begin(), text.end())))
            return false;
    }
    return true;
}

// --separate: once the first capture is made, the person changes the
// interface's input gain; the second capture then tells each harmonic's
// shares. Done, or the exit status with its message said.
// A capture that did not come back: the audio failed (3), or Ctrl-C or a
// signal stopped it (1, as a stopped sweep or tuning).
int captureFailed(const CommandContext& context, const Error& error, const StopSignals* stops)
{
    context.fail(error.cause);
    return stops && stops->stopped() ? int(CommandContext::NotImproved)
                                     : int(CommandContext::AudioFailed);
}

int separate(const CommandContext& context, MeasurementRig& rig, const StopSignals& stops,
             const CaptureAnalysis& first, std::optional<InterfaceSeparation>& separation)
{
    std::fprintf(stderr,
                 "%s: turn the interface's input gain down by about 6 dB, then press Enter\n",
                 context.program());
    std::fflush(stderr);
    if (!stops.waitForEnter()) {
        context.fail(stops.cause());
        return CommandContext::NotImproved;
    }
    CaptureAnalysis second;
    if (const Error error = rig.measure(second))
        return captureFailed(context, error, &stops);
    MeasurementRig::markWeakSignal(second);
    if (!second.ok()) {
        context.fail("the capture after the change of gain does not tell the DAC's distortion: "
                     + problemList(second));
        return CommandContext::NotImproved;
    }
    std::vector<std::string> names;
    for (std::size_t c = 0; c < first.channels.size(); ++c)
        names.push_back(CaptureAnalysis::channelName(c, first.channels.size()));
    separation = InterfaceSeparation::split(first, second, names);
    return CommandContext::Done;
}

// measure on the DAC or the output named: one capture, two with --separate.
int measureLive(const CommandContext& context, const AudioOptions& options,
                MeasurementOutput::Setup& setup, CaptureAnalysis& analysis,
                std::optional<InterfaceSeparation>& separation)
{
    // While the person turns the knob, Ctrl-C ends the wait and the rig
    // still puts back what it set up.
    std::optional<StopSignals> stops;
    if (options.separate)
        stops.emplace();
    return context.withRig(options, !options.output, false,
                           [&](DacSession*, const DacSession::Block*, MeasurementRig& rig) {
                               if (stops)
                                   rig.setStop(&stops->flag());
                               std::vector<std::vector<double>> samples;
                               if (const Error error = rig.measure(analysis, 1, &samples)) {
                                   Commands::putBack(rig);
                                   return captureFailed(context, error, stops ? &*stops : nullptr);
                               }
                               MeasurementRig::markWeakSignal(analysis);
                               int status = CommandContext::Done;
                               if (stops && analysis.ok())
                                   status = separate(context, rig, *stops, analysis, separation);
                               Commands::putBack(rig);
                               if (status != CommandContext::Done)
                                   return status;
                               if (!writeExports(context, options, samples, analysis.rateHz))
                                   return int(CommandContext::AudioFailed);
                               setup = rig.setup(analysis.channels.size());
                               Commands::applyInterfaceProfile(context, rig, options.inputChannels, analysis, setup);
                               return int(CommandContext::Done);
                           });
}

} // namespace

void Commands::putBack(MeasurementRig& rig)
{
    for (const std::string& line : rig.finish())
        std::fprintf(stderr, "%s\n", line.c_str());
}

void Commands::noteLevelCap(const CommandContext& context, const AudioOptions& options)
{
    if (options.levelCapped) {
        std::fprintf(stderr, "%s: --level %s lies above 0 dBFS: the tone plays at 0 dBFS (the level is capped)\n",
                     context.program(), MeasurementOutput::fixed(options.requestedLevelDbfs, 1).c_str());
    }
}

int Commands::audioDevices(const CommandContext& context, const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!context.splitOptions(arguments, {"--json", "--all-host-apis"}, given, operands))
        return CommandContext::BadUsage;
    if (!operands.empty())
        return context.refuse("audio-devices takes no arguments but --json and --all-host-apis");

    DacAudioMatch::Match match;
    std::vector<AudioDevice> devices;
    std::string note;
    int defaultOutput = -1, defaultInput = -1;
    {
        AudioSystem audio;
        if (const Error failure = audio.failure()) {
            context.fail(failure.cause);
            return CommandContext::AudioFailed;
        }
        // On Windows WASAPI's devices, which carry the DAC's full depth;
        // every host API's on request.
        devices =
            audio.devices(given[1] ? AudioSystem::HostApis::All : AudioSystem::HostApis::Preferred);
        defaultOutput = audio.defaultOutput();
        defaultInput = audio.defaultInput();
        note = markDac(context, devices, match);
    }

    if (given[0]) {
        std::vector<JsonText> list;
        for (const AudioDevice& device : devices) {
            list.emplace_back()
                .add("index", device.index)
                .add("name", device.name)
                .add("host_api", device.hostApi)
                .add("inputs", device.maxInputChannels)
                .add("outputs", device.maxOutputChannels)
                .add("default_rate", device.defaultSampleRate)
                .add("dac", device.dac);
        }
        JsonText document;
        document.addObjects("devices", list)
            .add("default_output", defaultOutput >= 0 ? QJsonValue(defaultOutput) : QJsonValue())
            .add("default_input", defaultInput >= 0 ? QJsonValue(defaultInput) : QJsonValue())
            .add("dac", match.index >= 0 ? QJsonValue(match.index) : QJsonValue())
            .add("dac_found_by", match.index >= 0
                                     ? QJsonValue(DacAudioMatch::methodName(match.method))
                                     : QJsonValue());
        if (!note.empty())
            document.add("dac_note", QString::fromStdString(note));
        std::printf("%s\n", document.lines().c_str());
        return CommandContext::Done;
    }

    std::printf("index  in  out  rate    host API              name\n");
    for (const AudioDevice& device : devices) {
        std::string flags;
        if (device.index == defaultOutput)
            flags += ", default output";
        if (device.index == defaultInput)
            flags += ", default input";
        if (device.dac)
            flags = ", the DAC" + flags;
        std::printf("%-5d  %2d  %3d  %-6s  %-20s  %s%s\n", device.index, device.maxInputChannels,
                    device.maxOutputChannels, MeasurementOutput::fixed(device.defaultSampleRate, 0).c_str(),
                    device.hostApi.toUtf8().constData(), device.name.toUtf8().constData(),
                    flags.empty() ? "" : (" (" + flags.substr(2) + ")").c_str());
    }
    if (match.index >= 0) {
        std::printf("the DAC %s: device %d (found by its %s)\n", context.device().c_str(), match.index,
                    DacAudioMatch::methodName(match.method).toUtf8().constData());
    } else {
        std::printf("the DAC %s: none marked (%s)\n", context.device().c_str(), note.c_str());
    }
    return CommandContext::Done;
}

int Commands::measure(const CommandContext& context, const Arguments& arguments)
{
    AudioOptions options;
    if (!options.parse(context, "measure", arguments,
                       AudioOptions::InputFile | AudioOptions::Separate))
        return CommandContext::BadUsage;
    noteLevelCap(context, options);

    MeasurementOutput::Setup setup;
    CaptureAnalysis analysis;
    std::optional<InterfaceSeparation> separation;
    if (options.inputFile) {
        // A recording made elsewhere: no DAC, no audio.
        const std::string& path = *options.inputFile;
        WavFile wav;
        if (const Error error = wav.read(path)) {
            context.fail(path + ": " + error.cause);
            return CommandContext::AudioFailed;
        }
        analysis = MeasurementRig::analyseFile(wav.channels, wav.rateHz, options);
        if (!writeExports(context, options, wav.channels, wav.rateHz))
            return CommandContext::AudioFailed;
        setup.file = path;
        setup.fileFormat = wav.formatName() + (wav.channels.size() == 1 ? ", mono" : ", stereo");
        setup.frequencyHz = options.frequencyGiven ? options.frequencyHz : 0;
        if (options.levelGiven)
            setup.expectedLevels.assign(wav.channels.size(), options.levelDbfs);
    } else {
        const int status = measureLive(context, options, setup, analysis, separation);
        if (status != CommandContext::Done)
            return status;
    }
    const std::string text =
        options.json
            ? MeasurementOutput::json(setup, analysis, separation ? &*separation : nullptr).lines()
                  + "\n"
            : MeasurementOutput::text(setup, analysis)
                  + (separation && separation->ok()
                         ? MeasurementOutput::separationText(*separation, analysis.channels.size())
                         : "");
    std::fputs(text.c_str(), stdout);
    if (!analysis.ok()) {
        context.fail("the capture does not tell the DAC's distortion: " + problemList(analysis));
        return CommandContext::NotImproved;
    }
    if (separation && !separation->ok()) {
        context.fail(separation->unsplit);
        return CommandContext::NotImproved;
    }
    return CommandContext::Done;
}
