// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/fieldassignment.h"

#include "settings/blocklayout.h"
#include "settings/settingsblock.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

enum class Kind {
    Byte,       // a number
    Character,  // a number or one character (hwType)
    Filter,     // a number or a shape name, stored in bits 7..5
    Thd,        // a signed 16-bit number
};

// Every field reaches its bytes through SettingsBlock itself, so the table
// holds names and ranges but no offsets.
struct Field {
    const char* name;
    int entries;        // 1: a single value, written without an index
    Kind kind;
    long minimum;
    long maximum;
    uint8_t* (*bytes)(SettingsBlock&);
    int16_t* (*values)(SettingsBlock&);
};

const Field fields[] = {
    {"hwType", 1, Kind::Character, 0, 255, [](SettingsBlock& b) { return &b.hwType; }, nullptr},
    {"version", 1, Kind::Byte, 0, 255, [](SettingsBlock& b) { return &b.version; }, nullptr},
    {"mute", 1, Kind::Byte, 0, 255, [](SettingsBlock& b) { return &b.mute; }, nullptr},
    {"standby", 1, Kind::Byte, 0, 255, [](SettingsBlock& b) { return &b.standby; }, nullptr},
    {"volume", 4, Kind::Byte, 0, 255, [](SettingsBlock& b) { return b.volume; }, nullptr},
    {"thd_vol_thresholds", 2, Kind::Byte, 0, 255,
     [](SettingsBlock& b) { return b.thd_vol_thresholds; }, nullptr},
    {"thd_range0", 2, Kind::Thd, SettingsBlock::thdValueLowest, SettingsBlock::thdValueHighest,
     nullptr, [](SettingsBlock& b) { return b.thd_range0; }},
    {"thd_range1", 2, Kind::Thd, SettingsBlock::thdValueLowest, SettingsBlock::thdValueHighest,
     nullptr, [](SettingsBlock& b) { return b.thd_range1; }},
    {"thd_range2", 2, Kind::Thd, SettingsBlock::thdValueLowest, SettingsBlock::thdValueHighest,
     nullptr, [](SettingsBlock& b) { return b.thd_range2; }},
    {"pcm_mclk", BlockLayout::rateEntries, Kind::Byte, 0, BlockLayout::maxMclk,
     [](SettingsBlock& b) { return b.pcm_mclk; }, nullptr},
    {"dsd_mclk", 3, Kind::Byte, 0, 255, [](SettingsBlock& b) { return b.dsd_mclk; }, nullptr},
    {"pcm_filter", BlockLayout::rateEntries, Kind::Filter, 0, 255,
     [](SettingsBlock& b) { return b.pcm_filter; }, nullptr},
    {"dsd_filter", 3, Kind::Byte, 0, 255, [](SettingsBlock& b) { return b.dsd_filter; }, nullptr},
};

// The filter shapes by the names the window's filter box shows, in the order
// of the shape number (bits 7..5 of a pcm_filter byte).
const char* const shapeNames[] = {
    "Min phase",         "Linear phase apo", "Linear phase fast", "Linear ph fast low rpl",
    "Linear phase slow", "Min phase fast",   "Min phase slow",    "Min ph slow low disp",
};

// Where a field starts in the block, found through its accessor.
int offsetOf(const Field& f)
{
    SettingsBlock block;
    const auto* base = reinterpret_cast<const uint8_t*>(&block);
    const auto* first = f.kind == Kind::Thd ? reinterpret_cast<const uint8_t*>(f.values(block)) : f.bytes(block);
    return static_cast<int>(first - base);
}

int elementSize(const Field& f)
{
    return f.kind == Kind::Thd ? 2 : 1;
}

