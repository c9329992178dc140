// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tuning/interfaceprofile.h"

#include "measure/decibels.h"
#include "settings/atomicfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

const QString kFormat = QStringLiteral("sonvale interface profiles");
constexpr int kLastShown = 5; // H2..H5
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

QJsonValue number(double value)
{
    return std::isfinite(value) ? QJsonValue(std::round(value * 1000) / 1000) : QJsonValue();
}

// A figure the file holds: a number, or null for none.
bool figure(const QJsonValue& value, double& out)
{
    if (value.isNull()) {
        out = kNone;
        return true;
    }
    out = value.toDouble();
    return value.isDouble();
}

QJsonObject channelObject(const InterfaceProfile::Channel& channel)
{
    QJsonArray harmonics;
    for (std::size_t k = 0; k < channel.dbc.size(); ++k) {
        harmonics.append(QJsonObject{{"order", int(k) + 2},
                                     {"dbc", number(channel.dbc[k])},
                                     {"phase_deg", number(channel.phaseDeg[k])}});
    }
    return QJsonObject{{"input", channel.input},
                       {"level_dbfs", number(channel.levelDbfs)},
                       {"thd_db", number(channel.thdDb)},
                       {"thdn_db", number(channel.thdnDb)},
                       {"noise_dbc", number(channel.noiseDbc)},
                       {"harmonics", harmonics}};
}

bool readChannel(const QJsonValue& value, InterfaceProfile::Channel& channel)
{
    const QJsonObject o = value.toObject();
    channel.input = o["input"].toInt(0);
    if (!value.isObject() || channel.input < 1 || !o["harmonics"].isArray()
        || !figure(o["level_dbfs"], channel.levelDbfs) || !figure(o["thd_db"], channel.thdDb)
        || !figure(o["thdn_db"], channel.thdnDb) || !figure(o["noise_dbc"], channel.noiseDbc))
        return false;
    const QJsonArray harmonics = o["harmonics"].toArray();
    for (int k = 0; k < harmonics.size(); ++k) {
        const QJsonObject h = harmonics[k].toObject();
        double dbc = 0, phase = 0;
        if (h["order"].toInt() != k + 2 || !figure(h["dbc"], dbc) || !figure(h["phase_deg"], phase))
            return false;
        channel.dbc.push_back(dbc);
        channel.phaseDeg.push_back(phase);
    }
    return harmonics.size() >= 2; // H2 and H3 at least
}

bool readEntry(const QJsonValue& value, InterfaceProfile::Entry& entry)
{
    const QJsonObject o = value.toObject();
    if (!value.isObject() || !o["input"].isString() || !o["rate"].isDouble()
        || !o["level_dbfs"].isDouble() || !o["channels"].isArray())
        return false;
    entry.input = o["input"].toString().toStdString();
    entry.rateHz = o["rate"].toInt();
    entry.levelDbfs = o["level_dbfs"].toDouble();
    entry.measured = o["measured"].toString().toStdString();
    for (const QJsonValue& channel : o["channels"].toArray()) {
        entry.channels.emplace_back();
        if (!readChannel(channel, entry.channels.back()))
            return false;
    }
    return true;
}

// The reason a document is not a profile file of this version; empty when
// it is one, read into `entries`.
std::string readDocument(const QJsonObject& root, std::vector<InterfaceProfile::Entry>& entries)
{
    if (root["format"].toString() != kFormat)
        return "not a file of interface profiles (its \"format\" is not \"" + kFormat.toStdString()
               + "\")";
    const QJsonValue version = root["version"];
    if (version.toInt(-1) != InterfaceProfile::version)
        return (version.isDouble() ? "version " + QString::number(version.toDouble()).toStdString()
                                   : std::string("no version"))
               + " of the interface profiles; this program reads version "
               + std::to_string(InterfaceProfile::version);
    if (!root["profiles"].isArray())
        return "its \"profiles\" is not a list";
    const QJsonArray profiles = root["profiles"].toArray();
    for (int i = 0; i < profiles.size(); ++i) {
        InterfaceProfile::Entry entry;
        if (!readEntry(profiles[i], entry))
            return "profile " + std::to_string(i + 1)
                   + " is not one of an input, a rate, a level and its channels";
        entries.push_back(entry);
    }
    return std::string();
}

} // namespace

