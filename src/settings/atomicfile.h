// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

// Replaces a file all at once: the bytes go to a temporary file in the same
// folder, which is renamed over the target only once it is complete. A reader
// sees the old file or the new one, never a half-written one.
class AtomicFile {
public:
    // `path` is UTF-8. On failure returns false, leaves the target as it was,
    // removes the temporary file and puts the reason into `error`.
    static bool write(const std::string& path, const std::vector<unsigned char>& bytes, std::string& error);
};
