// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/soundserver.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

// The sound server set up for a measurement through the DAC's sink, for as
// long as the object lives. A sink's volume scales the samples before they
// reach the DAC, so it is set to 100 % and unmuted; the server mixes at its
// clock's rate and resamples whatever differs, so PipeWire's clock is held
// at the measurement's rate (clock.force-rate in its "settings" metadata;
// PulseAudio lets no client set a sink's rate, and its rate is only
// reported). The route's variable is set in the environment, where the
// streams' libpulse reads it when they open.
//
// Only what was changed is put back, exactly as it was (each channel's
// volume, the mute, the clock's forced rate, the variable), by restore() or
// on destruction. Nothing is done for a route without a sink, nor on
// Windows.
class SoundServerSession {
public:
    SoundServerSession(const SoundServer::Route& route, double rateHz);
    ~SoundServerSession();
    SoundServerSession(const SoundServerSession&) = delete;
    SoundServerSession& operator=(const SoundServerSession&) = delete;

    // What was found and set, a sentence a line, e.g. "the DAC's sink
    // 'alsa_output.usb-...' was at 62 %: set to 100 % for the measurement".
    const QStringList& lines() const;

    // Puts back what was changed and says what, a line each; a second call
    // does nothing.
    QStringList restore();

private:
    void setVariable(const SoundServer::Route& route);
    void setVolume(const SoundServerListing::Sink& sink);
    void setClock(const SoundServerListing::Sink& sink, int rate);
    void reportRate(const SoundServerListing::Sink& sink, int rate);
    bool setForcedRate(int rate) const;

    QString sink;
    QStringList said;
    QByteArray variable; // set; empty: none
    std::optional<QByteArray> previousValue;
    std::vector<uint32_t> volumes; // to put back; empty: unchanged
    bool unmuted = false;
    std::optional<int> forcedRate; // clock.force-rate to put back
    int heldRate = 0;              // what it was set to
};