double InterfaceProfile::Entry::arrivedDbfs() const
{
    double loudest = -std::numeric_limits<double>::infinity();
    for (const Channel& each : channels)
        if (std::isfinite(each.levelDbfs))
            loudest = std::max(loudest, each.levelDbfs);
    return loudest;
}

const InterfaceProfile::Channel* InterfaceProfile::Entry::channel(int input) const
{
    for (const Channel& each : channels)
        if (each.input == input)
            return &each;
    return nullptr;
}

InterfaceProfile::InterfaceProfile(std::string path) : path_(std::move(path))
{
}

std::string InterfaceProfile::defaultPath()
{
    // Sonvale's own folder in the user's configuration folder, whichever of
    // its programs asks (each has an application name of its own, which
    // AppConfigLocation would put in the path).
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (folder.isEmpty())
        return std::string();
    return QDir::cleanPath(folder + "/sonvale/interface-profiles.json").toStdString();
}

const std::string& InterfaceProfile::path() const
{
    return path_;
}

Error InterfaceProfile::read()
{
    entries_.clear();
    QFile file(QString::fromStdString(path_));
    if (!file.exists())
        return Error();
    if (!file.open(QIODevice::ReadOnly))
        return Error(Error::Kind::File, file.errorString().toStdString());
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError)
        return Error(Error::Kind::File, "not JSON (" + parse.errorString().toStdString()
                                            + " at byte " + std::to_string(parse.offset) + ")");
    std::vector<Entry> entries;
    const std::string reason = document.isObject()
                                   ? readDocument(document.object(), entries)
                                   : "not a file of interface profiles (not a JSON object)";
    if (!reason.empty())
        return Error(Error::Kind::File, reason);
    entries_ = entries;
    return Error();
}

Error InterfaceProfile::write() const
{
    QJsonArray profiles;
    for (const Entry& entry : entries_) {
        QJsonArray channels;
        for (const Channel& channel : entry.channels)
            channels.append(channelObject(channel));
        profiles.append(QJsonObject{{"input", QString::fromStdString(entry.input)},
                                    {"rate", entry.rateHz},
                                    {"level_dbfs", number(entry.levelDbfs)},
                                    {"measured", QString::fromStdString(entry.measured)},
                                    {"channels", channels}});
    }
    const QByteArray text =
        QJsonDocument(
            QJsonObject{{"format", kFormat}, {"version", version}, {"profiles", profiles}})
            .toJson(QJsonDocument::Indented);
    QDir().mkpath(QFileInfo(QString::fromStdString(path_)).absolutePath());
    return AtomicFile::write(path_, std::vector<unsigned char>(text.begin(), text.end()));
}

InterfaceProfile::Entry InterfaceProfile::entryOf(const CaptureAnalysis& analysis,
                                                  const std::string& input, int rateHz,
                                                  double levelDbfs, const std::vector<int>& inputs)
{
    Entry entry;
    entry.input = input;
    entry.rateHz = rateHz;
    entry.levelDbfs = levelDbfs;
    entry.measured = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
    for (std::size_t c = 0; c < analysis.channels.size() && c < inputs.size(); ++c) {
        const ChannelAnalysis& measured = analysis.channels[c];
        Channel channel;
        channel.input = inputs[c] + 1;
        channel.levelDbfs = measured.levelDbfs;
        channel.thdDb = measured.thdDb;
        channel.thdnDb = measured.thdnDb;
        channel.noiseDbc = linearToDb(measured.harmonicNoise);
        for (int order = 2; order <= kLastShown; ++order) {
            channel.dbc.push_back(measured.harmonicDbc(order));
            channel.phaseDeg.push_back(measured.harmonicPhaseDeg(order));
        }
        entry.channels.push_back(channel);
    }
    return entry;
}

