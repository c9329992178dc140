// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the benchmarks share: the median of a series, and one number from a
// /proc status file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The number after "field:" in a status file such as /proc/self/status
// (VmHWM in KiB, voluntary_ctxt_switches, ...); -1 if it is not there.
inline long long procStatusField(const std::string& path, const char* field)
{
    FILE* status = std::fopen(path.c_str(), "r");
    if (!status)
        return -1;
    const size_t length = std::strlen(field);
    char line[256];
    long long value = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (!std::strncmp(line, field, length) && line[length] == ':') {
            value = std::strtoll(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}
