// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "audio/soundserversession.h"
#include "base/error.h"
#include "control/dacsession.h"
#include "measure/analysis.h"
#include "tuning/measurementoptions.h"
#include "tuning/measurementsetup.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What measure and tune-thd play and record on: PortAudio, the output
// (the one named, else the DAC's own audio device) and the input, and the
// level played on each channel (the level asked for, after the DAC's volume
// when the tone goes through the DAC the link has open).
//
// What arrives at the input is that level times the path's gain: the DAC's
// analog output into whatever gain the interface's input knob gives it. A
// capture tells the path gain; nothing assumes it.
class MeasurementRig {
public:
    // What runs once the DAC and the audio are ready: `dac` and `block` are
    // null when the DAC is not open. Returns the exit status, its messages
    // printed.
    using Work = std::function<int(DacSession* dac, const DacSession::Block* block, MeasurementRig& rig)>;

    explicit MeasurementRig(const MeasurementOptions& options);

    // Starts PortAudio and chooses the devices. `dac` and `block`: the DAC
    // the link has open (by these identifiers) and the block it holds, or
    // null. No error when done.
    Error prepare(const DacSession* dac, uint16_t vendorId, uint16_t productId,
                  const DacSession::Block* block);
    // The same in two steps: PortAudio and the input (Refused when the input
    // lacks a channel asked for), then the output.
    Error prepareInput();
    Error prepareOutput(const DacSession* dac, uint16_t vendorId, uint16_t productId,
                        const DacSession::Block* block);

    // Plays the tone, records it and analyses it. A Kind::Audio error when
    // the audio failed or the stop flag abandoned the capture; the
    // capture's problems are in `analysis`. `lengthFactor` times --seconds.
    // `samples`, when given, receives what was recorded, one vector per
    // channel.
    // Memory that runs out for the samples or their analysis is a
    // Kind::Audio error too.
    Error measure(CaptureAnalysis& analysis, double lengthFactor = 1,
                  std::vector<std::vector<double>>* samples = nullptr) const;

    // A flag another thread may set to abandon a capture under way; null
    // for none.
    void setStop(const std::atomic<bool>* stop);
    // Called with its length before each capture longer than asked, for a
    // front end that says so; none by default.
    void setLongCaptureNotice(std::function<void(double seconds)> notice);

    // What the rig found and set up on the way that a person should know
    // (the sound server that holds the DAC, the volume it set), a sentence
    // a line; run() prints them on standard error.
    const std::vector<std::string>& notes() const;
    // Puts back what was set up for the measurement (a sound server's
    // volume and clock) and says what, a sentence a line; the destructor
    // does the same silently.
    std::vector<std::string> finish();

    // The USB device `dac` has open, as DacAudioMatch looks for its audio.
    static DacAudioMatch::DacUsb usbOf(const DacSession& dac, uint16_t vendorId, uint16_t productId);

    // What a measurement of `channels` channels was made on, for the reports.
    MeasurementSetup setup(std::size_t channels) const;
    // '1 "Sonvale loopback interface"'
    static std::string described(const AudioDevice& device);

    // The devices and the DAC's volume, for the reports.
    const AudioDevice& output() const;
    const AudioDevice& input() const;
    bool outputIsDac() const;
    // The DAC's volume in dB per channel (left, right) when the tone goes
    // through it; empty otherwise.
    const std::vector<double>& dacVolumeDb() const;
    // A run that moves the DAC's volume says so: the levels played follow.
    void setDacVolumeDb(const std::vector<double>& volumes);
    // The level played on a channel, dBFS: at the DAC's output when the tone
    // goes through the DAC.
    double playedLevel(std::size_t channel) const;
    // Per channel of `analysis`: the dB from what was played to what
    // arrived; NaN for a channel without a tone.
    std::vector<double> pathGains(const CaptureAnalysis& analysis) const;

    // A measurement of the DAC's distortion must tell harmonics at about
    // -120 dBc (its own H2 and H3 lie around -105 to -120 dBc before a
    // tuning): a capture whose noise per harmonic lies above that is a
    // "weak signal", the interface's input gain too low. A tuning or a map
    // decides for itself what its captures must resolve.
    static constexpr double weakSignalDbc = -120;
    static void markWeakSignal(CaptureAnalysis& analysis);
    // Adds a problem to one channel, once, and to the capture's list in the
    // order of the Problem list.
    static void addProblem(CaptureAnalysis& analysis, std::size_t channel, const char* problem);
    // The longest capture ToneCapture makes, seconds, and how many times
    // --seconds a run's capture may therefore take (at most 120).
    static constexpr double longestCaptureSeconds = 600;
    double longestFactor() const;

    // A recording made elsewhere: its channels analysed, the level checked
    // only when --level was given and the tone searched near --frequency
    // only when that was given.
    static CaptureAnalysis analyseFile(const std::vector<std::vector<double>>& channels, double rateHz,
                                       const MeasurementOptions& options);
    // Each channel analysed with its own options; the problems gathered in
    // the order of the Problem list.
    static CaptureAnalysis analyse(const std::vector<std::vector<double>>& channels, double rateHz,
                                   const std::vector<AnalysisOptions>& options);

    // The volume in dB that the window shows for each channel of `block`.
    static std::vector<double> volumesOf(const DacSession::Block& block);

private:
    Error captureAndAnalyse(CaptureAnalysis& analysis, double lengthFactor,
                            std::vector<std::vector<double>>* samples) const;
    bool useSoundServer(const std::vector<AudioDevice>& devices, const DacAudioMatch::DacUsb& usb);

    const MeasurementOptions& options;
    std::optional<AudioSystem> audio;
    std::vector<AudioDevice> devices;
    int outputIndex = -1;
    int inputIndex = -1;
    bool dacOutput = false;
    std::vector<double> volumes;
    const std::atomic<bool>* stop = nullptr;
    std::function<void(double seconds)> longCaptureNotice;
    std::optional<SoundServerSession> server;
    std::vector<std::string> said;
    // How the last capture opened its streams: "WASAPI exclusive", "ALSA".
    mutable std::pair<std::string, std::string> modes;
};
