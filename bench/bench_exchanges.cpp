// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Each operation a user sets off in the window, and each sonvalectl command
// (run in-process, as the program runs it), timed against the simulated
// DAC and set beside the least the device allows: every exchange waits
// 100 ms for the answer and rests 20 ms after it, so an operation of n
// exchanges cannot take less than n x 120 ms; a request the device refuses
// waits its 100 ms and fetches no answer. The ratio shows what the program
// adds to the device's own pauses.
//
// The excess over the floor is split in two. The pauses oversleep: the
// operating system wakes a sleeping thread a little after its time. That is
// measured in the same runs as the operations, as two bare pauses (100 ms
// and 20 ms) with nothing between them, and counted once per exchange. What
// remains is the program's own work, with the simulated DAC's and the
// console lines'. The thread's CPU time during each operation is shown as
// well; it includes the kernel's work for the pauses.
//
//   bench_exchanges [--runs N]
#include "base/version.h"
#include "ctl/controltool.h"
#include "control/history.h"
#include "device/es9038.h"
#include "settings/es9038state.h"
#include "ui/mainwindow.h"
#include "measure.h"
#include "usbsim.h"

#include <QApplication>
#include <QFile>
#include <libusb.h>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kExchangeMs = 120;     // 100 ms before the answer, 20 ms after it
constexpr double kRefusedMs = 100;      // a refused request: its 100 ms, no answer

