// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The preset reader on arbitrary files. A file is accepted exactly when it
// holds at least 50 bytes and bytes 48 and 49 are the two checksums of the
// first 48; then the block holds those 48 bytes with the THD values turned to
// host order. Any other file leaves the block as it was, byte for byte.

#include "settings/settingsblock.h"

#include "fuzzcheck.h"
#include "scratchfile.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <system_error>

namespace {

constexpr size_t kBlock = 48;

// One scratch file for the whole run, rewritten and closed for every input:
// the reader opens it by name, and on Windows a file that is held open (as
// mkstemp holds it) keeps every other opener out.
struct ScratchFile {
    ~ScratchFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    void write(const uint8_t* data, size_t size)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        out.close();
        FUZZ_CHECK(out, "cannot write %s", name.c_str());
    }
    const std::filesystem::path path = scratchFile("preset");
    const std::string name = path.u8string();   // UTF-8, as the reader takes it
};

// Bytes 48 and 49 of a valid file: two running sums over the block, both
// wrapping at 256.
bool checksumsMatch(const uint8_t* file)
{
    uint8_t a = 0;
    uint8_t b = 0;
    for (size_t i = 0; i < kBlock; ++i) {
        a = uint8_t(a + file[i]);
        b = uint8_t(b + a);
    }
    return file[kBlock] == a && file[kBlock + 1] == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ScratchFile file;
    file.write(data, size);

    // A block that is neither the defaults nor anything a short file gives.
    SettingsBlock block;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&block);
    for (size_t i = 0; i < kBlock; ++i)
        bytes[i] = uint8_t(0xA5 ^ (i * 29));
    uint8_t before[kBlock];
    std::memcpy(before, bytes, kBlock);

    const bool accepted = block.readPreset(file.name.c_str());
    const bool valid = size >= kBlock + 2 && checksumsMatch(data);
    FUZZ_CHECK(accepted == valid, "readPreset gave %d for a %s file of %zu bytes", int(accepted),
               valid ? "valid" : "invalid", size);

    if (!accepted) {
        FUZZ_CHECK(std::memcmp(bytes, before, kBlock) == 0, "a rejected file changed the block");
        return 0;
    }
    // Device order in the file: the six THD values at 10..21 are big-endian.
    uint8_t expected[kBlock];
    std::memcpy(expected, data, kBlock);
    for (size_t i = 10; i < 22; i += 2)
        std::swap(expected[i], expected[i + 1]);
    FUZZ_CHECK(std::memcmp(bytes, expected, kBlock) == 0,
               "an accepted file did not end up in the block as read");
    return 0;
}
