// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line identifiers. The input is split at its zero bytes into up
// to four arguments after the program name. With exactly two arguments both
// identifiers are parsed as "%x", stored in the link and echoed as
// "vid=0x%x pid=0x%x" (the echo always shows what was stored); with any other
// count nothing is printed and the link keeps its identifiers. An argument
// of one to eight plain hexadecimal digits gives exactly that number.

#include "app/commandline.h"
#include "device/ct7601.h"

#include "fuzzcheck.h"
#include "scratchfile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <vector>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr uint32_t kVendor = 0x2FC6;
constexpr uint32_t kProduct = 0x6013;

// The file standard output goes to while applyCommandLine runs; emptied for
// every input, removed when the run ends.
struct EchoFile {
    ~EchoFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    int open() const
    {
#ifdef _WIN32
        return _wopen(path.c_str(), _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
#endif
    }
    const std::filesystem::path path = scratchFile("commandline");
};

// What applyCommandLine writes to standard output, byte for byte.
std::string captureStdout(int argc, char** argv, CT7601& link)
{
    static const EchoFile echoFile;
    const int fd = echoFile.open();
    FUZZ_CHECK(fd >= 0, "cannot open %s", echoFile.path.u8string().c_str());
    std::fflush(stdout);
    const int out = fileno(stdout);
    const int saved = dup(out);
    dup2(fd, out);
    applyCommandLine(argc, argv, link);
    std::fflush(stdout);
    dup2(saved, out);
    ::close(saved);

    std::string text;
    char buffer[256];
    int n;
    lseek(fd, 0, SEEK_SET);
    while ((n = int(read(fd, buffer, sizeof buffer))) > 0)
        text.append(buffer, size_t(n));
    ::close(fd);
    return text;
}

bool plainHex(const std::string& s)
{
    if (s.empty() || s.size() > 8)
        return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"sonvale"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 6; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(char(data[i]));
        }
    }
    if (args.size() < 6)
        args.push_back(current);

    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = int(args.size());

    CT7601 link;
    const std::string echo = captureStdout(argc, argv.data(), link);

    if (argc != 3) {
        FUZZ_CHECK(echo.empty(), "%d arguments printed \"%s\"", argc - 1, echo.c_str());
        FUZZ_CHECK(link.vendorId == kVendor && link.productId == kProduct,
                   "%d arguments changed the identifiers", argc - 1);
        return 0;
    }
    char expected[64];
    std::snprintf(expected, sizeof expected, "vid=0x%x pid=0x%x", link.vendorId, link.productId);
    FUZZ_CHECK(echo == expected, "echo \"%s\", stored %s", echo.c_str(), expected);
    if (plainHex(args[1]))
        FUZZ_CHECK(link.vendorId == std::strtoul(args[1].c_str(), nullptr, 16),
                   "\"%s\" stored as 0x%x", args[1].c_str(), link.vendorId);
    if (plainHex(args[2]))
        FUZZ_CHECK(link.productId == std::strtoul(args[2].c_str(), nullptr, 16),
                   "\"%s\" stored as 0x%x", args[2].c_str(), link.productId);
    return 0;
}
