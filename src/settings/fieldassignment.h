// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"

#include <cstdint>
#include <string>
#include <vector>

struct SettingsBlock;

// One field of SettingsBlock named as its diagnostic print names it, with an
// index where it is an array ("pcm_mclk[3]"), and for an assignment the
// value to store ("pcm_mclk[3]=7"). sonvale-preset and sonvalectl take
// fields, values and ranges through this one class.
class FieldAssignment {
public:
    // Parses FIELD=VALUE. Refused, the cause names the faulty part; a field
    // of no such name is NotFound ("unknown field 'volumen'"), for the tool
    // to point at the list of fields it prints.
    Error parse(const std::string& argument);

    // Parses FIELD or FIELD[INDEX], a field to read: an array named without
    // an index stands for all of its entries. Fails as parse() does.
    Error parseField(const std::string& target);

    // Stores the value in a block in host order.
    void applyTo(SettingsBlock& block) const;

    // The value or values named, from a block in host order.
    std::vector<long> valuesIn(const SettingsBlock& block) const;

    // Where the named value or values lie in the block: the first byte and
    // the number of bytes.
    int offset() const;
    int length() const;

    // Every field in block order, for listing them all.
    static int fieldCount();
    static const char* fieldName(int field);
    static std::vector<long> fieldValues(int field, const SettingsBlock& block);

    // The value a byte of the block belongs to ("thd_range1[0]",
    // "pcm_filter[2]"); "byte 22" for the unnamed ones.
    static std::string nameAt(int offset);

    // Where two blocks in device order differ, from byte `from` on, in block
    // order: each value by the name nameAt() gives it, with what each block
    // holds as get prints it (a THD value signed, an unnamed byte as it is).
    struct Difference {
        std::string name;
        long first;
        long second;
    };
    static std::vector<Difference> differences(const uint8_t* first, const uint8_t* second, int from = 0);

    // The filter shape (bits 7..5 of a pcm_filter byte) as the window names it.
    static const char* shapeName(int shape);

    // The help text's list of fields and of filter shape names.
    static std::string fieldHelp();

private:
    // The row of the field that holds byte `offset`, and the entry in
    // `index`; -1 for an unnamed byte.
    static int fieldAt(int offset, int& index);
    Error parseTarget(const std::string& target, bool wholeAllowed);

    int field = -1;     // row of the field table
    int index = 0;
    bool whole = false; // every entry of an array
    long value = 0;
};
