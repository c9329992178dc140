// The command-line identifiers. The input is split at its zero bytes into up
// to four arguments after the program name. With exactly two arguments both
// identifiers are parsed as "%x", stored in the link and echoed as
// "vid=0x%x pid=0x%x" (the echo always shows what was stored); with any other
// count nothing is printed and the link keeps its identifiers. An argument
// of one to eight plain hexadecimal digits gives exactly that number.

#include "app/commandline.h"
#include "device/ct7601.h"

#include "fuzzcheck.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kVendor = 0x2FC6;
constexpr uint32_t kProduct = 0x6013;

// What applyCommandLine writes to standard output, through a pipe (the echo
// is a few dozen bytes, well inside a pipe's buffer).
std::string captureStdout(int argc, char** argv, CT7601& link)
{
    int fds[2];
    FUZZ_CHECK(pipe(fds) == 0, "no pipe");
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    applyCommandLine(argc, argv, link);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fds[1]);

    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    ::close(fds[0]);
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
