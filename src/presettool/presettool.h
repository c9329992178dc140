// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "cli/toolconsole.h"

#include <string>
#include <vector>

class FieldAssignment;

// The sonvale-preset command line: makes, shows, checks and edits preset
// files through SettingsBlock and PresetFile, so that it reads and writes
// exactly what the program itself reads.
//
// Exit statuses as ToolConsole has them: Failed when the file is no valid
// preset or cannot be read or written; diff's Different when the presets
// differ, DiffFailed when one is no valid preset or cannot be read.
class PresetTool : public ToolConsole {
public:
    PresetTool();

    // `arguments` without the program name, file names in UTF-8.
    int run(const std::vector<std::string>& arguments);

private:
    int makeNew(const std::vector<std::string>& arguments);
    int show(const std::vector<std::string>& arguments);
    int check(const std::vector<std::string>& arguments);
    int set(const std::vector<std::string>& arguments);
    int diff(const std::vector<std::string>& arguments);

    bool parseAssignments(const std::vector<std::string>& arguments, size_t first,
                          std::vector<FieldAssignment>& assignments) const;
    int save(const std::string& path, std::vector<unsigned char>& bytes) const;
};
