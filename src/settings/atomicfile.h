// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <string>
#include <vector>

// Replaces a file all at once: the bytes go to a temporary file in the same
// folder, which is renamed over the target only once it is complete. A reader
// sees the old file or the new one, never a half-written one.
//
// QSaveFile does the same up to the rename, but not what the history needs
// of it: that an entry, once written, is on the disk before the DAC is
// changed. So the folder is synced after the rename too (on Windows the
// rename is made with MOVEFILE_WRITE_THROUGH), which QSaveFile does not do.
// It also replaces a read-only file as rename(2) does, where QSaveFile
// refuses it, and its messages name the system's reason.
class AtomicFile {
public:
    // `path` is UTF-8. On failure returns a Kind::File error with the reason,
    // leaves the target as it was and removes the temporary file; only when
    // the folder cannot be synced has the target been replaced already.
    static Error write(const std::string& path, const std::vector<unsigned char>& bytes);
};