struct Operation {
    const char* name;
    int exchanges;
    std::function<void()> run;
    std::vector<double> ms;
    std::vector<double> cpuMs;
    int refused = 0;    // requests that fail, each one transfer
};

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double threadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int runs = 7;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
            return 2;
        }
    }

    // The program's console lines go where a desktop launch sends them, out of
    // sight; the results go to the real standard output.
    std::fflush(stdout);
    FILE* report = fdopen(dup(STDOUT_FILENO), "w");
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);

    UsbSim::reset();
    ES9038 dac;
    ES9038State state(&dac);
    MainWindow window;
    window.setState(&state);
    window.show();
    if (!dac.reconnect()) {
        std::fprintf(stderr, "the simulated DAC did not connect\n");
        return 1;
    }

    // A sonvalectl command; its own interface claim gives the kernel's
    // driver the interface back at the end, which the window's connection,
    // still open, does not expect. Its history goes to a folder of the
    // benchmark's own, and holds the 100 entries it keeps from the start, as
    // a history in use does: each new entry drops the oldest.
    QTemporaryDir folder;
    const std::string saved = folder.filePath("saved.sonvale").toStdString();
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder.filePath("data")));
    const History history(SONVALE_USB_VENDOR_ID, SONVALE_USB_PRODUCT_ID,
                          UsbSim::devices().front().serial.text);
    for (int entry = 0; entry < History::kept; ++entry) {
        if (const Error error = history.record(UsbSim::block().data(), "set mute=1")) {
            std::fprintf(stderr, "%s\n", error.cause.c_str());
            return 1;
        }
    }
    const auto ctl = [](const std::vector<std::string>& arguments) {
        if (ControlTool().run(arguments) != ControlTool::Done) {
            std::fprintf(stderr, "sonvalectl failed\n");
            std::exit(1);
        }
        UsbSim::setKernelDriverBound(false);
    };

    int calls = 0;   // every change alternates between two values
    const auto refusedVolume = [&](int error) {
        UsbSim::failNextSetReport(error);
        window.onSliderChanged(100 + ++calls % 2);
        if (!dac.isConnected()) {
            std::fprintf(stderr, "the link let go of a DAC that is still there\n");
            std::exit(1);
        }
    };
    std::vector<Operation> operations = {
        {"bare pauses", 1, [] {
             QThread::msleep(100);
             QThread::msleep(20);
         }, {}, {}},
        {"full read", 12, [&] { window.onReadStateClick(); }, {}, {}},
        {"write-all", 13, [&] { state.writeAll(); }, {}, {}},
        // What the window does once a file has been chosen: write it, read
        // the device back, show it.
        {"preset import", 25, [&] {
             if (state.importPreset(SONVALE_BENCH_PRESET))
                 state.readState(&window);
         }, {}, {}},
        {"volume change", 1, [&] { window.onSliderChanged(100 + ++calls % 2); }, {}, {}},
        {"MCLK change", 2, [&] { window.onMclkUpdate(6 + ++calls % 2); }, {}, {}},
        {"filter change", 2, [&] { window.onFilterUpdate(3 + ++calls % 2); }, {}, {}},
        // A volume change whose request fails. A time-out is a device that
        // is there; after a stall the link lists the bus once to see that the
        // DAC is still on it. The difference between the two is that walk.
        {"volume timeout", 0, [&] { refusedVolume(LIBUSB_ERROR_TIMEOUT); }, {}, {}, 1},
        {"volume stall", 0, [&] { refusedVolume(LIBUSB_ERROR_PIPE); }, {}, {}, 1},
        // sonvalectl's commands, each with its own connection as a run of
        // the program has.
        {"ctl status", 0, [&] { ctl({"status"}); }, {}, {}},
        {"ctl show", 12, [&] { ctl({"show", "--json"}); }, {}, {}},
        {"ctl get", 2, [&] { ctl({"get", "pcm_mclk"}); }, {}, {}},
        {"ctl set", 25, [&] { ctl({"set", "pcm_mclk[5]=" + std::to_string(6 + ++calls % 2)}); }, {}, {}},
        {"ctl load", 37, [&] { ctl({"load", SONVALE_BENCH_PRESET}); }, {}, {}},
        {"ctl save", 12, [&] { ctl({"save", saved}); }, {}, {}},
        {"ctl factory", 25, [&] { ctl({"factory", "--yes"}); }, {}, {}},
        {"ctl diff", 12, [&] {
             if (ControlTool().run({"diff", SONVALE_BENCH_PRESET}) == ControlTool::DiffFailed) {
                 std::fprintf(stderr, "sonvalectl diff failed\n");
                 std::exit(1);
             }
             UsbSim::setKernelDriverBound(false);
         }, {}, {}},
        {"ctl history", 0, [&] { ctl({"history"}); }, {}, {}},
        {"ctl undo", 37, [&] { ctl({"undo"}); }, {}, {}},
    };

    const auto measure = [&](Operation& op) {
        const size_t before = UsbSim::transfers().size();
        const double cpuStart = threadCpuMs();
        const auto start = Clock::now();
        op.run();
        op.ms.push_back(msSince(start));
        op.cpuMs.push_back(threadCpuMs() - cpuStart);
        const size_t sent = UsbSim::transfers().size() - before;
        const size_t expected = &op == &operations.front() ? 0 : size_t(2 * op.exchanges + op.refused);
        if (sent != expected) {
            std::fprintf(stderr, "%s made %zu transfers, not %zu\n", op.name, sent, expected);
            std::exit(1);
        }
        app.processEvents();
    };
    // Round by round, so that whatever else the machine does falls on all of
    // them alike; the short ones run five times a round, for a steadier median.
    // The first round is not kept: it is the first time each path runs, and
    // the first time the window draws the values it then shows.
    for (int round = -1; round < runs; ++round) {
        for (Operation& op : operations)
            for (int repeat = op.exchanges + op.refused <= 2 ? 5 : 1; repeat > 0; --repeat)
                measure(op);
        if (round < 0) {
            for (Operation& op : operations) {
                op.ms.clear();
                op.cpuMs.clear();
            }
        }
    }

    std::fprintf(report,
                 "Operations against the simulated DAC, median wall time of %d runs\n"
                 "(%d for those of one or two exchanges)\n",
                 runs, 5 * runs);
    const double pairOversleepMs = median(operations.front().ms) - kExchangeMs;
    std::fprintf(report, "%-14s %9s %10s %9s %7s %13s %11s %7s\n", "operation", "exchanges",
                 "median ms", "floor ms", "ratio", "oversleep ms", "program ms", "CPU ms");
    for (const Operation& op : operations) {
        const double m = median(op.ms);
        const double floor = op.exchanges * kExchangeMs + op.refused * kRefusedMs;
        const double oversleep = (op.exchanges + op.refused) * pairOversleepMs;
        char ratio[16] = "-";
        if (floor > 0)
            std::snprintf(ratio, sizeof ratio, "%.4f", m / floor);
        std::fprintf(report, "%-14s %9d %10.2f %9.0f %7s %13.2f %11.2f %7.2f\n", op.name,
                     op.exchanges + op.refused, m, floor, ratio, oversleep, m - floor - oversleep,
                     median(op.cpuMs));
    }
    std::fprintf(report,
                 "floor: 120 ms an exchange, 100 ms a refused request. oversleep: the bare pauses'\n"
                 "excess, %.3f ms, once an exchange. program: the rest of the excess. CPU: the\n"
                 "thread's CPU time.\n"
                 "Goals: every ratio at most 1.005 for the window's operations, 1.01 for\n"
                 "sonvalectl's commands.\n",
                 pairOversleepMs);
    std::fclose(report);
    return 0;
}
