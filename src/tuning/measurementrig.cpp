// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/measurementrig.h"

#include "audio/dacaudiomatch.h"
#include "audio/devicechoice.h"
#include "audio/soundserver.h"
#include "audio/tonecapture.h"
#include "base/diagnostics.h"
#include "measure/decibels.h"
#include "settings/blocklayout.h"
#include "settings/es9038state.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

const AudioDevice& deviceAt(const std::vector<AudioDevice>& devices, int index)
{
    static const AudioDevice none;
    for (const AudioDevice& device : devices) {
        if (device.index == index)
            return device;
    }
    return none;
}

// Each problem of any channel, once, in the order of the Problem list.
void gatherProblems(CaptureAnalysis& analysis)
{
    analysis.problems.clear();
    for (const char* problem : {Problem::clipping, Problem::dropout, Problem::level,
                                Problem::weakSignal, Problem::noSignal}) {
        for (const ChannelAnalysis& channel : analysis.channels) {
            if (std::find(channel.problems.begin(), channel.problems.end(), problem) != channel.problems.end()) {
                analysis.problems.push_back(problem);
                break;
            }
        }
    }
}

} // namespace

MeasurementRig::MeasurementRig(const MeasurementOptions& options) : options(options)
{
}

std::vector<double> MeasurementRig::volumesOf(const DacSession::Block& block)
{
    const uint8_t max = block[BlockLayout::volumeLeft + 2];
    const uint8_t min = block[BlockLayout::volumeLeft + 3];
    return {double(ES9038State::volumeDbOf(block[BlockLayout::volumeLeft], max, min)),
            double(ES9038State::volumeDbOf(block[BlockLayout::volumeRight], max, min))};
}

Error MeasurementRig::prepare(const DacSession* dac, uint16_t vendorId, uint16_t productId,
                              const DacSession::Block* block)
{
    const Error error = prepareInput();
    return error ? error : prepareOutput(dac, vendorId, productId, block);
}

Error MeasurementRig::prepareInput()
{
    audio.emplace();
    if (const Error failure = audio->failure())
        return failure;
    // Every host API's devices: a number from audio-devices --all-host-apis
    // names one of them (names are sought among the preferred ones).
    devices = audio->devices(AudioSystem::HostApis::All);
    const DeviceChoice::Result chosen =
        DeviceChoice::choose(devices, QString::fromStdString(options.input.value_or("default")),
                             DeviceChoice::Direction::Input, audio->defaultInput());
    if (chosen.index < 0)
        return chosen.error;
    inputIndex = chosen.index;
    const int inputs = input().maxInputChannels;
    for (int channel : options.inputChannelsGiven ? options.inputChannels : std::vector<int>()) {
        if (channel >= inputs) {
            return Error(Error::Kind::Refused,
                         described(input()) + " has " + std::to_string(inputs) + " input"
                             + (inputs == 1 ? "" : "s") + ", not " + std::to_string(channel + 1),
                         Error::Subject::InputChannels);
        }
    }
    return Error();
}

Error MeasurementRig::prepareOutput(const DacSession* dac, uint16_t vendorId, uint16_t productId,
                                    const DacSession::Block* block)
{
    DacAudioMatch::Match match;
    if (dac)
        match = DacAudioMatch::mark(devices, usbOf(*dac, vendorId, productId));

    if (options.output) {
        const DeviceChoice::Result chosen = DeviceChoice::choose(
            devices, QString::fromStdString(*options.output), DeviceChoice::Direction::Output, audio->defaultOutput());
        if (chosen.index < 0)
            return chosen.error;
        outputIndex = chosen.index;
    } else if (match.index >= 0 && match.method != DacAudioMatch::Method::ProductName) {
        outputIndex = match.index;
    } else if (dac && useSoundServer(devices, usbOf(*dac, vendorId, productId))) {
        match.index = outputIndex;
    } else if (match.index >= 0) {
        outputIndex = match.index;
    } else {
        return Error(Error::Kind::Audio,
                     "no audio output of the DAC " + DacSession::identifiers(vendorId, productId)
                         + " was found among the audio devices",
                     Error::Subject::DacOutput);
    }
    dacOutput = match.index >= 0 && match.index == outputIndex;
    for (const AudioDevice* device : {&output(), &input()}) {
        const QString warning = AudioSystem::depthWarning(*device);
        if (!warning.isEmpty())
            said.push_back(warning.toStdString());
    }
    if (dacOutput && block)
        volumes = volumesOf(*block);
    return Error();
}

