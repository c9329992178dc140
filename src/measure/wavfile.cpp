// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/wavfile.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// RIFF/WAVE, all little-endian:
//   "RIFF" size "WAVE", then chunks: id (4 bytes), size (4), data, a pad
//   byte after an odd size.
//   "fmt ": format tag (2), channels (2), rate (4), bytes per second (4),
//           block align (2), bits per sample (2); for WAVE_FORMAT_EXTENSIBLE
//           (0xFFFE) then extra size (2, ≥ 22), valid bits (2), channel
//           mask (4) and the subformat GUID (16), whose first two bytes are
//           the format tag and the rest the fixed tail below.
//   "data": the frames, channels interleaved.
constexpr uint16_t formatPcm = 1;
constexpr uint16_t formatFloat = 3;
constexpr uint16_t formatExtensible = 0xFFFE;
const uint8_t subformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t u16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string chunkName(const uint8_t* p)
{
    std::string name;
    for (int i = 0; i < 4; ++i)
        name += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '?';
    return name;
}

} // namespace

bool WavFile::read(const std::string& path, std::string& error)
{
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0) {
        error = "cannot read " + path;
        return false;
    }
    // The longest data allowed in the widest samples, and room for other
    // chunks around it.
    const std::streamoff largest = std::streamoff(maximumSamples) * 4 + (std::streamoff(1) << 24);
    if (size > largest) {
        error = "too long: " + std::to_string(size) + " bytes (at most "
                + std::to_string(maximumSamples) + " samples are analysed)";
        return false;
    }
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "cannot read " + path;
        return false;
    }
    return parse(bytes.data(), bytes.size(), error);
}

bool WavFile::parse(const uint8_t* bytes, std::size_t size, std::string& error)
{
    rateHz = 0;
    bitsPerSample = 0;
    isFloat = false;
    channels.clear();

    if (size < 12 || std::memcmp(bytes, "RIFF", 4) || std::memcmp(bytes + 8, "WAVE", 4)) {
        error = "bad header: not a RIFF/WAVE file";
        return false;
    }
    bool haveFormat = false;
    uint16_t tag = 0, channelCount = 0, blockAlign = 0, bits = 0;
    uint32_t rate = 0;
    const uint8_t* data = nullptr;
    std::size_t dataSize = 0;
    // Sizes are read as 32 bits and added in std::size_t (64 bits here, and
    // checked against what is left on a 32-bit build): nothing can wrap.
    std::size_t pos = 12;
    while (pos + 8 <= size) {
        const uint8_t* chunk = bytes + pos;
        const std::size_t chunkSize = u32(chunk + 4);
        const std::size_t left = size - pos - 8;
        if (!std::memcmp(chunk, "fmt ", 4)) {
            if (chunkSize > left) {
                error = "truncated: the format chunk ends after the file";
                return false;
            }
            if (chunkSize < 16) {
                error = "bad header: the format chunk is too short";
                return false;
            }
            const uint8_t* f = chunk + 8;
            tag = u16(f);
            channelCount = u16(f + 2);
            rate = u32(f + 4);
            blockAlign = u16(f + 12);
            bits = u16(f + 14);
            if (tag == formatExtensible) {
                if (chunkSize < 40 || u16(f + 16) < 22) {
                    error = "bad header: the extensible format chunk is too short";
                    return false;
                }
                const uint16_t validBits = u16(f + 18);
                if (validBits == 0 || validBits > bits) {
                    error = "bad header: " + std::to_string(validBits) + " valid bits in "
                            + std::to_string(bits) + "-bit samples";
                    return false;
                }
                if (std::memcmp(f + 26, subformatTail, sizeof subformatTail)) {
                    error = "unsupported format: an extensible subformat that is neither PCM nor float";
                    return false;
                }
                tag = u16(f + 24);
            }
            haveFormat = true;
        } else if (!std::memcmp(chunk, "data", 4)) {
            if (!haveFormat) {
                error = "bad header: the data chunk comes before the format chunk";
                return false;
            }
            if (chunkSize > left) {
                error = "truncated: the data chunk holds " + std::to_string(chunkSize)
                        + " bytes, the file " + std::to_string(left);
                return false;
            }
            data = chunk + 8;
            dataSize = chunkSize;
            break;
        } else if (chunkSize > left) {
            error = "truncated: the chunk \"" + chunkName(chunk) + "\" ends after the file";
            return false;
        }
        pos += 8 + chunkSize + (chunkSize & 1);
    }
    if (!haveFormat) {
        error = "bad header: no format chunk";
        return false;
    }

    if (tag == formatPcm) {
        if (bits != 16 && bits != 24 && bits != 32) {
            error = "unsupported format: " + std::to_string(bits)
                    + "-bit PCM (16-, 24- and 32-bit PCM and 32-bit float are read)";
            return false;
        }
    } else if (tag == formatFloat) {
        if (bits != 32) {
            error = "unsupported format: " + std::to_string(bits)
                    + "-bit float (16-, 24- and 32-bit PCM and 32-bit float are read)";
            return false;
        }
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", unsigned(tag));
        error = std::string("unsupported format: format tag ") + hex
                + ", not PCM or float (compressed audio is not read)";
        return false;
    }
    if (channelCount == 0) {
        error = "bad header: no channels";
        return false;
    }
    if (channelCount > maximumChannels) {
        error = "too many channels: " + std::to_string(channelCount) + " (mono or stereo is read)";
        return false;
    }
    if (rate < std::uint32_t(minimumRateHz) || rate > std::uint32_t(maximumRateHz)) {
        error = "sample rate out of range: " + std::to_string(rate) + " Hz (44100 to 192000 Hz)";
        return false;
    }
    const std::size_t frameBytes = std::size_t(channelCount) * (bits / 8);
    if (blockAlign != frameBytes) {
        error = "bad header: a frame of " + std::to_string(blockAlign) + " bytes for "
                + std::to_string(channelCount) + " channels of " + std::to_string(bits) + " bits";
        return false;
    }
    if (!data) {
        error = "bad header: no data chunk";
        return false;
    }
    const std::size_t frames = dataSize / frameBytes;
    if (frames == 0) {
        error = "no samples: the data chunk is empty";
        return false;
    }
    if (frames > maximumSamples / channelCount) {
        error = "too long: " + std::to_string(frames) + " frames (at most "
                + std::to_string(maximumSamples) + " samples are analysed)";
        return false;
    }

    channels.assign(channelCount, std::vector<double>(frames));
    const uint8_t* p = data;
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < channelCount; ++c) {
            double value;
            if (tag == formatFloat) {
                const uint32_t raw = u32(p);
                float f;
                std::memcpy(&f, &raw, sizeof f);
                if (!std::isfinite(f)) {
                    channels.clear();
                    error = "bad samples: not a number or infinite at frame " + std::to_string(i);
                    return false;
                }
                value = f;
            } else if (bits == 16) {
                value = int16_t(u16(p)) / 32768.0;
            } else if (bits == 24) {
                const int32_t raw = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
                value = (raw >> 8) / 8388608.0;
            } else {
                value = int32_t(u32(p)) / 2147483648.0;
            }
            channels[c][i] = value;
            p += bits / 8;
        }
    }
    rateHz = int(rate);
    bitsPerSample = bits;
    isFloat = tag == formatFloat;
    return true;
}

std::string WavFile::formatName() const
{
    return std::to_string(bitsPerSample) + (isFloat ? "-bit float" : "-bit PCM");
}

double WavFile::seconds() const
{
    return channels.empty() || rateHz <= 0 ? 0.0 : double(channels[0].size()) / rateHz;
}
