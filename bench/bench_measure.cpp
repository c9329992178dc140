// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement's cost and accuracy. The analysis of one second of 48 kHz
// stereo is timed, whole and by step; its figures are checked on synthetic
// captures whose answer is known (noise at -125 dBFS, clocks 100 ppm apart,
// harmonics from -60 to -120 dBc at random phases); one channel of two
// minutes on wandering clocks is timed and its figures set beside the same
// capture's on steady ones; the THD solver runs on the model of the analog
// path and its values are set beside the model's optimum.
//
//   bench_measure [--runs N] [--seeds N]
#include "clocksignals.h"
#include "measure.h"
#include "measure/analysis.h"
#include "tuning/thdsolver.h"
#include "synthetic.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double wrapDeg(double degrees)
{
    while (degrees > 180)
        degrees -= 360;
    while (degrees <= -180)
        degrees += 360;
    return degrees;
}

void timing(int runs)
{
    Synthetic::Tone tone;
    tone.ppm = 100;
    tone.noiseDbfs = -125;
    tone.harmonics = {{2, {-110, 30}}, {3, {-115, -60}}};
    std::vector<std::vector<double>> channels{Synthetic::synthesize(tone)};
    tone.seed = 2;
    channels.push_back(Synthetic::synthesize(tone));
    std::vector<float> frames;
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        frames.push_back(float(channels[0][i]));
        frames.push_back(float(channels[1][i]));
    }
    std::vector<double> whole, planar, cpu;
    for (int run = 0; run < runs + 1; ++run) {
        const std::clock_t cpuStart = std::clock();
        auto start = Clock::now();
        const CaptureAnalysis a = analyseInterleaved(frames.data(), channels[0].size(), 2, 48000);
        const double interleavedMs = msSince(start);
        const double cpuMs = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        start = Clock::now();
        const CaptureAnalysis b = analyseCapture(channels, 48000);
        const double planarMs = msSince(start);
        if (!a.ok() || !b.ok()) {
            std::fprintf(stderr, "the timing capture reported a problem\n");
            std::exit(1);
        }
        if (run) {   // the first round warms the caches and the allocator
            whole.push_back(interleavedMs);
            planar.push_back(planarMs);
            cpu.push_back(cpuMs);
        }
    }
    std::printf("analysis of 1 s of 48 kHz stereo, median of %d runs:\n", runs);
    std::printf("  interleaved float frames   %7.2f ms\n", median(whole));
    std::printf("  two channels of doubles    %7.2f ms\n", median(planar));
    std::printf("  CPU time, interleaved      %7.2f ms\n\n", median(cpu));
}

