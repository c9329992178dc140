// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

// One audio device as PortAudio lists it. `index` is PortAudio's device
// index, which is also what the user may type after --output or --input.
struct AudioDevice {
    // The host APIs that are handled apart. Windows offers every device
    // through each of its four; the others (ALSA, JACK, ...) are Other.
    enum class Api { Other, Wasapi, WdmKs, DirectSound, Mme };

    int index = -1;
    QString name;
    QString hostApi;
    Api api = Api::Other;
    int maxInputChannels = 0;
    int maxOutputChannels = 0;
    double defaultSampleRate = 0;
    // Its host API's default device for that direction (PortAudio's
    // default is only that of the default host API).
    bool apiDefaultOutput = false;
    bool apiDefaultInput = false;
    bool dac = false;    // the audio output of the DAC the link has open
};