bool equalIgnoringCase(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Decimal or 0x-hexadecimal, with an optional minus sign; nothing else.
bool parseNumber(const std::string& text, long& number)
{
    size_t pos = text.compare(0, 1, "-") == 0 ? 1 : 0;
    int base = 10;
    if (text.compare(pos, 2, "0x") == 0 || text.compare(pos, 2, "0X") == 0) {
        base = 16;
        pos += 2;
    }
    if (pos == text.size())
        return false;
    for (size_t i = pos; i < text.size(); ++i) {
        const int c = static_cast<unsigned char>(text[i]);
        if (base == 16 ? !std::isxdigit(c) : !std::isdigit(c))
            return false;
    }
    errno = 0;
    const long magnitude = std::strtol(text.c_str() + pos, nullptr, base);
    if (errno == ERANGE)
        number = text[0] == '-' ? -2147483647L : 2147483647L;   // out of every field's range
    else
        number = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

Error refused(const std::string& cause)
{
    return Error(Error::Kind::Refused, cause);
}

} // namespace

Error FieldAssignment::parseTarget(const std::string& target, bool wholeAllowed)
{
    std::string name = target;
    std::string indexText;
    const size_t bracket = target.find('[');
    if (bracket != std::string::npos) {
        name = target.substr(0, bracket);
        if (target.back() == ']')
            indexText = target.substr(bracket + 1, target.size() - bracket - 2);
        if (indexText.empty())
            return refused("malformed field '" + target + "': expected NAME or NAME[INDEX]");
    }

    field = -1;
    for (int i = 0; i < static_cast<int>(std::size(fields)); ++i) {
        if (name == fields[i].name)
            field = i;
    }
    if (field < 0)
        return Error(Error::Kind::NotFound, "unknown field '" + name + "'");
    const Field& f = fields[field];

    index = 0;
    whole = false;
    const std::string range = "0.." + std::to_string(f.entries - 1);
    if (f.entries == 1 && bracket != std::string::npos)
        return refused("field '" + name + "' takes no index");
    if (f.entries > 1 && bracket == std::string::npos) {
        whole = wholeAllowed;
        if (!whole)
            return refused("field '" + name + "' needs an index " + range + ", e.g. " + name
                           + "[0]");
        return Error();
    }
    if (f.entries > 1) {
        long number = 0;
        if (!parseNumber(indexText, number) || number < 0 || number >= f.entries)
            return refused("index '" + indexText + "' of " + name + " is out of range " + range);
        index = static_cast<int>(number);
    }
    return Error();
}

Error FieldAssignment::parseField(const std::string& target)
{
    return parseTarget(target, true);
}

Error FieldAssignment::parse(const std::string& argument)
{
    const size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0)
        return refused("malformed argument '" + argument
                       + "': expected FIELD=VALUE, e.g. pcm_mclk[0]=7");
    const std::string target = argument.substr(0, equals);
    const std::string text = argument.substr(equals + 1);
    if (Error error = parseTarget(target, false))
        return error;
    const Field& f = fields[field];

    if (text.empty())
        return refused("missing value for " + target);
    if (parseNumber(text, value)) {
        if (value < f.minimum || value > f.maximum)
            return refused("value " + text + " of " + target + " is out of range "
                           + std::to_string(f.minimum) + ".." + std::to_string(f.maximum));
        return Error();
    }
    if (f.kind == Kind::Character && text.size() == 1) {
        value = static_cast<unsigned char>(text[0]);
        return Error();
    }
    if (f.kind == Kind::Filter) {
        for (int shape = 0; shape < static_cast<int>(std::size(shapeNames)); ++shape) {
            if (equalIgnoringCase(text, shapeNames[shape])) {
                value = shape << BlockLayout::shapeShift;
                return Error();
            }
        }
        return refused("value '" + text + "' of " + target
                       + " is neither a number nor a filter shape name");
    }
    return refused("value '" + text + "' of " + target + " is not a number"
                   + (f.kind == Kind::Character ? " or a single character" : ""));
}

void FieldAssignment::applyTo(SettingsBlock& block) const
{
    const Field& f = fields[field];
    if (f.kind == Kind::Thd)
        f.values(block)[index] = static_cast<int16_t>(value);
    else
        f.bytes(block)[index] = static_cast<uint8_t>(value);
}

std::vector<long> FieldAssignment::valuesIn(const SettingsBlock& block) const
{
    const std::vector<long> all = fieldValues(field, block);
    if (whole)
        return all;
    return {all[static_cast<size_t>(index)]};
}

int FieldAssignment::offset() const
{
    return offsetOf(fields[field]) + (whole ? 0 : index * elementSize(fields[field]));
}

