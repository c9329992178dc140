// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one program against the DAC emulated as a usbfs device node, and
// checks what the device saw and what the program printed.
//
//   e2e-harness [options] -- PROGRAM [ARGS...]
//
//   --no-device              only the root hub is on the bus
//   --no-serial              the DAC has no serial-number string
//   --unplug-after N         the DAC goes away once it answered N reports
//   --preload LIB            one more library preloaded into PROGRAM only
//   --log FILE               where the ioctl log goes (default: standard error)
//   --expect-stdout FILE     PROGRAM's standard output, exactly
//   --expect-reports FILE    the reports the device received and answered,
//                            one per line: "SET <7 bytes>" / "GET <7 bytes>"
//   --expect-written FILE    the block the device holds once the commit
//                            (command 5) arrived; then, after the factory
//                            restore, the factory block
//   --expect-exit N          PROGRAM's exit status (default 0)
//   --timeout SECONDS        PROGRAM is killed after this (default 30)
//
// Every HID report request must come with the exact setup packet of
// SET_REPORT or GET_REPORT, and each GET_REPORT must follow its SET_REPORT
// by at least 100 ms.
//
// The harness runs itself under umockdev's preload library (it re-executes
// itself with it), as uevents of the emulated bus reach the program only
// then. Exit status: 0 passed, 1 failed, 77 umockdev is not installed.

#include "emulateddac.h"

#include <umockdev.h>

#include <glib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef UMOCKDEV_PRELOAD_LIBRARY
#define UMOCKDEV_PRELOAD_LIBRARY "libumockdev-preload.so.0"
#endif

namespace {

constexpr int kSkipped = 77;
constexpr uint8_t kSetReportSetup[8] = {0x21, 0x09, 0x00, 0x02, 0x00, 0x00, 0x07, 0x00};
constexpr uint8_t kGetReportSetup[8] = {0xA1, 0x01, 0x00, 0x01, 0x00, 0x00, 0x07, 0x00};
constexpr auto kAnswerPause = std::chrono::milliseconds(100);
constexpr uint8_t kCommit = 0x05;

struct Arguments {
    EmulatedDac::Options device;
    std::string preload;
    std::string log;
    std::string expectStdout;
    std::string expectReports;
    std::string expectWritten;
    int expectExit = 0;
    int timeout = 30;
    std::vector<std::string> program;
};

int failures = 0;

void fail(const char* format, ...) G_GNUC_PRINTF(1, 2);
void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "FAIL: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    ++failures;
}

bool parse(int argc, char* argv[], Arguments& a)
{
    int i = 1;
    for (; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        const bool hasValue = i + 1 < argc;
        if (option == "--no-device") {
            a.device.present = false;
        } else if (option == "--no-serial") {
            a.device.serialNumber = false;
        } else if (option == "--unplug-after" && hasValue) {
            a.device.unplugAfter = std::atoi(argv[++i]);
        } else if (option == "--preload" && hasValue) {
            a.preload = argv[++i];
        } else if (option == "--log" && hasValue) {
            a.log = argv[++i];
        } else if (option == "--expect-stdout" && hasValue) {
            a.expectStdout = argv[++i];
        } else if (option == "--expect-reports" && hasValue) {
            a.expectReports = argv[++i];
        } else if (option == "--expect-written" && hasValue) {
            a.expectWritten = argv[++i];
        } else if (option == "--expect-exit" && hasValue) {
            a.expectExit = std::atoi(argv[++i]);
        } else if (option == "--timeout" && hasValue) {
            a.timeout = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "unknown option or missing value: %s\n", option.c_str());
            return false;
        }
    }
    for (; i < argc; ++i)
        a.program.emplace_back(argv[i]);
    if (a.program.empty()) {
        std::fprintf(stderr, "usage: %s [options] -- PROGRAM [ARGS...]\n", argv[0]);
        return false;
    }
    return true;
}

bool preloaded()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

// Starts this program again with umockdev's preload library in front of
// whatever is preloaded already. Returns only when that fails.
int runPreloaded(char* argv[])
{
    if (access(UMOCKDEV_PRELOAD_LIBRARY, R_OK) != 0 && UMOCKDEV_PRELOAD_LIBRARY[0] == '/') {
        std::printf("SKIPPED: umockdev's preload library %s is missing "
                    "(Debian package umockdev); the end-to-end tests need it\n",
                    UMOCKDEV_PRELOAD_LIBRARY);
        return kSkipped;
    }
    std::string preload = UMOCKDEV_PRELOAD_LIBRARY;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "cannot run myself under %s: %s\n", UMOCKDEV_PRELOAD_LIBRARY,
                 std::strerror(errno));
    return 1;
}

bool readFile(const std::string& path, std::string& text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fail("cannot read %s", path.c_str());
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        result.push_back(line);
    return result;
}

