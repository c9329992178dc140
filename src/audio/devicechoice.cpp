// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/devicechoice.h"

#include "audio/hostapichoice.h"

#include <QStringList>

namespace {

int channels(const AudioDevice& device, DeviceChoice::Direction direction)
{
    return direction == DeviceChoice::Direction::Output ? device.maxOutputChannels
                                                        : device.maxInputChannels;
}

QString described(const AudioDevice& device)
{
    return QStringLiteral("%1 \"%2\"").arg(device.index).arg(device.name);
}

} // namespace

DeviceChoice::Result DeviceChoice::choose(const std::vector<AudioDevice>& devices,
                                          const QString& text, Direction direction,
                                          int defaultIndex)
{
    const QString kind = direction == Direction::Output ? QStringLiteral("output")
                                                        : QStringLiteral("input");
    const Error::Subject subject =
        direction == Direction::Output ? Error::Subject::Output : Error::Subject::Input;
    const auto failed = [&](const QString& cause, Error::Kind why = Error::Kind::Audio) {
        Result result;
        result.error = Error(why, cause.toStdString(), subject);
        return result;
    };
    Result result;
    if (text.isEmpty())
        return failed(QStringLiteral("no %1 device named").arg(kind));

    if (text == QLatin1String("default")) {
        for (const AudioDevice& device : devices)
            if (device.index == defaultIndex && defaultIndex >= 0 && channels(device, direction) > 0) {
                result.index = defaultIndex;
                return result;
            }
        return failed(QStringLiteral("there is no default %1 device").arg(kind));
    }

    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    if (isNumber) {
        for (const AudioDevice& device : devices) {
            if (device.index != number)
                continue;
            if (channels(device, direction) == 0)
                return failed(
                    QStringLiteral("device %1 has no %2 channels").arg(described(device), kind));
            result.index = number;
            return result;
        }
        return failed(QStringLiteral("there is no device %1").arg(number), Error::Kind::NotFound);
    }

    std::vector<const AudioDevice*> exact, partial;
    bool elsewhere = false;     // the name fits a device without such channels
    const std::vector<AudioDevice> named = HostApiChoice::offered(devices);
    for (const AudioDevice& device : named) {
        const bool exactName = device.name == text;
        const bool partName = device.name.contains(text, Qt::CaseInsensitive);
        if (channels(device, direction) == 0) {
            elsewhere = elsewhere || partName;
            continue;
        }
        if (exactName)
            exact.push_back(&device);
        if (partName)
            partial.push_back(&device);
    }
    const std::vector<const AudioDevice*>& found = exact.empty() ? partial : exact;
    if (found.size() == 1) {
        result.index = found.front()->index;
        return result;
    }
    if (found.empty() && elsewhere)
        return failed(QStringLiteral(
                          "no %1 device is named \"%2\" (a device of that name has no %1 channels)")
                          .arg(kind, text));
    if (found.empty())
        return failed(QStringLiteral("no %1 device is named \"%2\"").arg(kind, text),
                      Error::Kind::NotFound);
    QStringList names;
    for (const AudioDevice* device : found)
        names << described(*device);
    return failed(QStringLiteral("\"%1\" names more than one %2 device: %3; give its number")
                      .arg(text, kind, names.join(QStringLiteral(", "))));
}