int FieldAssignment::length() const
{
    const Field& f = fields[field];
    return (whole ? f.entries : 1) * elementSize(f);
}

int FieldAssignment::fieldCount()
{
    return static_cast<int>(std::size(fields));
}

const char* FieldAssignment::fieldName(int field)
{
    return fields[field].name;
}

std::vector<long> FieldAssignment::fieldValues(int field, const SettingsBlock& block)
{
    const Field& f = fields[field];
    SettingsBlock b = block;      // the table's accessors give writable pointers
    std::vector<long> values;
    for (int i = 0; i < f.entries; ++i)
        values.push_back(f.kind == Kind::Thd ? long(f.values(b)[i]) : long(f.bytes(b)[i]));
    return values;
}

std::string FieldAssignment::nameAt(int offset)
{
    int index = 0;
    const int field = fieldAt(offset, index);
    if (field < 0)
        return "byte " + std::to_string(offset);
    if (fields[field].entries == 1)
        return fields[field].name;
    return std::string(fields[field].name) + "[" + std::to_string(index) + "]";
}

int FieldAssignment::fieldAt(int offset, int& index)
{
    for (int field = 0; field < fieldCount(); ++field) {
        const Field& f = fields[field];
        const int first = offsetOf(f);
        const int size = elementSize(f);
        if (offset < first || offset >= first + f.entries * size)
            continue;
        index = (offset - first) / size;
        return field;
    }
    return -1;
}

std::vector<FieldAssignment::Difference> FieldAssignment::differences(const uint8_t* first, const uint8_t* second,
                                                                      int from)
{
    const SettingsBlock a = SettingsBlock::fromDeviceBytes(first);
    const SettingsBlock b = SettingsBlock::fromDeviceBytes(second);
    std::vector<Difference> found;
    for (int offset = from; offset < int(sizeof(SettingsBlock)); ++offset) {
        const std::string name = nameAt(offset);
        if (first[offset] == second[offset] || (!found.empty() && found.back().name == name))
            continue;
        int index = 0;
        const int field = fieldAt(offset, index);
        if (field < 0)
            found.push_back({name, first[offset], second[offset]});
        else
            found.push_back({name, fieldValues(field, a)[size_t(index)], fieldValues(field, b)[size_t(index)]});
    }
    return found;
}

const char* FieldAssignment::shapeName(int shape)
{
    return shapeNames[shape & 7];
}

std::string FieldAssignment::fieldHelp()
{
    std::string help =
        "Fields, by the names 'show' prints; arrays take an index in brackets:\n"
        "  hwType                    0..255, or one character (default s)\n"
        "  version, mute, standby    0..255\n"
        "  volume[0..3]              0..255: left and right attenuation in half-dB\n"
        "                            steps, then the max and min ends of the dB scale\n"
        "  thd_vol_thresholds[0..1]  0..255\n"
        "  thd_range0[0..1]          -32768..32767: [0] 2nd, [1] 3rd harmonic; the\n"
        "                            window shows range 0 as the left DAC\n"
        "  thd_range1[0..1]          likewise; the window's right DAC\n"
        "  thd_range2[0..1]          likewise\n"
        "  pcm_mclk[0..7]            0..15 (0..3: IDAC_NUM, CLK GEAR, MASTER_BCK, DPLL_BW)\n"
        "  dsd_mclk[0..2]            0..255\n"
        "  pcm_filter[0..7]          the whole byte 0..255, or a shape name, which is\n"
        "                            stored in bits 7..5 (0..3: DAC1 to DAC4):\n";
    for (int shape = 0; shape < static_cast<int>(std::size(shapeNames)); ++shape) {
        char line[80];
        std::snprintf(line, sizeof line, "                            0x%02X \"%s\"%s\n",
                      shape << BlockLayout::shapeShift, shapeNames[shape],
                      shape + 1 < static_cast<int>(std::size(shapeNames)) ? "," : "");
        help += line;
    }
    help +=
        "  dsd_filter[0..2]          0..255\n"
        "Values are decimal or 0x-hexadecimal; THD values may be negative.\n";
    return help;
}
