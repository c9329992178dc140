// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "base/error.h"

#include <QString>

#include <vector>

// PortAudio, held for the life of the object: it is initialised on
// construction and terminated on destruction. Devices may only be listed,
// and tones played, while one is alive and ready.
//
// On Windows the devices offered and the defaults are WASAPI's: MME's and
// DirectSound's carry too few bits for a measurement (HostApiChoice).
class AudioSystem {
public:
    enum class HostApis { Preferred, All };

    AudioSystem();
    ~AudioSystem();
    AudioSystem(const AudioSystem&) = delete;
    AudioSystem& operator=(const AudioSystem&) = delete;

    bool isReady() const;
    // Why PortAudio could not start, in PortAudio's words, as Kind::Audio
    // ("the audio system cannot start: ..."); no error when ready.
    Error failure() const;

    // The devices, in PortAudio's order (none marked as the DAC: see
    // DacAudioMatch::mark): those of the preferred host API (WASAPI's on
    // Windows, every one elsewhere), or those of every host API.
    std::vector<AudioDevice> devices(HostApis which = HostApis::Preferred) const;
    // The default devices of the preferred host API; -1 where there is none.
    int defaultOutput() const;
    int defaultInput() const;

    // Why a device's host API spoils a measurement, for the user (MME and
    // DirectSound on Windows); empty when it does not.
    static QString depthWarning(const AudioDevice& device);

private:
    int error_ = 0;
};
