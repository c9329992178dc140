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

// What the chunks say: the format chunk's fields (the format tag already
// resolved through an extensible subformat) and where the samples are.
struct Layout {
    bool haveFormat = false;
    uint16_t tag = 0;
    uint16_t channelCount = 0;
    uint16_t blockAlign = 0;
    uint16_t bits = 0;
    uint32_t rate = 0;
    const uint8_t* data = nullptr;
    std::size_t dataSize = 0;
};

// The format chunk at `f`, of `chunkSize` bytes that fit in the file.
bool readFormat(const uint8_t* f, std::size_t chunkSize, Layout& layout, std::string& error)
{
    if (chunkSize < 16) {
        error = "bad header: the format chunk is too short";
        return false;
    }
    layout.tag = u16(f);
    layout.channelCount = u16(f + 2);
    layout.rate = u32(f + 4);
    layout.blockAlign = u16(f + 12);
    layout.bits = u16(f + 14);
    if (layout.tag == formatExtensible) {
        if (chunkSize < 40 || u16(f + 16) < 22) {
            error = "bad header: the extensible format chunk is too short";
            return false;
        }
        const uint16_t validBits = u16(f + 18);
        if (validBits == 0 || validBits > layout.bits) {
            error = "bad header: " + std::to_string(validBits) + " valid bits in "
                    + std::to_string(layout.bits) + "-bit samples";
            return false;
        }
        if (std::memcmp(f + 26, subformatTail, sizeof subformatTail)) {
            error = "unsupported format: an extensible subformat that is neither PCM nor float";
            return false;
        }
        layout.tag = u16(f + 24);
    }
    layout.haveFormat = true;
    return true;
}

// Walks the chunks after the RIFF header up to the data chunk. Sizes are
// read as 32 bits and added in std::size_t (64 bits here, and checked
// against what is left on a 32-bit build): nothing can wrap.
bool findChunks(const uint8_t* bytes, std::size_t size, Layout& layout, std::string& error)
{
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
            if (!readFormat(chunk + 8, chunkSize, layout, error))
                return false;
        } else if (!std::memcmp(chunk, "data", 4)) {
            if (!layout.haveFormat) {
                error = "bad header: the data chunk comes before the format chunk";
                return false;
            }
            if (chunkSize > left) {
                error = "truncated: the data chunk holds " + std::to_string(chunkSize)
                        + " bytes, the file " + std::to_string(left);
                return false;
            }
            layout.data = chunk + 8;
            layout.dataSize = chunkSize;
            return true;
        } else if (chunkSize > left) {
            error = "truncated: the chunk \"" + chunkName(chunk) + "\" ends after the file";
            return false;
        }
        pos += 8 + chunkSize + (chunkSize & 1);
    }
    if (!layout.haveFormat) {
        error = "bad header: no format chunk";
        return false;
    }
    return true;
}

// The sample format: PCM of 16, 24 or 32 bits, or 32-bit float.
bool checkEncoding(const Layout& layout, std::string& error)
{
    if (layout.tag == formatPcm) {
        if (layout.bits != 16 && layout.bits != 24 && layout.bits != 32) {
            error = "unsupported format: " + std::to_string(layout.bits)
                    + "-bit PCM (16-, 24- and 32-bit PCM and 32-bit float are read)";
            return false;
        }
    } else if (layout.tag == formatFloat) {
        if (layout.bits != 32) {
            error = "unsupported format: " + std::to_string(layout.bits)
                    + "-bit float (16-, 24- and 32-bit PCM and 32-bit float are read)";
            return false;
        }
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", unsigned(layout.tag));
        error = std::string("unsupported format: format tag ") + hex
                + ", not PCM or float (compressed audio is not read)";
        return false;
    }
    return true;
}

// The encoding, then the channels, the rate and the frame size.
bool checkFormat(const Layout& layout, std::string& error)
{
    if (!checkEncoding(layout, error))
        return false;
    if (layout.channelCount == 0) {
        error = "bad header: no channels";
        return false;
    }
    if (layout.channelCount > WavFile::maximumChannels) {
        error = "too many channels: " + std::to_string(layout.channelCount)
                + " (mono or stereo is read)";
        return false;
    }
    if (layout.rate < std::uint32_t(WavFile::minimumRateHz)
        || layout.rate > std::uint32_t(WavFile::maximumRateHz)) {
        error = "sample rate out of range: " + std::to_string(layout.rate) + " Hz ("
                + std::to_string(WavFile::minimumRateHz) + " to "
                + std::to_string(WavFile::maximumRateHz) + " Hz)";
        return false;
    }
    const std::size_t frameBytes = std::size_t(layout.channelCount) * (layout.bits / 8);
    if (layout.blockAlign != frameBytes) {
        error = "bad header: a frame of " + std::to_string(layout.blockAlign) + " bytes for "
                + std::to_string(layout.channelCount) + " channels of "
                + std::to_string(layout.bits) + " bits";
        return false;
    }
    return true;
}

