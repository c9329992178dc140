// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/soundserverlisting.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QVariant>

#include <algorithm>

namespace {

// PipeWire's tools give numbers and booleans as JSON values, pactl gives
// every property as a string: kept as strings alike.
std::map<QString, QString> propertiesOf(const QJsonObject& object)
{
    std::map<QString, QString> properties;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isObject() && !it.value().isArray())
            properties[it.key()] = it.value().toVariant().toString();
    }
    return properties;
}

// pw-dump prints its objects as one JSON array, and another array before or
// after it for each change while it runs (an object removed as {"id": 41,
// "info": null}): every array is read, one after the other, and an object
// given again by its id takes the place of what was said of it before.
bool parseArray(const QByteArray& json, QJsonArray& array)
{
    bool any = false;
    std::map<int, int> byId; // pw-dump's id: the place in `array`
    for (int from = 0; !json.mid(from).trimmed().isEmpty();) {
        const QByteArray rest = json.mid(from);
        QJsonParseError error;
        QJsonDocument document = QJsonDocument::fromJson(rest, &error);
        int used = int(rest.size());
        if (error.error == QJsonParseError::GarbageAtEnd) {
            used = error.offset;
            document = QJsonDocument::fromJson(rest.left(used), &error);
        }
        if (error.error != QJsonParseError::NoError || !document.isArray() || used <= 0)
            return false;
        for (const QJsonValue& value : document.array()) {
            const QJsonValue id = value.toObject().value(QStringLiteral("id"));
            const auto seen = id.isDouble() ? byId.find(id.toInt()) : byId.end();
            if (seen != byId.end()) {
                array.replace(seen->second, value);
                continue;
            }
            if (id.isDouble())
                byId[id.toInt()] = int(array.size());
            array.append(value);
        }
        from += used;
        any = true;
    }
    return any;
}

// The channels' volumes in the channel map's order ("front-left,front-right"):
// the order pactl set-sink-volume takes them in. The JSON object holds them
// by name, so its own order says nothing.
std::vector<uint32_t> volumesOf(const QJsonObject& sink)
{
    std::vector<uint32_t> volumes;
    const QJsonObject volume = sink.value(QStringLiteral("volume")).toObject();
    const QStringList channels =
        sink.value(QStringLiteral("channel_map")).toString().split(QLatin1Char(','));
    for (const QString& channel : channels) {
        const QJsonValue value = volume.value(channel).toObject().value(QStringLiteral("value"));
        if (!value.isDouble() || value.toDouble() < 0)
            return {};
        volumes.push_back(uint32_t(value.toDouble()));
    }
    return volumes;
}

} // namespace

bool SoundServerListing::parsePactl(const QByteArray& json, std::vector<Sink>& sinks)
{
    static const QRegularExpression hz(QStringLiteral("\\b(\\d+)Hz\\b"));
    QJsonArray array;
    if (!parseArray(json, array))
        return false;
    sinks.clear();
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        Sink sink;
        sink.name = object.value(QStringLiteral("name")).toString();
        if (sink.name.isEmpty())
            continue;
        sink.description = object.value(QStringLiteral("description")).toString();
        sink.properties = propertiesOf(object.value(QStringLiteral("properties")).toObject());
        sink.volumes = volumesOf(object);
        sink.muted = object.value(QStringLiteral("mute")).toBool();
        const QRegularExpressionMatch m =
            hz.match(object.value(QStringLiteral("sample_specification")).toString());
        sink.rate = m.hasMatch() ? m.captured(1).toInt() : 0;
        sinks.push_back(sink);
    }
    return true;
}

bool SoundServerListing::parsePwDump(const QByteArray& json, std::vector<Sink>& sinks)
{
    QJsonArray array;
    if (!parseArray(json, array))
        return false;
    sinks.clear();
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        if (object.value(QStringLiteral("type")).toString()
            != QLatin1String("PipeWire:Interface:Node"))
            continue;
        Sink sink;
        sink.properties = propertiesOf(object.value(QStringLiteral("info"))
                                           .toObject()
                                           .value(QStringLiteral("props"))
                                           .toObject());
        if (sink.properties[QStringLiteral("media.class")] != QLatin1String("Audio/Sink"))
            continue;
        sink.name = sink.properties[QStringLiteral("node.name")];
        sink.description = sink.properties[QStringLiteral("node.description")];
        if (!sink.name.isEmpty())
            sinks.push_back(sink);
    }
    return true;
}

