// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "base/diagnostics.h"

#include <cstdarg>

namespace {

std::FILE*& target()
{
    static std::FILE* stream = stdout;
    return stream;
}

} // namespace

void Diagnostics::print(const char* format, ...)
{
    std::FILE* stream = target();
    if (!stream)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
    std::fflush(stream);
}

std::FILE* Diagnostics::redirect(std::FILE* stream)
{
    std::FILE* before = target();
    target() = stream;
    return before;
}
