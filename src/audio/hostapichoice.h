// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"

#include <QString>

#include <vector>

// Which of PortAudio's host APIs a measurement goes through, decided over a
// device list alone.
//
// Windows offers every device once per host API. MME's and DirectSound's
// pass through Windows' mixer at fewer than 24 bits: a measurement through
// them reads that floor (-98.6 to -99.6 dB THD of a tone at -3 dBFS under
// wine into a PipeWire null sink) where WASAPI's device of the same sink
// reads -182.6 dB, and PortAudio's default devices there are MME's. So where WASAPI has devices, only they
// are offered and WASAPI's defaults are the defaults. Elsewhere (ALSA and
// JACK on Linux, the simulated path) every device is offered and
// PortAudio's defaults stand.
class HostApiChoice {
public:
    // WASAPI's devices when the list has any; otherwise all of them.
    static std::vector<AudioDevice> offered(const std::vector<AudioDevice>& all);
    // WASAPI's default device for that direction where WASAPI has devices
    // (-1 when it has none that way), otherwise `portAudioDefault`.
    static int defaultOutput(const std::vector<AudioDevice>& all, int portAudioDefault);
    static int defaultInput(const std::vector<AudioDevice>& all, int portAudioDefault);
    // Why a device's host API spoils a measurement, in words for the user;
    // empty when it does not.
    static QString depthWarning(const AudioDevice& device);
};