// A sound server holds the DAC's card, so its own device is not listed:
// the server's sink for the card is played to instead, at unity volume and
// the measurement's rate where the server lets that be set.
bool MeasurementRig::useSoundServer(const std::vector<AudioDevice>& devices,
                                    const DacAudioMatch::DacUsb& usb)
{
    const SoundServer::Route route = SoundServer::route(devices, usb);
    for (const QString& line : route.lines)
        said.push_back(line.toStdString());
    if (route.output < 0)
        return false;
    outputIndex = route.output;
    server.emplace(route, options.rateHz);
    for (const QString& line : server->lines())
        said.push_back(line.toStdString());
    return true;
}

const std::vector<std::string>& MeasurementRig::notes() const
{
    return said;
}

std::vector<std::string> MeasurementRig::finish()
{
    std::vector<std::string> lines;
    if (server) {
        for (const QString& line : server->restore())
            lines.push_back(line.toStdString());
        server.reset();
    }
    return lines;
}

DacAudioMatch::DacUsb MeasurementRig::usbOf(const DacSession& dac, uint16_t vendorId, uint16_t productId)
{
    DacAudioMatch::DacUsb usb;
    const CT7601::UsbLocation location = dac.location();
    usb.bus = location.bus;
    usb.address = location.address;
    usb.product = QString::fromStdString(dac.identity().product);
    usb.vendorId = vendorId;
    usb.productId = productId;
    return usb;
}

void MeasurementRig::setStop(const std::atomic<bool>* stop)
{
    this->stop = stop;
}

void MeasurementRig::setLongCaptureNotice(std::function<void(double seconds)> notice)
{
    longCaptureNotice = std::move(notice);
}

Error MeasurementRig::measure(CaptureAnalysis& analysis, double lengthFactor,
                              std::vector<std::vector<double>>* samples) const
{
    // A capture's samples and their analysis take memory in proportion to
    // its length, up to ten minutes of audio, and operator new tells that it
    // ran out only by throwing. ToneCapture takes the buffer its streams
    // fill before they start; what comes after they closed is caught here.
    try {
        return captureAndAnalyse(analysis, lengthFactor, samples);
    } catch (const std::bad_alloc&) {
        return Error(Error::Kind::Audio, "the memory ran out for the capture");
    }
}

Error MeasurementRig::captureAndAnalyse(CaptureAnalysis& analysis, double lengthFactor,
                                        std::vector<std::vector<double>>* samples) const
{
    ToneCapture::Settings settings;
    settings.frequencyHz = options.frequencyHz;
    settings.levelDbfs = options.levelDbfs;
    settings.sampleRate = options.rateHz;
    settings.seconds = options.seconds * lengthFactor;
    settings.stop = stop;
    if (options.inputChannelsGiven)
        settings.inputChannels = options.inputChannels;
    if (lengthFactor > 1 && longCaptureNotice)
        longCaptureNotice(settings.seconds);
    ToneCapture::Result captured = ToneCapture::run(outputIndex, inputIndex, settings);
    modes = {captured.outputMode.toStdString(), captured.inputMode.toStdString()};
    // The cause names the device already: the capture's failure is said as
    // it is, without the option or control in front.
    if (captured.error)
        return Error(captured.error.kind, captured.error.cause);
    // The level is not checked here: it is the played level times a path
    // gain nobody knows beforehand.
    std::vector<AnalysisOptions> perChannel(captured.channels.size());
    for (AnalysisOptions& each : perChannel)
        each.expectedFrequencyHz = options.frequencyHz;
    analysis = analyse(captured.channels, captured.sampleRate, perChannel);
    if (samples)
        *samples = std::move(captured.channels);
    // Samples the streams said they lost are a dropout, whatever the
    // analysis saw of it.
    if (captured.inputOverflows > 0 || captured.outputUnderflows > 0) {
        for (std::size_t channel = 0; channel < analysis.channels.size(); ++channel)
            addProblem(analysis, channel, Problem::dropout);
    }
    return Error();
}

