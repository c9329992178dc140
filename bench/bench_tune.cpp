// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A whole `sonvalectl tune-thd` at its default settings on the simulated DAC
// and analog path, run in this process as the program runs it: its wall
// time, the captures it took, and the values it left on the DAC beside the
// model's optimum (-h/k), at the factory volume (-12.5 dB) and at 0 dB.
// The simulated path plays faster than real time; a real capture adds about
// 1.5 s each (0.25 s of settling, the output's latency, 1 s kept).
//
//   bench_tune [--runs N]

#include "ctl/controltool.h"
#include "measure.h"
#include "settings/settingsblock.h"
#include "usbsim.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Tuned {
    double seconds;
    int status;
    int values[2][2];
};

// The simulated path's defaults, straight map: pair 0 drives the left output.
const double h[2][2] = {{2e-5, 1.5e-5}, {-1.2e-5, 2.5e-5}};   // [output][2nd, 3rd]
const double k = 1e-7;

Tuned tuneOnce(uint8_t volume)
{
    UsbSim::reset();
    VirtualDac::Block block = UsbSim::block();
    block[4] = block[5] = volume;
    UsbSim::setBlock(block);

    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    const Clock::time_point start = Clock::now();
    const int status = ControlTool().run({"--no-history", "tune-thd", "--json"});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(devNull);
    close(saved);

    const VirtualDac::Block after = UsbSim::block();
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(after.data());
    Tuned tuned{seconds, status, {}};
    for (int which = 0; which < 2; ++which) {
        tuned.values[0][which] = settings.thd_range0[which];
        tuned.values[1][which] = settings.thd_range1[which];
    }
    return tuned;
}

} // namespace

int main(int argc, char* argv[])
{
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    std::printf("tune-thd, default settings (997 Hz, -3 dBFS, 48 kHz, 1 s), simulated path, %d runs\n", runs);
    std::printf("%-22s %10s %8s  %s\n", "DAC volume", "median s", "status", "values (optimum)");
    for (const uint8_t volume : {uint8_t(0x19), uint8_t(0)}) {
        std::vector<double> seconds;
        Tuned last{};
        for (int run = 0; run < runs; ++run) {
            last = tuneOnce(volume);
            seconds.push_back(last.seconds);
        }
        std::string values;
        for (int pair = 0; pair < 2; ++pair) {
            for (int which = 0; which < 2; ++which) {
                char text[64];
                std::snprintf(text, sizeof text, "%s%d (%.0f)", values.empty() ? "" : ", ", last.values[pair][which],
                              -h[pair][which] / k);
                values += text;
            }
        }
        std::printf("%-22s %10.2f %8d  %s\n", volume ? "-12.5 dB (factory)" : "0 dB", median(seconds), last.status,
                    values.c_str());
    }
    return 0;
}
