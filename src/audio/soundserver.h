// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "audio/dacaudiomatch.h"
#include "audio/soundserverlisting.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// The DAC reached through a Linux sound server. On a desktop, PipeWire or
// PulseAudio holds the DAC's ALSA card, so its hw: device cannot be opened;
// the server's own sink for that card can be played to instead. ALSA's
// "pulse" device (libasound2-plugins) is a PulseAudio client, which
// pipewire-pulse serves too: each stream it opens connects to the sink named
// in PULSE_SINK and records from the source named in PULSE_SOURCE, read when
// the stream opens, so the tone goes to the DAC's sink while the input
// stays the one chosen. ALSA's "pipewire" device has one target for both
// directions (PIPEWIRE_NODE): aimed at the sink, its recording could come
// from the sink's own monitor, a perfect loopback that would pass for the
// DAC's output; it is only used as the server's default output.
//
// The server's tools (pactl, pw-dump) are asked; where there is no server,
// a tool is missing or its output is not understood, no route is found and
// nothing changes. Linux only: on Windows nothing is run.
class SoundServer {
public:
    struct Route {
        QString serverName;            // empty: no sound server answered
        bool pipewire = false;         // the server is PipeWire
        SoundServerListing::Sink sink; // the DAC's sink; its name empty: none found
        // The PortAudio device that plays to the DAC's sink; -1: none does.
        int output = -1;
        // To be set in the environment before the streams open (see
        // SoundServerSession); empty: nothing.
        QByteArray variable;
        QByteArray value;
        // What was found, a sentence a line, for the user.
        QStringList lines;
    };

    // For a DAC whose own hw: device is not among `devices`: its sink, and
    // how to play to it.
    static Route route(const std::vector<AudioDevice>& devices, const DacAudioMatch::DacUsb& dac);

    // Fills in `route`'s output, variable and lines for its sink, given the
    // server's default sink.
    static void chooseOutput(const std::vector<AudioDevice>& devices, const QString& defaultSink,
                             Route& route);

    // Runs one of the server's tools in the C locale, for a few seconds at
    // most. False when it cannot start, fails or does not end in time.
    static bool run(const QString& program, const QStringList& arguments,
                    QByteArray* output = nullptr);
};