// A file of expectations: blank lines and lines starting with '#' are
// comments.
std::vector<std::string> expectationLines(const std::string& text)
{
    std::vector<std::string> result;
    for (const std::string& line : lines(text))
        if (!line.empty() && line[0] != '#')
            result.push_back(line);
    return result;
}

void compareLines(const char* what, const std::vector<std::string>& expected,
                  const std::vector<std::string>& actual)
{
    const size_t n = std::max(expected.size(), actual.size());
    for (size_t i = 0; i < n; ++i) {
        const std::string e = i < expected.size() ? expected[i] : "<nothing>";
        const std::string a = i < actual.size() ? actual[i] : "<nothing>";
        if (e != a) {
            fail("%s, line %zu:\n  expected: %s\n  actual:   %s", what, i + 1, e.c_str(), a.c_str());
            return;
        }
    }
}

// The program's process, its standard output collected while the emulated
// device serves it on umockdev's worker thread.
struct Run {
    GMainLoop* loop = nullptr;
    std::string output;
    int status = -1;
    bool exited = false;
    bool outputClosed = false;
    bool timedOut = false;
    GPid pid = 0;
};

gboolean onOutput(GIOChannel* channel, GIOCondition, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    // One read of what is there, so that the loop never waits on the pipe.
    char buffer[4096];
    const ssize_t count = read(g_io_channel_unix_get_fd(channel), buffer, sizeof buffer);
    if (count > 0)
        run->output.append(buffer, size_t(count));
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) {
        run->outputClosed = true;
        if (run->exited)
            g_main_loop_quit(run->loop);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void onExit(GPid, gint status, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    run->status = status;
    run->exited = true;
    if (run->outputClosed)
        g_main_loop_quit(run->loop);
}

gboolean onTimeout(gpointer data)
{
    auto* run = static_cast<Run*>(data);
    run->timedOut = true;
    kill(run->pid, SIGKILL);
    return G_SOURCE_REMOVE;
}

bool runProgram(const Arguments& a, Run& run)
{
    std::vector<char*> argv;
    for (const std::string& s : a.program)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);

    gchar** env = g_get_environ();
    if (!a.preload.empty()) {
        const char* old = g_environ_getenv(env, "LD_PRELOAD");
        const std::string preload = old && *old ? std::string(old) + ":" + a.preload : a.preload;
        env = g_environ_setenv(env, "LD_PRELOAD", preload.c_str(), TRUE);
    }

    gint out = -1;
    GError* error = nullptr;
    const bool started = g_spawn_async_with_pipes(
        nullptr, argv.data(), env, GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr,
        &run.pid, nullptr, &out, nullptr, &error);
    g_strfreev(env);
    if (!started) {
        fail("cannot start %s: %s", a.program[0].c_str(), error->message);
        g_clear_error(&error);
        return false;
    }

    run.loop = g_main_loop_new(nullptr, FALSE);
    GIOChannel* channel = g_io_channel_unix_new(out);
    g_io_channel_set_close_on_unref(channel, TRUE);
    g_io_add_watch(channel, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onOutput, &run);
    g_child_watch_add(run.pid, onExit, &run);
    const guint timer = g_timeout_add_seconds(guint(a.timeout), onTimeout, &run);
    g_main_loop_run(run.loop);
    if (!run.timedOut)
        g_source_remove(timer);
    g_io_channel_unref(channel);
    g_main_loop_unref(run.loop);
    g_spawn_close_pid(run.pid);
    return true;
}

void checkStdout(const std::string& path, const std::string& output)
{
    std::string expected;
    if (!readFile(path, expected) || output == expected)
        return;
    const int before = failures;
    compareLines(("standard output (" + path + ")").c_str(), lines(expected), lines(output));
    if (failures == before)
        fail("standard output (%s): same lines, but not the same text (line ends)", path.c_str());
}

void checkExit(const Arguments& a, const Run& run)
{
    if (run.timedOut) {
        fail("%s did not end within %d s", a.program[0].c_str(), a.timeout);
    } else if (WIFSIGNALED(run.status)) {
        fail("%s was killed by signal %d", a.program[0].c_str(), WTERMSIG(run.status));
    } else if (WEXITSTATUS(run.status) != a.expectExit) {
        fail("%s exited with %d, expected %d", a.program[0].c_str(), WEXITSTATUS(run.status),
             a.expectExit);
    }
}

