// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "control/history.h"

#include "control/dacsession.h"
#include "settings/presetfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const char* const kMarker = "sonvalectl history\n";

// A folder name from a serial number: letters, digits, '-' and '_' as they
// are, every other byte as %XX, so that no two serials share a folder and
// no name is one a file system refuses or changes (Windows drops a trailing
// dot).
std::string folderName(const std::string& serial)
{
    std::string name;
    for (unsigned char c : serial) {
        if (std::isalnum(c) && c < 0x80) {
            name += char(c);
        } else if (c == '-' || c == '_') {
            name += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    return name;
}

// What a line of the record after the preset says, "" when it is not there.
std::string recorded(const QByteArray& record, const char* label)
{
    for (const QByteArray& line : record.split('\n')) {
        if (line.startsWith(label))
            return line.mid(int(std::strlen(label))).toStdString();
    }
    return std::string();
}

// The number of an entry's file, "00000042-20261207T101502Z.sonvale": digits,
// a dash, no other dot than the one before "sonvale". Anything else in the
// folder is not an entry: a write under way ("....sonvale.tmp1234" on
// Windows, "....sonvale.Ab12Cd" elsewhere), a copy a user put there.
//
// Parsed by hand, not with QRegularExpression: the history is also read on
// the THD assistant's worker thread, and in the MinGW build a regular
// expression matched there leaves a thread_local behind (PCRE2's JIT stack)
// whose destructor runs, when that thread ends, on storage libgcc's emulated
// TLS has already freed. The fault in winpthreads' thread-exit callback
// leaves its key lock held, and the process then never ends: it waits for
// that lock in libstdc++'s unloading.
bool entryNumber(const QString& file, unsigned long long& number)
{
    const QLatin1String suffix(".sonvale");
    const qsizetype dash = file.indexOf(QLatin1Char('-'));
    const qsizetype dot = file.size() - suffix.size();
    if (dash < 1 || !file.endsWith(suffix) || file.indexOf(QLatin1Char('.'), dash) != dot)
        return false;
    for (qsizetype i = 0; i < dash; ++i) {
        if (file[i] < QLatin1Char('0') || file[i] > QLatin1Char('9'))
            return false;
    }
    number = file.left(dash).toULongLong();
    return true;
}

} // namespace

History::History(uint16_t vendorId, uint16_t productId, const std::string& serial)
    : device(DacSession::identifiers(vendorId, productId)), serial(serial)
{
    const std::string base = root();
    if (base.empty())
        return;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x-%04x", vendorId, productId);
    folder_ = base + "/" + ids + (serial.empty() ? "" : "-" + folderName(serial));
}

std::string History::root()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return std::string();
    return QDir::cleanPath(data + "/sonvale/history").toStdString();
}

const std::string& History::folder() const
{
    return folder_;
}

std::vector<History::Entry> History::entries() const
{
    std::vector<Entry> found;
    if (folder_.empty())
        return found;
    const QDir dir(QString::fromStdString(folder_));
    for (const QString& file : dir.entryList(QDir::Files)) {
        unsigned long long number = 0;
        if (!entryNumber(file, number))
            continue;
        Entry entry{number, dir.filePath(file).toStdString(), {}, {}};
        QFile in(dir.filePath(file));
        if (in.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = in.read(4096);
            const QByteArray record = bytes.mid(PresetFile::minimumSize);
            if (record.startsWith(kMarker)) {
                entry.time = recorded(record, "time: ");
                entry.command = recorded(record, "command: ");
            }
        }
        found.push_back(entry);
    }
    std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) { return a.number > b.number; });
    return found;
}

Error History::prepare() const
{
    if (folder_.empty())
        return Error(Error::Kind::File, "the system names no folder for the user's data");
    if (!QDir().mkpath(QString::fromStdString(folder_)))
        return Error(Error::Kind::File, "cannot create the folder " + folder_);
    return Error();
}

Error History::record(const uint8_t* block, const std::string& command) const
{
    if (Error error = prepare())
        return error;
    const std::vector<Entry> before = entries();
    const unsigned long long number = before.empty() ? 1 : before.front().number + 1;
    const QDateTime now = QDateTime::currentDateTime();
    char name[64];
    std::snprintf(name, sizeof name, "%08llu-%s.sonvale", number,
                  now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1().constData());

    std::string text = kMarker;
    text += "time: " + now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString() + "\n";
    text += "device: " + device + "\n";
    if (!serial.empty())
        text += "serial: " + serial + "\n";
    std::string oneLine = command;
    std::replace_if(oneLine.begin(), oneLine.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    text += "command: " + oneLine + "\n";

    std::vector<unsigned char> bytes(block, block + PresetFile::blockSize);
    bytes.resize(PresetFile::minimumSize);
    bytes.insert(bytes.end(), text.begin(), text.end());
    if (const Error error = PresetFile::write(folder_ + "/" + name, bytes))
        return error;

    // The newest 100 stay, the new one among them.
    for (size_t i = kept - 1; i < before.size(); ++i)
        QFile::remove(QString::fromStdString(before[i].path));
    return Error();
}

std::string History::localTime(const std::string& time)
{
    const QDateTime kept = QDateTime::fromString(QString::fromStdString(time), Qt::ISODate);
    if (!kept.isValid())
        return time.empty() ? "?" : time;
    return kept.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
}
