// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "testbytes.h"

#include "settings/settingsblock.h"
#include "usbsim.h"

#include <QFile>

#include <algorithm>

namespace TestBytes {

QByteArray hex(const char* spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

QByteArray patched(QByteArray block, int offset, const char* spaced)
{
    const QByteArray bytes = hex(spaced);
    return block.replace(offset, bytes.size(), bytes);
}

QString spacedHex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QByteArray bytesOf(const uint8_t* data, int count)
{
    return QByteArray(reinterpret_cast<const char*>(data), count);
}

QByteArray bytesOf(const std::vector<uint8_t>& bytes)
{
    return bytesOf(bytes.data(), int(bytes.size()));
}

QByteArray bytesOf(const VirtualDac::Block& block)
{
    return bytesOf(block.data(), int(block.size()));
}

QByteArray bytesOf(const SettingsBlock& block)
{
    return QByteArray(reinterpret_cast<const char*>(&block), sizeof block);
}

VirtualDac::Block blockOf(const QByteArray& bytes)
{
    VirtualDac::Block block{};
    for (size_t i = 0; i < block.size() && int(i) < bytes.size(); ++i)
        block[i] = uint8_t(bytes[int(i)]);
    return block;
}

VirtualDac::Answer answerOf(const char* hex)
{
    const QByteArray b = QByteArray::fromHex(hex);
    VirtualDac::Answer a{};
    std::copy(b.begin(), b.begin() + 7, a.begin());
    return a;
}

QByteArray presetFile(const QByteArray& block)
{
    uint8_t a = 0;
    uint8_t b = 0;
    for (char c : block) {
        a = uint8_t(a + uint8_t(c));
        b = uint8_t(b + a);
    }
    return block + char(a) + char(b);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList requests()
{
    QStringList result;
    for (const UsbSim::Transfer& t : UsbSim::transfers()) {
        if (t.requestType == 0x21)
            result << spacedHex(bytesOf(t.data));
    }
    return result;
}

QString consoleText(const QByteArray& output)
{
    QString lines = QString::fromUtf8(output);
#ifdef Q_OS_WIN
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
#endif
    return lines;
}

} // namespace TestBytes