void MeasurementRig::addProblem(CaptureAnalysis& analysis, std::size_t channel, const char* problem)
{
    std::vector<std::string>& problems = analysis.channels.at(channel).problems;
    if (std::find(problems.begin(), problems.end(), problem) == problems.end())
        problems.push_back(problem);
    gatherProblems(analysis);
}

void MeasurementRig::markWeakSignal(CaptureAnalysis& analysis)
{
    for (std::size_t channel = 0; channel < analysis.channels.size(); ++channel) {
        // A dropout or a clipped crest leaves more in the residual than
        // the input's noise: that is said as what it is.
        const ChannelAnalysis& each = analysis.channels[channel];
        if (each.hasTone && each.problems.empty() && linearToDb(each.harmonicNoise) > weakSignalDbc)
            addProblem(analysis, channel, Problem::weakSignal);
    }
}

CaptureAnalysis MeasurementRig::analyse(const std::vector<std::vector<double>>& channels, double rateHz,
                                        const std::vector<AnalysisOptions>& options)
{
    CaptureAnalysis analysis;
    analysis.rateHz = rateHz;
    analysis.seconds = channels.empty() ? 0 : double(channels.front().size()) / rateHz;
    for (std::size_t channel = 0; channel < channels.size(); ++channel) {
        const std::vector<double>& samples = channels[channel];
        analysis.channels.push_back(analyseChannel(samples.data(), samples.size(), rateHz, options[channel]));
    }
    gatherProblems(analysis);
    return analysis;
}

CaptureAnalysis MeasurementRig::analyseFile(const std::vector<std::vector<double>>& channels, double rateHz,
                                            const MeasurementOptions& options)
{
    AnalysisOptions each;
    if (options.levelGiven)
        each.expectedLevelDbfs = options.levelDbfs;
    if (options.frequencyGiven)
        each.expectedFrequencyHz = options.frequencyHz;
    return analyse(channels, rateHz, std::vector<AnalysisOptions>(channels.size(), each));
}

const AudioDevice& MeasurementRig::output() const
{
    return deviceAt(devices, outputIndex);
}

const AudioDevice& MeasurementRig::input() const
{
    return deviceAt(devices, inputIndex);
}

bool MeasurementRig::outputIsDac() const
{
    return dacOutput;
}

const std::vector<double>& MeasurementRig::dacVolumeDb() const
{
    return volumes;
}

void MeasurementRig::setDacVolumeDb(const std::vector<double>& volumes)
{
    if (dacOutput)
        this->volumes = volumes;
}

double MeasurementRig::playedLevel(std::size_t channel) const
{
    if (volumes.empty())
        return options.levelDbfs;
    return options.levelDbfs + volumes[std::min(channel, volumes.size() - 1)];
}

std::vector<double> MeasurementRig::pathGains(const CaptureAnalysis& analysis) const
{
    std::vector<double> gains;
    for (std::size_t channel = 0; channel < analysis.channels.size(); ++channel)
        gains.push_back(analysis.channels[channel].levelDbfs - playedLevel(channel));
    return gains;
}

std::string MeasurementRig::described(const AudioDevice& device)
{
    return std::to_string(device.index) + " \"" + device.name.toStdString() + "\"";
}

MeasurementSetup MeasurementRig::setup(std::size_t channels) const
{
    MeasurementSetup setup;
    setup.frequencyHz = options.frequencyHz;
    setup.levelDbfs = options.levelDbfs;
    setup.levelCapped = options.levelCapped;
    setup.requestedLevelDbfs = options.requestedLevelDbfs;
    for (std::size_t channel = 0; channel < channels; ++channel)
        setup.playedLevels.push_back(playedLevel(channel));
    setup.output = described(output());
    setup.outputIsDac = dacOutput;
    setup.dacVolumeDb = volumes;
    setup.input = described(input());
    setup.outputMode = modes.first;
    setup.inputMode = modes.second;
    return setup;
}

double MeasurementRig::longestFactor() const
{
    return std::max(1.0, std::min(120.0, std::floor(longestCaptureSeconds / options.seconds)));
}
