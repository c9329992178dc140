// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A whole `sonvalectl tune-thd` at its default settings on the simulated DAC
// and analog path, run in this process as the program runs it: its wall
// time, the captures it took, and the values it left on the DAC beside the
// model's optimum (-h/k), at the factory volume (-12.5 dB) and at 0 dB.
// The simulated path plays faster than real time; a real capture adds about
// 1.5 s each (0.25 s of settling, the output's latency, 1 s kept).
//
// Then the THD solver alone on a real desk's model (the interface 9 dB
// below the DAC's output, its noise -120 dBFS RMS), each capture
// synthesised sample by sample and analysed, as long as the solver asks:
// the captures and the seconds of audio a tuning takes, and how far its
// values land from the optimum and what they leave of H2 and H3; beside it
// the same over many more noise draws with the model's analytic captures
// (what a capture's analysis would give), which the tests use.
//
// With --paced, last: the whole tool on the simulated path made a real desk
// (the interface 9 dB down, noise -120 dBFS, hum -105 dBFS, its clock
// wandering 2 ppm) at the pace of a real interface, at the factory volume
// and with --volume 0: the audio a tuning captures, and its wall time (some
// minutes).
//
//   bench_tune [--runs N] [--seeds N] [--paced]

#include "ctl/controltool.h"
#include "measure.h"
#include "measure/decibels.h"
#include "settings/settingsblock.h"
#include "synthetic.h"
#include "usbsim.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Synthetic::AnalogPath;

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

void wholeTool(int runs)
{
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
}

// One solver run on the model: its captures, its seconds of audio, the worst
// distance of a value from its optimum, and the worst of what the values
// leave of a harmonic (the model's, without the noise).
struct Desk {
    double captures;
    double seconds;
    double units;
    double leftDbc;
    bool improved;
};

Desk deskOnce(AnalogPath model)
{
    ThdSolver solver([&model](const ThdValues& v, double factor) { return model(v, factor); });
    const ThdSolver::Result result = solver.run(ThdValues());
    Desk desk{double(result.captures), result.captureLengths * model.seconds, 0, -400,
              result.outcome == ThdSolver::Outcome::Improved};
    for (int output = 0; output < 2; ++output) {
        for (int which = 0; which < 2; ++which) {
            const int value = result.values.pairs[model.driver[output]][which];
            desk.units = std::max(desk.units, std::abs(value - model.optimum(output, which)));
            desk.leftDbc = std::max(
                desk.leftDbc, linearToDb(std::abs(model.harmonicAt(result.values, output, which))));
        }
    }
    return desk;
}

void realDesk(int runs, int seeds)
{
    std::printf(
        "\nThe solver on a real desk (path -9 dB, noise -120 dBFS, k 1e-7, default h), default settings\n");
    std::printf("%-10s %-10s %5s %9s %9s %9s %9s %8s %8s %10s\n", "volume", "captures", "runs",
                "improved", "captures", "audio s", "audio s", "units", "units", "left dBc");
    std::printf("%-10s %-10s %5s %9s %9s %9s %9s %8s %8s %10s\n", "", "", "", "", "median",
                "median", "worst", "median", "worst", "worst");
    for (const double volume : {0.0, -12.5}) {
        for (const bool analytic : {false, true}) {
            std::vector<double> captures, seconds, units;
            double worstSeconds = 0, worstUnits = 0, worstLeft = -400;
            int improved = 0;
            const int count = analytic ? seeds : runs;
            for (int seed = 0; seed < count; ++seed) {
                AnalogPath model = AnalogPath::desk(volume);
                model.analytic = analytic;
                model.seed = unsigned(seed);
                const Desk desk = deskOnce(model);
                captures.push_back(desk.captures);
                seconds.push_back(desk.seconds);
                units.push_back(desk.units);
                worstSeconds = std::max(worstSeconds, desk.seconds);
                worstUnits = std::max(worstUnits, desk.units);
                worstLeft = std::max(worstLeft, desk.leftDbc);
                improved += desk.improved;
            }
            std::printf("%-10.1f %-10s %5d %9d %9.0f %9.1f %9.1f %8.1f %8.1f %10.1f\n", volume,
                        analytic ? "analytic" : "sampled", count, improved, median(captures),
                        median(seconds), worstSeconds, median(units), worstUnits, worstLeft);
        }
    }
    ThdSolver::Settings settings;
    std::printf("at most, default settings: %.0f capture lengths",
                ThdSolver::maxCaptureLengths(settings));
    settings.longestFactor = 600.0 / 8;
    std::printf("; 8-s captures (600 s the longest): %.0f lengths, %.0f s\n",
                ThdSolver::maxCaptureLengths(settings), 8 * ThdSolver::maxCaptureLengths(settings));
}

// One tune-thd on the real desk at real-time pace; its JSON report into a
// file, for its audio seconds.
void pacedOnce(bool fullVolume)
{
    UsbSim::reset();
    qputenv("SONVALE_SIM_ANALOG", "gain=-9,noise=-120,hum=-105,wander=2,pace=realtime");
    char path[] = "/tmp/bench_tune_XXXXXX";
    const int file = mkstemp(path);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    std::vector<std::string> arguments{"--no-history", "tune-thd", "--json"};
    if (fullVolume)
        arguments.insert(arguments.end(), {"--volume", "0"});
    const Clock::time_point start = Clock::now();
    const int status = ControlTool().run(arguments);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(file);
    QFile report(QString::fromLocal8Bit(path));
    report.open(QIODevice::ReadOnly);
    const QJsonObject document = QJsonDocument::fromJson(report.readAll()).object();
    report.remove();
    std::printf("%-22s %8d %9d %10.1f %10.1f  %s\n", fullVolume ? "--volume 0" : "-12.5 dB (factory)", status,
                document["captures"].toInt(), document["audio_seconds"].toDouble(), seconds,
                document["outcome"].toString().toUtf8().constData());
}

void paced()
{
    std::printf("\ntune-thd on a real desk (path -9 dB, noise -120 dBFS, hum -105 dBFS, wander 2 ppm),"
                " at a real interface's pace\n");
    std::printf("%-22s %8s %9s %10s %10s  %s\n", "DAC volume", "status", "captures", "audio s", "wall s",
                "outcome");
    pacedOnce(false);
    pacedOnce(true);
}

} // namespace

int main(int argc, char* argv[])
{
    int runs = 5, seeds = 200;
    bool withPace = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--paced"))
            withPace = true;
        else if (i + 1 < argc && !std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (i + 1 < argc && !std::strcmp(argv[i], "--seeds"))
            seeds = std::max(1, std::atoi(argv[i + 1]));
    }
    wholeTool(runs);
    realDesk(runs, seeds);
    if (withPace)
        paced();
    return 0;
}
