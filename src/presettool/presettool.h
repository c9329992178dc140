// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

class FieldAssignment;

// The sonvale-preset command line: makes, shows, checks and edits preset
// files through SettingsBlock and PresetFile, so that it reads and writes
// exactly what the program itself reads.
class PresetTool {
public:
    enum ExitStatus {
        Done = 0,
        NotValid = 1,   // the file is no valid preset, or cannot be read or written
        BadUsage = 2,   // bad command line; nothing was written
        Different = 1,  // diff: the presets differ
        DiffFailed = 3, // diff: a file is no valid preset, or cannot be read
    };

    // `arguments` without the program name, file names in UTF-8.
    int run(const std::vector<std::string>& arguments);

private:
    int makeNew(const std::vector<std::string>& arguments);
    int show(const std::vector<std::string>& arguments);
    int check(const std::vector<std::string>& arguments);
    int set(const std::vector<std::string>& arguments);
    int diff(const std::vector<std::string>& arguments);

    static int refuse(const std::string& message);
    static bool parseAssignments(const std::vector<std::string>& arguments, size_t first,
                                 std::vector<FieldAssignment>& assignments);
    static int save(const std::string& path, std::vector<unsigned char>& bytes);
};
