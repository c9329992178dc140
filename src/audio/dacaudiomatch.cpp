// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/dacaudiomatch.h"
#include "audio/windowsendpoints.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace {

#ifdef __linux__
// sysfs' and /proc/asound's few-byte files.
QString readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.read(256));
}
#endif

// The device number M of "(hw:N,M)"; large when there is none.
int alsaDeviceNumber(const QString& name)
{
    static const QRegularExpression hw(QStringLiteral("\\(hw:\\d+,(\\d+)\\)"));
    const QRegularExpressionMatch m = hw.match(name);
    return m.hasMatch() ? m.captured(1).toInt() : 1 << 30;
}

} // namespace

int DacAudioMatch::alsaCard(const QString& name)
{
    static const QRegularExpression hw(QStringLiteral("\\(hw:(\\d+),\\d+\\)"));
    const QRegularExpressionMatch m = hw.match(name);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool DacAudioMatch::parseUsbCard(const QString& usbid, const QString& usbbus, UsbCard& card)
{
    static const QRegularExpression id(QStringLiteral("^([0-9a-fA-F]{4}):([0-9a-fA-F]{4})\\s*$"));
    static const QRegularExpression bus(QStringLiteral("^(\\d{1,3})/(\\d{1,3})\\s*$"));
    const QRegularExpressionMatch i = id.match(usbid);
    const QRegularExpressionMatch b = bus.match(usbbus);
    if (!i.hasMatch() || !b.hasMatch())
        return false;
    card.vendorId = uint16_t(i.captured(1).toUInt(nullptr, 16));
    card.productId = uint16_t(i.captured(2).toUInt(nullptr, 16));
    card.bus = b.captured(1).toInt();
    card.address = b.captured(2).toInt();
    return true;
}

std::vector<DacAudioMatch::UsbCard> DacAudioMatch::readUsbCards()
{
    std::vector<UsbCard> cards;
#ifdef __linux__
    const QDir asound(QStringLiteral("/proc/asound"));
    static const QRegularExpression cardDir(QStringLiteral("^card(\\d+)$"));
    for (const QString& entry : asound.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch m = cardDir.match(entry);
        if (!m.hasMatch())
            continue;
        UsbCard card;
        card.card = m.captured(1).toInt();
        const QString dir = asound.filePath(entry);
        // Only USB sound cards have these two files.
        if (parseUsbCard(readSmallFile(dir + QStringLiteral("/usbid")),
                         readSmallFile(dir + QStringLiteral("/usbbus")), card))
            cards.push_back(card);
    }
#endif
    return cards;
}

int DacAudioMatch::dacCard(const DacUsb& dac, const std::vector<UsbCard>& cards)
{
    // Two cards that fit leave the choice open.
    int dacCard = -1;
    int fits = 0;
    for (const UsbCard& card : cards) {
        if (card.vendorId != dac.vendorId || card.productId != dac.productId)
            continue;
        if (dac.bus >= 0 && dac.address >= 0 && (card.bus != dac.bus || card.address != dac.address))
            continue;
        dacCard = card.card;
        ++fits;
    }
    return fits == 1 ? dacCard : -1;
}

DacAudioMatch::Match DacAudioMatch::findOnCards(const std::vector<AudioDevice>& devices,
                                                const DacUsb& dac,
                                                const std::vector<UsbCard>& cards)
{
    const int dacCard = DacAudioMatch::dacCard(dac, cards);
    Match match;
    if (dacCard < 0)
        return match;
    int best = 1 << 30;
    for (const AudioDevice& device : devices) {
        if (device.maxOutputChannels == 0 || alsaCard(device.name) != dacCard)
            continue;
        const int number = alsaDeviceNumber(device.name);
        if (number < best) {
            best = number;
            match.index = device.index;
            match.method = Method::UsbCard;
        }
    }
    return match;
}

DacAudioMatch::Match DacAudioMatch::findByProduct(const std::vector<AudioDevice>& devices,
                                                  const QString& product)
{
    Match match;
    if (product.trimmed().isEmpty())
        return match;
    int count = 0;
    for (const AudioDevice& device : devices) {
        if (device.maxOutputChannels == 0 || !device.name.contains(product.trimmed(), Qt::CaseInsensitive))
            continue;
        match.index = device.index;
        ++count;
    }
    if (count != 1)
        return {};
    match.method = Method::ProductName;
    return match;
}

DacAudioMatch::Match DacAudioMatch::find(const std::vector<AudioDevice>& devices, const DacUsb& dac)
{
    Match match = findOnCards(devices, dac, readUsbCards());
    if (match.index >= 0)
        return match;

#ifdef _WIN32
    // The endpoints of the one present USB device with the DAC's
    // identifiers. With two such DACs plugged in, the tree cannot say which
    // one the link opened (libusb's bus and address are not Windows'), so
    // none is taken. WASAPI names an endpoint by its friendly name; the
    // other host APIs may shorten it (MME to 31 characters), so WASAPI's
    // device is preferred, then any device of exactly that name.
    const WindowsEndpoints::Found found = WindowsEndpoints::forUsbDevice(dac.vendorId, dac.productId);
    if (found.usbDevices == 1) {
        for (const bool wasapiOnly : {true, false}) {
            for (const AudioDevice& device : devices) {
                if (device.maxOutputChannels == 0)
                    continue;
                if (wasapiOnly && device.hostApi != QLatin1String("Windows WASAPI"))
                    continue;
                const std::string name = device.name.toStdString();
                if (std::find(found.names.begin(), found.names.end(), name) != found.names.end())
                    return {device.index, Method::WindowsDeviceTree};
            }
        }
    }
#endif

    return findByProduct(devices, dac.product);
}

DacAudioMatch::Match DacAudioMatch::mark(std::vector<AudioDevice>& devices, const DacUsb& dac)
{
    const Match match = find(devices, dac);
    for (AudioDevice& device : devices)
        device.dac = device.index == match.index && match.index >= 0;
    return match;
}

QString DacAudioMatch::methodName(Method method)
{
    switch (method) {
    case Method::UsbCard:
        return QStringLiteral("USB sound card");
    case Method::WindowsDeviceTree:
        return QStringLiteral("Windows device tree");
    case Method::ProductName:
        return QStringLiteral("product name");
    case Method::None:
        break;
    }
    return QStringLiteral("none");
}
