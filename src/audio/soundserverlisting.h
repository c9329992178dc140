// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/dacaudiomatch.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <vector>

// What a Linux sound server's own tools print about it, read, and which of
// its sinks is the DAC's. PulseAudio, and PipeWire through pipewire-pulse,
// list their sinks with `pactl --format=json list sinks` (pactl 16 and
// later); PipeWire lists every object of its graph, the sinks and its clock
// settings among them, with `pw-dump`. A sink that plays to an ALSA card
// carries the card's number and its USB device's identifiers among its
// properties, under names that differ between the servers and their
// versions.
class SoundServerListing {
public:
    struct Sink {
        QString name;        // what pactl and PULSE_SINK take
        QString description; // what a desktop shows
        std::map<QString, QString> properties;
        // The volume of each channel in the order of its channel map, 65536
        // being 100 %; empty when the listing does not give it (pw-dump).
        std::vector<uint32_t> volumes;
        bool muted = false;
        int rate = 0; // the rate it runs at now; 0: not listed
    };

    // `pactl info`, read in the C locale.
    struct Info {
        QString serverName; // "PulseAudio (on PipeWire 0.3.65)"
        QString defaultSink;
    };

    // PipeWire's clock, from the "settings" metadata.
    struct Clock {
        bool known = false;
        int rate = 0;       // clock.rate, the rate it runs at unless forced
        int forcedRate = 0; // clock.force-rate; 0: not forced
    };

    enum class Method { None, Card, UsbIds };

    struct Found {
        int index = -1; // into the sinks; -1: none
        Method method = Method::None;
    };

    // False when the text is not such a listing.
    static bool parsePactl(const QByteArray& json, std::vector<Sink>& sinks);
    static bool parsePwDump(const QByteArray& json, std::vector<Sink>& sinks);
    static Clock parseClock(const QByteArray& pwDump);
    static Info parseInfo(const QByteArray& text);

    // The DAC's sink: the one on the DAC's ALSA card (`cards` as
    // DacAudioMatch reads them; the lowest ALSA device when the card has
    // several sinks), else the one sink with the DAC's vendor and product
    // ids. Two such sinks leave the choice open.
    static Found find(const std::vector<Sink>& sinks, const DacAudioMatch::DacUsb& dac,
                      const std::vector<DacAudioMatch::UsbCard>& cards);

    // A property read as a number: decimal, or hexadecimal with or without
    // "0x" when `hex`; -1 when absent or not a number.
    static long long number(const Sink& sink, const char* key, bool hex = false);
    // The ALSA card a sink plays to; -1: none said.
    static int cardOf(const Sink& sink);

    // "40 %", or "40 % / 62 %" when the channels differ.
    static QString percent(const std::vector<uint32_t>& volumes);
};
