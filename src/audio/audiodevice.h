// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

// One audio device as PortAudio lists it. `index` is PortAudio's device
// index, which is also what the user may type after --output or --input.
struct AudioDevice {
    int index = -1;
    QString name;
    QString hostApi;
    int maxInputChannels = 0;
    int maxOutputChannels = 0;
    double defaultSampleRate = 0;
    bool dac = false;    // the audio output of the DAC the link has open
};
