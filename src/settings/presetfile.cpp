// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/presetfile.h"

#include "settings/atomicfile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

PresetFile::Checksum PresetFile::checksum(const uint8_t* block)
{
    Checksum sum{0, 0};
    for (int i = 0; i < blockSize; ++i) {
        sum.a = static_cast<uint8_t>(sum.a + block[i]);
        sum.b = static_cast<uint8_t>(sum.b + sum.a);
    }
    return sum;
}

namespace {

std::string hexByte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

Error fileError(std::string cause)
{
    return Error(Error::Kind::File, std::move(cause));
}

} // namespace

Error PresetFile::read(const std::string& path, std::vector<unsigned char>& bytes)
{
    std::FILE* file = open(path.c_str(), "rb");
    if (!file)
        return fileError("cannot open " + path + ": " + std::strerror(errno));
    bytes.clear();
    unsigned char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (failed)
        return fileError("cannot read " + path + ": " + std::strerror(readError));

    if (bytes.size() < static_cast<size_t>(minimumSize))
        return fileError("shorter than 50 bytes (it has " + std::to_string(bytes.size()) + ")");
    const Checksum sum = checksum(bytes.data());
    if (bytes[48] != sum.a)
        return fileError("checksum byte A (offset 48) is wrong: expected " + hexByte(sum.a)
                         + ", found " + hexByte(bytes[48]));
    if (bytes[49] != sum.b)
        return fileError("checksum byte B (offset 49) is wrong: expected " + hexByte(sum.b)
                         + ", found " + hexByte(bytes[49]));
    return Error();
}

Error PresetFile::write(const std::string& path, std::vector<unsigned char>& bytes)
{
    const Checksum sum = checksum(bytes.data());
    bytes[blockSize] = sum.a;
    bytes[blockSize + 1] = sum.b;
    return AtomicFile::write(path, bytes);
}

#ifdef _WIN32

std::wstring PresetFile::widePath(const char* path)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));   // without the terminating zero
    return wide;
}

std::FILE* PresetFile::open(const char* path, const char* mode)
{
    const std::wstring widePathName = widePath(path);
    if (widePathName.empty())                       // not UTF-8: an ANSI name after all
        return std::fopen(path, mode);
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(widePathName.c_str(), wideMode.c_str());
}

#else

std::FILE* PresetFile::open(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

#endif
