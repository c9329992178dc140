// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/consoleredirect.h"

#include <cstdio>
#include <fcntl.h>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kOutput = 1;
constexpr int kError = 2;

#ifdef _WIN32
const char* const kNullDevice = "NUL";

int makePipe(int fds[2])
{
    return _pipe(fds, 65536, _O_BINARY);
}
#else
const char* const kNullDevice = "/dev/null";

int makePipe(int fds[2])
{
    return pipe(fds);
}
#endif

} // namespace

ConsoleRedirect::ConsoleRedirect(bool verbose) : verbose(verbose)
{
    flush();
    savedOutput = dup(kOutput);
    target = verbose ? -1 : open(kNullDevice, O_WRONLY);
    if (target < 0)
        target = dup(kError);
    if (target >= 0)
        dup2(target, kOutput);
}

ConsoleRedirect::~ConsoleRedirect()
{
    flush();
    if (savedOutput >= 0) {
        dup2(savedOutput, kOutput);
        close(savedOutput);
    }
    if (target >= 0)
        close(target);
}

void ConsoleRedirect::flush()
{
    std::cout.flush();
    std::fflush(stdout);
}

std::string ConsoleRedirect::capture(const std::function<void()>& work)
{
    int fds[2];
    if (makePipe(fds) != 0) {
        work();
        return std::string();
    }
    flush();
    dup2(fds[1], kOutput);
    close(fds[1]);
    work();
    flush();
    dup2(target, kOutput);   // also closes the pipe's last writing end

    // The identity and the link's few lines fit in the pipe many times over.
    std::string text;
    char buffer[4096];
    for (int n; (n = int(read(fds[0], buffer, sizeof buffer))) > 0;)
        text.append(buffer, size_t(n));
    close(fds[0]);
    if (verbose) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    return text;
}