void InterfaceProfile::keep(const Entry& entry)
{
    for (Entry& held : entries_) {
        if (held.input == entry.input && held.rateHz == entry.rateHz
            && std::abs(held.levelDbfs - entry.levelDbfs) < 0.05) {
            held = entry;
            return;
        }
    }
    entries_.push_back(entry);
}

const std::vector<InterfaceProfile::Entry>& InterfaceProfile::entries() const
{
    return entries_;
}

const InterfaceProfile::Entry* InterfaceProfile::find(const std::string& input, int rateHz,
                                                      double arrivedDbfs) const
{
    const Entry* nearest = nullptr;
    double distance = levelToleranceDb;
    for (const Entry& entry : entries_) {
        const double d = std::abs(entry.arrivedDbfs() - arrivedDbfs);
        if (entry.input == input && entry.rateHz == rateHz && d <= distance) {
            nearest = &entry;
            distance = d;
        }
    }
    return nearest;
}

std::vector<MeasurementSetup::InterfaceFloor> InterfaceProfile::floorsFor(
    const Entry& entry, const std::vector<int>& inputs, std::size_t channels)
{
    std::vector<MeasurementSetup::InterfaceFloor> floors(channels);
    for (std::size_t c = 0; c < channels && c < inputs.size(); ++c) {
        if (const Channel* held = entry.channel(inputs[c] + 1)) {
            floors[c].h2Dbc = held->dbc[0];
            floors[c].h3Dbc = held->dbc[1];
        }
    }
    return floors;
}

std::vector<std::string> InterfaceProfile::warnings(
    const CaptureAnalysis& analysis, const std::vector<MeasurementSetup::InterfaceFloor>& floors)
{
    std::vector<std::string> said;
    const std::size_t channels = analysis.channels.size();
    for (std::size_t c = 0; c < channels && c < floors.size(); ++c) {
        const double floor[2] = {floors[c].h2Dbc, floors[c].h3Dbc};
        for (int k = 0; k < 2; ++k) {
            const double dac = analysis.channels[c].harmonicDbc(k + 2);
            if (!std::isfinite(dac) || !std::isfinite(floor[k]) || dac >= floor[k] + marginDb)
                continue;
            char text[256];
            std::snprintf(text, sizeof text,
                          "%s: H%d at %.2f dBc is not %.0f dB above the interface's own %.2f dBc: "
                          "it may be the interface's distortion, not the DAC's",
                          CaptureAnalysis::channelName(c, channels).c_str(), k + 2, dac, marginDb,
                          floor[k]);
            said.push_back(text);
        }
    }
    return said;
}

InterfaceProfile::Applied InterfaceProfile::applyTo(const CaptureAnalysis& analysis, const std::string& input,
                                                    const std::vector<int>& inputs) const
{
    double arrived = -1e9;
    for (const ChannelAnalysis& channel : analysis.channels) {
        if (channel.hasTone)
            arrived = std::max(arrived, channel.levelDbfs);
    }
    Applied applied;
    const Entry* entry = find(input, int(analysis.rateHz), arrived);
    if (!entry)
        return applied;
    applied.floors = floorsFor(*entry, inputs, analysis.channels.size());
    applied.warnings = warnings(analysis, applied.floors);
    for (const MeasurementSetup::InterfaceFloor& floor : applied.floors) {
        for (double dbc : {floor.h2Dbc, floor.h3Dbc}) {
            if (std::isfinite(dbc))
                applied.worstDbc = std::max(applied.worstDbc.value_or(dbc), dbc);
        }
    }
    return applied;
}
