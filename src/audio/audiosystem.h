// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"

#include <QString>

#include <vector>

// PortAudio, held for the life of the object: it is initialised on
// construction and terminated on destruction. Devices may only be listed,
// and tones played, while one is alive and ready.
class AudioSystem {
public:
    AudioSystem();
    ~AudioSystem();
    AudioSystem(const AudioSystem&) = delete;
    AudioSystem& operator=(const AudioSystem&) = delete;

    bool isReady() const;
    // Why PortAudio could not start, in PortAudio's words; empty when ready.
    QString error() const;

    // Every device, in PortAudio's order (none marked as the DAC: see
    // DacAudioMatch::mark).
    std::vector<AudioDevice> devices() const;
    // PortAudio's default devices; -1 where there is none.
    int defaultOutput() const;
    int defaultInput() const;

private:
    int error_ = 0;
};
