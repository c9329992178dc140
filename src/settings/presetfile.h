// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "settings/blocklayout.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A preset file is a flat byte sequence with no header:
//
//   0..47  the settings block in device order (THD values big-endian)
//   48     checksum byte A
//   49     checksum byte B
//   50..   ignored
//
// The checksum is Fletcher's two sums over bytes 0..47 as stored, but both
// wrap at 256 (not 255): A += b, then B += A, for every byte in turn.
class PresetFile {
public:
    static constexpr int blockSize = BlockLayout::size;
    static constexpr int minimumSize = blockSize + 2;

    struct Checksum {
        uint8_t a;
        uint8_t b;
    };

    // `block` points at the 48 bytes exactly as they are (or will be) stored.
    static Checksum checksum(const uint8_t* block);

    // Reads the whole file at `path` (UTF-8) into `bytes`. No error for a
    // valid preset, otherwise a Kind::File error with the reason it is not
    // one, in the order the program's reader tests: opening, length,
    // checksum byte A, checksum byte B.
    static Error read(const std::string& path, std::vector<unsigned char>& bytes);

    // Sets both checksum bytes over the block at the start of `bytes` (at
    // least 50 of them) and replaces the file at `path` with all of them at
    // once (AtomicFile). On failure returns AtomicFile's Kind::File error.
    static Error write(const std::string& path, std::vector<unsigned char>& bytes);

    // fopen() for a path given as UTF-8. Windows' fopen() takes the ANSI code
    // page, which cannot name most non-ASCII files, so there the path goes
    // through its UTF-16 form.
    static std::FILE* open(const char* path, const char* mode);

#ifdef _WIN32
    // The UTF-16 form of a UTF-8 path; empty when `path` is not valid UTF-8.
    static std::wstring widePath(const char* path);
#endif
};