SoundServerListing::Clock SoundServerListing::parseClock(const QByteArray& pwDump)
{
    Clock clock;
    QJsonArray array;
    if (!parseArray(pwDump, array))
        return clock;
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        if (object.value(QStringLiteral("props")).toObject().value(QStringLiteral("metadata.name"))
            != QLatin1String("settings"))
            continue;
        for (const QJsonValue& entry : object.value(QStringLiteral("metadata")).toArray()) {
            const QJsonObject item = entry.toObject();
            if (item.value(QStringLiteral("subject")).toInt(-1) != 0)
                continue;
            const QString key = item.value(QStringLiteral("key")).toString();
            bool ok = false;
            const int number = item.value(QStringLiteral("value")).toVariant().toInt(&ok);
            if (!ok)
                continue;
            if (key == QLatin1String("clock.rate")) {
                clock.rate = number;
                clock.known = number > 0;
            } else if (key == QLatin1String("clock.force-rate")) {
                clock.forcedRate = number;
            }
        }
    }
    return clock;
}

SoundServerListing::Info SoundServerListing::parseInfo(const QByteArray& text)
{
    Info info;
    for (const QByteArray& line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon).trimmed();
        const QString value = QString::fromUtf8(line.mid(colon + 1).trimmed());
        if (key == "Server Name")
            info.serverName = value;
        else if (key == "Default Sink")
            info.defaultSink = value;
    }
    return info;
}

long long SoundServerListing::number(const Sink& sink, const char* key, bool hex)
{
    const auto it = sink.properties.find(QString::fromLatin1(key));
    if (it == sink.properties.end())
        return -1;
    QString text = it->second.trimmed();
    if (hex && text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text.remove(0, 2);
    bool ok = false;
    const long long value = text.toLongLong(&ok, hex ? 16 : 10);
    return ok && value >= 0 ? value : -1;
}

int SoundServerListing::cardOf(const Sink& sink)
{
    // PipeWire's nodes, PipeWire's nodes as pipewire-pulse lists them, and
    // PulseAudio's sinks.
    for (const char* key : {"api.alsa.card", "api.alsa.pcm.card", "alsa.card"}) {
        const long long card = number(sink, key);
        if (card >= 0)
            return int(card);
    }
    return -1;
}

SoundServerListing::Found SoundServerListing::find(const std::vector<Sink>& sinks,
                                                   const DacAudioMatch::DacUsb& dac,
                                                   const std::vector<DacAudioMatch::UsbCard>& cards)
{
    Found found;
    const int card = DacAudioMatch::dacCard(dac, cards);
    long long best = 1LL << 40;
    int ties = 0;
    for (int i = 0; card >= 0 && i < int(sinks.size()); ++i) {
        if (cardOf(sinks[size_t(i)]) != card)
            continue;
        // ALSA's device 0 before device 1, as for the card's hw: devices.
        long long device = std::max(number(sinks[size_t(i)], "api.alsa.pcm.device"),
                                    number(sinks[size_t(i)], "alsa.device"));
        if (device < 0)
            device = 1LL << 39;
        ties = device == best ? ties + 1 : device < best ? 0 : ties;
        if (device < best) {
            best = device;
            found = {i, Method::Card};
        }
    }
    if (found.index >= 0)
        return ties == 0 ? found : Found();

    int fits = 0;
    for (int i = 0; i < int(sinks.size()); ++i) {
        if (number(sinks[size_t(i)], "device.vendor.id", true) == dac.vendorId
            && number(sinks[size_t(i)], "device.product.id", true) == dac.productId) {
            found = {i, Method::UsbIds};
            ++fits;
        }
    }
    return fits == 1 ? found : Found();
}

QString SoundServerListing::percent(const std::vector<uint32_t>& volumes)
{
    QStringList parts;
    for (const uint32_t volume : volumes)
        parts.append(QStringLiteral("%1 %").arg(qRound(volume * 100.0 / 65536)));
    if (parts.count(parts.value(0)) == parts.size())
        return parts.value(0);
    return parts.join(QStringLiteral(" / "));
}
