#pragma once

#include <string>

struct SettingsBlock;

// One FIELD=VALUE argument of sonvale-preset, checked against the fields of
// SettingsBlock by the names its diagnostic print uses ("pcm_mclk[3]=7").
class FieldAssignment {
public:
    // Parses `argument`; on failure returns false and puts a message naming
    // the faulty part into `error`.
    bool parse(const std::string& argument, std::string& error);

    // Stores the value in a block in host order.
    void applyTo(SettingsBlock& block) const;

    // The help text's list of fields and of filter shape names.
    static std::string fieldHelp();

private:
    int field = -1;     // row of the field table
    int index = 0;
    long value = 0;
};
