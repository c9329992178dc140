// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up and idle cost of the program beside a minimal Qt window.
//
// Each round starts every program once, in the same order (A B A B ...), with
// the start-up probe preloaded on the offscreen platform, and times it from
// just before fork to the moment its first window has been painted. The
// probe also reports the process's peak resident memory at that moment.
// Medians over the rounds are compared with the minimal window's.
//
// Then each program is started once more and left alone: the CPU time its
// threads use and the times they wake up, from /proc, over a few seconds.
//
// Beside the two, for the search for what makes the difference: the minimal
// window with a menu bar, then also with the form's fonts, the program's
// window alone, and the program on the real libusb.
//
// Then the THD assistant beside the minimal window with the plot library
// loaded (where it is built), and last the two tools' --version, from fork
// to exit.
//
//   bench_startup [--rounds N] [--idle-seconds S]
#include "measure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct Program {
    const char* name;
    const char* path;
    const char* argument1;    // or null
    const char* argument2;    // or null
    std::vector<double> startMs;
    std::vector<double> peakMiB;
};

struct Started {
    pid_t pid = -1;
    int fd = -1;
    long long startNs = 0;
};

struct Shown {
    bool ok = false;
    long long ns = 0;
    long long kib = 0;
};

long long nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

Started start(const Program& program, bool stay)
{
    Started s;
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    s.startNs = nowNs();
    s.pid = fork();
    if (s.pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        setenv("LD_PRELOAD", SONVALE_BENCH_PROBE, 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("STARTUP_PROBE_FD", std::to_string(fds[1]).c_str(), 1);
        if (stay)
            setenv("STARTUP_PROBE_STAY", "1", 1);
        else
            unsetenv("STARTUP_PROBE_STAY");
        execl(program.path, program.path, program.argument1, program.argument2,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    s.fd = fds[0];
    return s;
}

// Blocks until the probe reports, or the program ends without a window.
Shown waitShown(Started& s)
{
    std::string line;
    char buffer[64];
    for (;;) {
        const ssize_t n = read(s.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        line.append(buffer, size_t(n));
    }
    close(s.fd);
    Shown shown;
    shown.ok = std::sscanf(line.c_str(), "%lld %lld", &shown.ns, &shown.kib) == 2;
    return shown;
}

bool finish(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runOnce(Program& program, bool record)
{
    Started s = start(program, false);
    const Shown shown = waitShown(s);
    const bool exited = finish(s.pid);
    if (!shown.ok || !exited) {
        std::fprintf(stderr, "%s did not show its window and exit cleanly\n", program.path);
        return false;
    }
    if (record) {
        program.startMs.push_back(double(shown.ns - s.startNs) / 1e6);
        program.peakMiB.push_back(double(shown.kib) / 1024);
    }
    return true;
}

// The tools run and exit at once: from just before fork to their exit.
double toolRunMs(const char* path, const char* argument)
{
    const long long startNs = nowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(path, path, argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (!finish(pid)) {
        std::fprintf(stderr, "%s %s did not exit cleanly\n", path, argument);
        std::exit(1);
    }
    return double(nowNs() - startNs) / 1e6;
}

struct CpuUse {
    long long runNs = 0;       // time on a CPU, all threads
    long long wakeups = 0;     // voluntary and involuntary context switches
    int threads = 0;
    long long peakKiB = 0;     // VmHWM
};

CpuUse cpuUse(pid_t pid)
{
    CpuUse use;
    const std::string process = "/proc/" + std::to_string(pid);
    use.peakKiB = procStatusField(process + "/status", "VmHWM");
    const std::string taskDir = process + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (!dir)
        return use;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        ++use.threads;
        const std::string task = taskDir + "/" + entry->d_name;
        if (FILE* f = std::fopen((task + "/schedstat").c_str(), "r")) {
            long long ns = 0;
            if (std::fscanf(f, "%lld", &ns) == 1)
                use.runNs += ns;
            std::fclose(f);
        }
        use.wakeups += procStatusField(task + "/status", "voluntary_ctxt_switches")
                       + procStatusField(task + "/status", "nonvoluntary_ctxt_switches");
    }
    closedir(dir);
    return use;
}

void sleepSeconds(double seconds)
{
    timespec t;
    t.tv_sec = time_t(seconds);
    t.tv_nsec = long((seconds - double(t.tv_sec)) * 1e9);
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool idleCheck(const Program& program, double seconds)
{
    Started s = start(program, true);
    const Shown shown = waitShown(s);
    if (!shown.ok) {
        kill(s.pid, SIGKILL);
        finish(s.pid);
        std::fprintf(stderr, "%s did not show its window\n", program.path);
        return false;
    }
    const double settle = 0.5;   // the first frame's deferred work
    sleepSeconds(settle);
    const CpuUse before = cpuUse(s.pid);
    sleepSeconds(seconds);
    const CpuUse after = cpuUse(s.pid);
    kill(s.pid, SIGTERM);
    finish(s.pid);
    std::printf("%-16s %8.3f %18lld %9d %14.1f\n", program.name,
                double(after.runNs - before.runNs) / 1e6, after.wakeups - before.wakeups,
                after.threads, double(after.peakKiB) / 1024);
    return true;
}

// Starts each program once unrecorded (every library in the page cache), then
// `rounds` times in turn, and prints the table.
bool measureStartup(std::vector<Program>& programs, int rounds)
{
    for (Program& program : programs)
        if (!runOnce(program, false))
            return false;
    for (int round = 0; round < rounds; ++round)
        for (Program& program : programs)
            if (!runOnce(program, true))
                return false;

    std::printf("Start-up to the first window shown and painted (offscreen), %d rounds in turn\n",
                rounds);
    std::printf("%-16s %10s %8s %8s %14s\n", "program", "median ms", "min ms", "max ms",
                "peak RSS MiB");
    for (const Program& p : programs)
        std::printf("%-16s %10.1f %8.1f %8.1f %14.1f\n", p.name, median(p.startMs),
                    *std::min_element(p.startMs.begin(), p.startMs.end()),
                    *std::max_element(p.startMs.begin(), p.startMs.end()), median(p.peakMiB));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    int rounds = 21;
    double idleSeconds = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--idle-seconds") && i + 1 < argc)
            idleSeconds = std::max(0.1, std::atof(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--idle-seconds S]\n", argv[0]);
            return 2;
        }
    }

    // The first is the yardstick and the second the program the goals are
    // for; the others show where the difference comes from.
    std::vector<Program> programs = {
        {"minimal window", SONVALE_BENCH_MINIMAL, nullptr, nullptr, {}, {}},
        {"sonvale-sim", SONVALE_BENCH_SIM, nullptr, nullptr, {}, {}},
        {"  + menu bar", SONVALE_BENCH_MINIMAL, "--menu-bar", nullptr, {}, {}},
        {"  + fonts", SONVALE_BENCH_MINIMAL, "--menu-bar", "--fonts", {}, {}},
        {"  form alone", SONVALE_BENCH_FORM, nullptr, nullptr, {}, {}},
        {"sonvale", SONVALE_BENCH_REAL, nullptr, nullptr, {}, {}},
    };

    if (!measureStartup(programs, rounds))
        return 1;
    const Program& base = programs[0];
    const Program& measured = programs[1];
    std::printf("%s / %s: start-up %.3f, peak memory %.3f (goal: both at most 1.10)\n",
                measured.name, base.name, median(measured.startMs) / median(base.startMs),
                median(measured.peakMiB) / median(base.peakMiB));
    std::printf("  + menu bar: the minimal window with a menu bar of one menu\n"
                "  + fonts:    and three labels in the form's other fonts\n"
                "  form alone: the program's window with no settings mirror and no device\n");

    std::printf("\nLeft alone for %.1f s, from 0.5 s after the window was shown\n", idleSeconds);
    std::printf("%-16s %8s %18s %9s %14s\n", "program", "CPU ms", "context switches", "threads",
                "peak RSS MiB");
    std::fflush(stdout);
    for (const Program* program : {&base, &measured})
        if (!idleCheck(*program, idleSeconds))
            return 1;

#ifdef SONVALE_BENCH_THD_SIM
    // The THD assistant against the same minimal window with the plot
    // library loaded and one empty chart shown.
    std::vector<Program> assistant = {
        {"minimal + chart", SONVALE_BENCH_MINIMAL_CHART, nullptr, nullptr, {}, {}},
        {"sonvale-thd-sim", SONVALE_BENCH_THD_SIM, nullptr, nullptr, {}, {}},
    };
    std::printf("\n");
    if (!measureStartup(assistant, rounds))
        return 1;
    std::printf("%s / %s: start-up %.3f (goal: at most 1.30), peak memory %.3f\n", assistant[1].name,
                assistant[0].name, median(assistant[1].startMs) / median(assistant[0].startMs),
                median(assistant[1].peakMiB) / median(assistant[0].peakMiB));
    std::fflush(stdout);
#endif

    // The tools link only the layers they use; --version shows what loading
    // them costs before any work.
    struct Tool {
        const char* name;
        const char* path;
        std::vector<double> ms;
    };
    std::vector<Tool> tools = {
        {"sonvalectl", SONVALE_BENCH_CTL, {}},
        {"sonvale-preset", SONVALE_BENCH_PRESET, {}},
    };
    for (Tool& tool : tools)
        toolRunMs(tool.path, "--version");
    for (int round = 0; round < rounds * 10; ++round)
        for (Tool& tool : tools)
            tool.ms.push_back(toolRunMs(tool.path, "--version"));
    std::printf("\n--version from fork to exit, %d rounds in turn\n", rounds * 10);
    std::printf("%-16s %10s %8s %8s\n", "program", "median ms", "min ms", "max ms");
    for (const Tool& tool : tools)
        std::printf("%-16s %10.2f %8.2f %8.2f\n", tool.name, median(tool.ms),
                    *std::min_element(tool.ms.begin(), tool.ms.end()),
                    *std::max_element(tool.ms.begin(), tool.ms.end()));
    return 0;
}
