// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <filesystem>
#include <string>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

// Where a fuzz target keeps the file it rewrites for each input: the
// system's temporary folder (TMPDIR, or TMP and TEMP on Windows, where /tmp
// means a folder of the current drive), one name per process so that
// targets running side by side do not meet.
inline std::filesystem::path scratchFile(const char* target)
{
#ifdef _WIN32
    const int id = _getpid();
#else
    const int id = int(getpid());
#endif
    return std::filesystem::temp_directory_path()
           / ("sonvale-fuzz-" + std::string(target) + "-" + std::to_string(id));
}
