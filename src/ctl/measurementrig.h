// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "ctl/audiooptions.h"
#include "ctl/dacsession.h"
#include "ctl/measurementoutput.h"
#include "measure/analysis.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What measure and tune-thd play and record on: PortAudio, the output
// (the one named, else the DAC's own audio device) and the input, and the
// level each input channel should see (the level asked for, after the
// DAC's volume when the tone goes through the DAC the link has open).
class CommandContext;

class MeasurementRig {
public:
    // What runs once the DAC and the audio are ready: `dac` and `block` are
    // null when the DAC is not open. Returns the exit status, its messages
    // printed.
    using Work = std::function<int(DacSession* dac, const DacSession::Block* block, MeasurementRig& rig)>;

    explicit MeasurementRig(const AudioOptions& options);

    // Opens the DAC and reads its block, whole when `wholeBlock`, otherwise
    // only the window of the volumes (a DAC that cannot be opened or read
    // fails the command when `needDac`, otherwise it is done without),
    // prepares the rig and runs `work`. AudioFailed once the cause is
    // printed, when that fails; the DAC is closed at the end.
    static int run(const CommandContext& context, const AudioOptions& options, bool needDac, bool wholeBlock,
                   const Work& work);

    // Starts PortAudio and chooses the devices. `dac` and `block`: the DAC
    // the link has open (by these identifiers) and the block it holds, or
    // null. Empty when done, otherwise the cause.
    std::string prepare(const DacSession* dac, uint16_t vendorId, uint16_t productId,
                        const DacSession::Block* block);

    // Plays the tone, records it and analyses it. False with `error` when
    // the audio failed or the stop flag abandoned the capture; the
    // capture's problems are in `analysis`. `lengthFactor` times --seconds.
    // `samples`, when given, receives what was recorded, one vector per
    // channel.
    bool measure(CaptureAnalysis& analysis, std::string& error, double lengthFactor = 1,
                 std::vector<std::vector<double>>* samples = nullptr) const;

    // A flag another thread may set to abandon a capture under way; null
    // for none.
    void setStop(const std::atomic<bool>* stop);
    // Whether a capture longer than asked says so on standard error, as
    // sonvalectl does (a window shows it in its own way).
    void setAnnounceLongCaptures(bool announce);

    // The USB device `dac` has open, as DacAudioMatch looks for its audio.
    static DacAudioMatch::DacUsb usbOf(const DacSession& dac, uint16_t vendorId, uint16_t productId);

    // What a measurement of `channels` channels was made on, for the reports.
    MeasurementOutput::Setup setup(std::size_t channels) const;
    // '1 "Sonvale loopback interface"'
    static std::string described(const AudioDevice& device);

    // The devices and the DAC's volume, for the reports.
    const AudioDevice& output() const;
    const AudioDevice& input() const;
    bool outputIsDac() const;
    // The DAC's volume in dB per channel (left, right) when the tone goes
    // through it; empty otherwise.
    const std::vector<double>& dacVolumeDb() const;
    // The level each channel should have, dBFS.
    double expectedLevel(std::size_t channel) const;

    // A recording made elsewhere: its channels analysed, the level checked
    // only when --level was given and the tone searched near --frequency
    // only when that was given.
    static CaptureAnalysis analyseFile(const std::vector<std::vector<double>>& channels, double rateHz,
                                       const AudioOptions& options);
    // Each channel analysed with its own options; the problems gathered in
    // the order of the Problem list.
    static CaptureAnalysis analyse(const std::vector<std::vector<double>>& channels, double rateHz,
                                   const std::vector<AnalysisOptions>& options);

    // The volume in dB that the window shows for each channel of `block`.
    static std::vector<double> volumesOf(const DacSession::Block& block);

private:
    const AudioOptions& options;
    std::optional<AudioSystem> audio;
    std::vector<AudioDevice> devices;
    int outputIndex = -1;
    int inputIndex = -1;
    bool dacOutput = false;
    std::vector<double> volumes;
    const std::atomic<bool>* stop = nullptr;
    bool announceLong = true;
};
