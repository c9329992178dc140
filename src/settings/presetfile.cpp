#include "settings/presetfile.h"

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