// Two minutes of one channel at 48 kHz, the clocks +50 ppm apart and
// wandering ±2 ppm over a minute; at most five runs, each takes a while.
void longCapture(int runs)
{
    ClockSignals::Desk desk = ClockSignals::wandering();
    desk.wanderPpm = 0;
    const ChannelAnalysis steady = [&] {
        const std::vector<double> samples = ClockSignals::synthesize(desk);
        return analyseChannel(samples.data(), samples.size(), desk.rateHz);
    }();
    desk = ClockSignals::wandering();
    const std::vector<double> samples = ClockSignals::synthesize(desk);
    runs = std::min(runs, 5);
    std::vector<double> wall, cpu;
    ChannelAnalysis result;
    for (int run = 0; run < runs; ++run) {
        const std::clock_t cpuStart = std::clock();
        const auto start = Clock::now();
        result = analyseChannel(samples.data(), samples.size(), desk.rateHz);
        wall.push_back(msSince(start));
        cpu.push_back(1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    }
    std::printf(
        "analysis of 120 s of one 48 kHz channel, clocks +50 ppm wandering +-2 ppm over 60 s, "
        "median of %d runs:\n",
        runs);
    std::printf("  wall time                  %7.0f ms\n", median(wall));
    std::printf("  CPU time                   %7.0f ms\n", median(cpu));
    std::printf("  problems reported          %zu\n", result.problems.size());
    std::printf("  level                      %.4f dBFS (-15 put in)\n", result.levelDbfs);
    std::printf("  H2                         %.3f dBc %.2f deg (-110, 40 put in)\n",
                result.harmonicDbc(2), result.harmonicPhaseDeg(2));
    std::printf("  H3                         %.3f dBc %.2f deg (-120, -135 put in)\n",
                result.harmonicDbc(3), result.harmonicPhaseDeg(3));
    std::printf("  THD+N                      %.2f dB (steady clocks %.2f dB)\n", result.thdnDb,
                steady.thdnDb);
    std::printf("  noise                      %.2f dBFS (steady clocks %.2f dBFS)\n\n",
                result.noiseDbfs, steady.noiseDbfs);
}

void accuracy(int seeds)
{
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> phase(-179, 179);
    std::uniform_real_distribution<double> frequency(200, 5000);
    const double levels[] = {-60, -80, -100, -110, -120};
    double worstLevel = 0, worstFrequencyPpm = 0;
    double worstDb[5] = {}, worstDeg[5] = {};
    int problems = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        for (double ppm : {100.0, -100.0}) {
            Synthetic::Tone tone;
            tone.frequencyHz = frequency(random);
            tone.ppm = ppm;
            tone.noiseDbfs = -125;
            tone.delaySamples = seed * 13.7;
            tone.seed = unsigned(seed + 1);
            // Each level in turn on H2..H5, the rest at -120 dBc.
            for (int order = 2; order <= 5; ++order)
                tone.harmonics[order] = {levels[(order - 2 + seed) % 5], phase(random)};
            const std::vector<double> samples = Synthetic::synthesize(tone);
            const ChannelAnalysis result = analyseChannel(samples.data(), samples.size(), tone.rateHz);
            problems += !result.problems.empty();
            worstLevel = std::max(worstLevel, std::abs(result.levelDbfs - tone.levelDbfs));
            const double expected = tone.frequencyHz * (1 + ppm * 1e-6);
            worstFrequencyPpm = std::max(worstFrequencyPpm, std::abs(result.frequencyHz / expected - 1) * 1e6);
            for (int order = 2; order <= 5; ++order) {
                const Synthetic::Harmonic h = tone.harmonics[order];
                int row = 0;
                while (levels[row] != h.dbc)
                    ++row;
                worstDb[row] = std::max(worstDb[row], std::abs(result.harmonicDbc(order) - h.dbc));
                worstDeg[row] = std::max(worstDeg[row], std::abs(wrapDeg(result.harmonicPhaseDeg(order) - h.phaseDeg)));
            }
        }
    }
    std::printf("accuracy over %d captures (1 s, 48 kHz, -3 dBFS, 200..5000 Hz, noise -125 dBFS, +-100 ppm):\n",
                2 * seeds);
    std::printf("  captures with a problem reported   %d\n", problems);
    std::printf("  level, worst error                 %.4f dB\n", worstLevel);
    std::printf("  frequency, worst error             %.4f ppm\n", worstFrequencyPpm);
    std::printf("  harmonic at   worst dB error   worst phase error\n");
    for (int row = 0; row < 5; ++row)
        std::printf("  %5.0f dBc    %8.3f dB      %8.3f deg\n", levels[row], worstDb[row], worstDeg[row]);
    std::printf("\n");
}

void tuning()
{
    std::printf("THD solver on the model (defaults: h2l 2e-5, h3l 1.5e-5, h2r -1.2e-5, h3r 2.5e-5, k 1e-7, noise -130 dBFS):\n");
    std::printf("  map        captures  analysis ms  worst error (units)  H2/H3 left before -> after (dBc)\n");
    for (int swapped = 0; swapped < 2; ++swapped) {
        Synthetic::AnalogPath model;
        model.driver[0] = swapped;
        model.driver[1] = 1 - swapped;
        double analysisMs = 0;
        ThdSolver solver([&](const ThdValues& v, double) {
            const auto start = Clock::now();
            CaptureAnalysis capture = model(v);
            analysisMs += msSince(start);
            return capture;
        });
        const ThdSolver::Result result = solver.run(ThdValues());
        double worst = 0;
        for (int output = 0; output < 2; ++output) {
            for (int which = 0; which < 2; ++which)
                worst = std::max(worst, std::abs(result.values.pairs[model.driver[output]][which]
                                                 - model.optimum(output, which)));
        }
        std::printf("  %-9s  %8d  %11.0f  %19.1f  %.1f/%.1f -> %.1f/%.1f\n", swapped ? "swapped" : "straight",
                    result.captures, analysisMs, worst, result.before.channels[0].harmonicDbc(2),
                    result.before.channels[0].harmonicDbc(3), result.after.channels[0].harmonicDbc(2),
                    result.after.channels[0].harmonicDbc(3));
    }
    std::printf("  (analysis ms includes synthesising each capture)\n");
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 21, seeds = 50;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--seeds") && i + 1 < argc) {
            seeds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seeds N]\n", argv[0]);
            return 2;
        }
    }
    timing(runs);
    longCapture(runs);
    accuracy(seeds);
    tuning();
    return 0;
}