void checkSetupPackets(const std::vector<EmulatedDac::Transfer>& transfers)
{
    const EmulatedDac::Transfer* lastSet = nullptr;
    for (size_t i = 0; i < transfers.size(); ++i) {
        const EmulatedDac::Transfer& t = transfers[i];
        const bool isSet = std::memcmp(t.setup.data(), kSetReportSetup, 8) == 0;
        const bool isGet = std::memcmp(t.setup.data(), kGetReportSetup, 8) == 0;
        if (!isSet && !isGet) {
            fail("report transfer %zu has setup packet %s", i + 1, EmulatedDac::hex(t.setup.data(), 8).c_str());
            continue;
        }
        if (t.data.size() != 7)
            fail("report transfer %zu moved %zu bytes, not 7", i + 1, t.data.size());
        if (isSet) {
            if (lastSet)
                fail("report transfer %zu: SET_REPORT without GET_REPORT before it", i + 1);
            lastSet = &t;
            continue;
        }
        if (!lastSet) {
            fail("report transfer %zu: GET_REPORT without SET_REPORT before it", i + 1);
            continue;
        }
        const auto pause = t.at - lastSet->at;
        if (pause < kAnswerPause)
            fail("report transfer %zu: GET_REPORT %.1f ms after its SET_REPORT, expected at least 100 ms",
                 i + 1, std::chrono::duration<double, std::milli>(pause).count());
        lastSet = nullptr;
    }
}

void checkReports(const std::string& path, const std::vector<EmulatedDac::Transfer>& transfers)
{
    std::string text;
    if (!readFile(path, text))
        return;
    std::vector<std::string> actual;
    for (const EmulatedDac::Transfer& t : transfers)
        actual.push_back(std::string(t.setup[0] == kSetReportSetup[0] ? "SET " : "GET ")
                         + EmulatedDac::hex(t.data.data(), t.data.size()));
    compareLines(("reports received and answered (" + path + ")").c_str(),
                 expectationLines(text), actual);
}

bool parseBlock(const std::string& path, VirtualDac::Block& block)
{
    std::string text;
    if (!readFile(path, text))
        return false;
    size_t n = 0;
    for (const std::string& line : expectationLines(text)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word && word[0] != '#') {
            if (n >= block.size()) {
                fail("%s holds more than %zu bytes", path.c_str(), block.size());
                return false;
            }
            block[n++] = uint8_t(std::strtoul(word.c_str(), nullptr, 16));
        }
    }
    if (n != block.size()) {
        fail("%s holds %zu bytes, not %zu", path.c_str(), n, block.size());
        return false;
    }
    return true;
}

void checkWritten(const std::string& path, const std::vector<EmulatedDac::Transfer>& transfers,
                  const VirtualDac::Block& final)
{
    VirtualDac::Block expected;
    if (!parseBlock(path, expected))
        return;
    const EmulatedDac::Transfer* commit = nullptr;
    for (const EmulatedDac::Transfer& t : transfers)
        if (t.setup[0] == kSetReportSetup[0] && !t.data.empty() && t.data[0] == kCommit)
            commit = &t;
    if (!commit) {
        fail("the device never received the commit of a full write");
        return;
    }
    if (commit->blockAfter != expected)
        fail("block on the device after the full write:\n  expected: %s\n  actual:   %s",
             EmulatedDac::hex(expected.data(), expected.size()).c_str(),
             EmulatedDac::hex(commit->blockAfter.data(), commit->blockAfter.size()).c_str());
    const VirtualDac::Block factory = VirtualDac::factoryBlock();
    if (final != factory)
        fail("block on the device at the end, after the factory restore:\n  expected: %s\n  actual:   %s",
             EmulatedDac::hex(factory.data(), factory.size()).c_str(), EmulatedDac::hex(final.data(), final.size()).c_str());
}

} // namespace

int main(int argc, char* argv[])
{
    Arguments a;
    if (!parse(argc, argv, a))
        return 2;
    if (!preloaded())
        return runPreloaded(argv);

    std::FILE* log = stderr;
    if (!a.log.empty()) {
        log = std::fopen(a.log.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "cannot write %s: %s\n", a.log.c_str(), std::strerror(errno));
            return 1;
        }
    }

    UMockdevTestbed* testbed = umockdev_testbed_new();
    int result = 1;
    {
        EmulatedDac dac(testbed, a.device, log);
        Run run;
        if (dac.plugIn() && runProgram(a, run)) {
            std::fprintf(stderr, "--- standard output of %s\n%s---\n", a.program[0].c_str(),
                         run.output.c_str());
            checkExit(a, run);
            const std::vector<EmulatedDac::Transfer> transfers = dac.transfers();
            checkSetupPackets(transfers);
            if (a.device.unplugAfter >= 0 && !dac.wasUnplugged())
                fail("the device was never unplugged");
            if (dac.unhandledIoctls() > 0)
                fail("%d requests of the program were not emulated (see the log)", dac.unhandledIoctls());
            if (!a.expectStdout.empty())
                checkStdout(a.expectStdout, run.output);
            if (!a.expectReports.empty())
                checkReports(a.expectReports, transfers);
            if (!a.expectWritten.empty())
                checkWritten(a.expectWritten, transfers, dac.block());
            std::fprintf(stderr, "%zu report transfers, %s; ioctl log: %s\n", transfers.size(),
                         failures ? "FAILED" : "passed", a.log.empty() ? "above" : a.log.c_str());
            result = failures ? 1 : 0;
        }
    }
    g_object_unref(testbed);
    if (log != stderr)
        std::fclose(log);
    return result;
}