// Whole frames in the data chunk; a trailing part frame is left out.
bool countFrames(const Layout& layout, std::size_t& frames, std::string& error)
{
    if (!layout.data) {
        error = "bad header: no data chunk";
        return false;
    }
    frames = layout.dataSize / layout.blockAlign;
    if (frames == 0) {
        error = "no samples: the data chunk is empty";
        return false;
    }
    if (frames > WavFile::maximumSamples / layout.channelCount) {
        error = "too long: " + std::to_string(frames) + " frames (at most "
                + std::to_string(WavFile::maximumSamples) + " samples are analysed)";
        return false;
    }
    return true;
}

// One sample at `p`, full scale 1.0; false for a float that is not finite.
bool decodeSample(const uint8_t* p, const Layout& layout, double& value)
{
    if (layout.tag == formatFloat) {
        const uint32_t raw = u32(p);
        float f;
        std::memcpy(&f, &raw, sizeof f);
        value = f;
        return std::isfinite(f);
    }
    if (layout.bits == 16) {
        value = int16_t(u16(p)) / 32768.0;
    } else if (layout.bits == 24) {
        const int32_t raw =
            int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
        value = (raw >> 8) / 8388608.0;
    } else {
        value = int32_t(u32(p)) / 2147483648.0;
    }
    return true;
}

// The interleaved frames into one vector per channel.
bool decodeSamples(const Layout& layout, std::size_t frames,
                   std::vector<std::vector<double>>& channels, std::string& error)
{
    channels.assign(layout.channelCount, std::vector<double>(frames));
    const std::size_t sampleBytes = layout.bits / 8;
    const uint8_t* p = layout.data;
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < layout.channelCount; ++c) {
            if (!decodeSample(p, layout, channels[c][i])) {
                error = "bad samples: not a number or infinite at frame " + std::to_string(i);
                return false;
            }
            p += sampleBytes;
        }
    }
    return true;
}

} // namespace

Error WavFile::read(const std::string& path)
{
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    if (!file)
        return Error(Error::Kind::File, "cannot open " + path);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0)
        return Error(Error::Kind::File, "cannot read " + path);
    // The longest data allowed in the widest samples, and room for other
    // chunks around it.
    const std::streamoff largest = std::streamoff(maximumSamples) * 4 + (std::streamoff(1) << 24);
    if (size > largest)
        return Error(Error::Kind::File, "too long: " + std::to_string(size) + " bytes (at most "
                                            + std::to_string(maximumSamples)
                                            + " samples are analysed)");
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(bytes.data()), size))
        return Error(Error::Kind::File, "cannot read " + path);
    return parse(bytes.data(), bytes.size());
}

Error WavFile::parse(const uint8_t* bytes, std::size_t size)
{
    rateHz = 0;
    bitsPerSample = 0;
    isFloat = false;
    channels.clear();

    if (size < 12 || std::memcmp(bytes, "RIFF", 4) || std::memcmp(bytes + 8, "WAVE", 4))
        return Error(Error::Kind::File, "bad header: not a RIFF/WAVE file");
    Layout layout;
    std::size_t frames = 0;
    std::string cause;
    if (!findChunks(bytes, size, layout, cause) || !checkFormat(layout, cause)
        || !countFrames(layout, frames, cause))
        return Error(Error::Kind::File, cause);
    if (!decodeSamples(layout, frames, channels, cause)) {
        channels.clear();
        return Error(Error::Kind::File, cause);
    }
    rateHz = int(layout.rate);
    bitsPerSample = layout.bits;
    isFloat = layout.tag == formatFloat;
    return Error();
}

std::string WavFile::formatName() const
{
    return std::to_string(bitsPerSample) + (isFloat ? "-bit float" : "-bit PCM");
}

double WavFile::seconds() const
{
    return channels.empty() || rateHz <= 0 ? 0.0 : double(channels[0].size()) / rateHz;
}

std::vector<uint8_t> WavFile::floatFile(const std::vector<std::vector<double>>& channels, int rateHz)
{
    const auto count = uint16_t(channels.size());
    const std::size_t frames = channels.empty() ? 0 : channels.front().size();
    const auto dataBytes = uint32_t(frames * count * 4);
    std::vector<uint8_t> bytes;
    // RIFF, fmt, fact and data headers, then the samples.
    bytes.reserve(56 + std::size_t(dataBytes));
    auto text = [&](const char* four) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(four[i]));
    };
    auto le = [&](uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes.push_back(uint8_t(value >> (8 * i)));
    };
    text("RIFF");
    le(4 + 8 + 16 + 8 + 4 + 8 + dataBytes, 4);
    text("WAVE");
    text("fmt ");
    le(16, 4);
    le(formatFloat, 2);
    le(count, 2);
    le(uint32_t(rateHz), 4);
    le(uint32_t(rateHz) * count * 4, 4);
    le(count * 4u, 2);
    le(32, 2);
    // Every format but PCM carries its length in frames.
    text("fact");
    le(4, 4);
    le(uint32_t(frames), 4);
    text("data");
    le(dataBytes, 4);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (const std::vector<double>& channel : channels) {
            const float sample = float(channel[frame]);
            uint32_t word = 0;
            std::memcpy(&word, &sample, 4);
            le(word, 4);
        }
    }
    return bytes;
}
