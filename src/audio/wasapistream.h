// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

#include <portaudio.h>

// Windows only: a stream on a device of WASAPI, through PortAudio.
//
// Exclusive mode keeps Windows' mixer and its effects out of the path. A
// device that refuses it (its "allow exclusive" setting is off, or another
// program holds it) is opened shared, where Windows runs every stream at the
// engine's mix format, often 44.1 kHz: our PortAudio (19.6 with
// packaging/windows/portaudio-wasapi-autoconvert.patch) then has Windows
// convert the rate asked for (paWinWasapiAutoConvert), and the mode says
// what was converted.
class WasapiStream {
public:
    // Pa_OpenStream's result; `mode` says how the stream was opened, e.g.
    // "WASAPI exclusive", or "WASAPI shared, converted from 48000 Hz to the
    // mix format's 44100 Hz".
    static PaError open(PaStreamParameters parameters, bool input, double sampleRate,
                        PaStreamCallback* callback, void* data, PaStream** stream, QString& mode);
};
