// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD assistant's spectrum redrawn: four traces of 24 001 bins (one
// second at 48 kHz, left and right, before and after) handed to the plot and
// the plot painted, at the window's size. Beside it the same four traces
// handed to QCustomPlot whole, once drawn point by point and once with its
// own adaptive sampling, the alternatives to the per-column cut.
//
//   bench_spectrumplot [--runs N]      (offscreen unless QT_QPA_PLATFORM says otherwise)
#include "thdui/spectrumplot.h"

#include "measure.h"

#include <QApplication>
#include <QRandomGenerator>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<double> trace(quint32 seed)
{
    QRandomGenerator random(seed);
    std::vector<double> levels(24001);
    for (double& level : levels)
        level = -140 + 12 * random.generateDouble();
    for (int order = 1; order <= 9; ++order)
        levels[std::size_t(997 * order)] = order == 1 ? -3 : -100 - 3 * order;
    return levels;
}

// Paints the plot into its buffer, as the screen would get it.
void paint(SpectrumPlot& plot)
{
    plot.replot(QCustomPlot::rpImmediateRefresh);
}

// The four traces as they are, with QCustomPlot's adaptive sampling or without.
void handWhole(SpectrumPlot& plot, const std::vector<double> (&traces)[4], bool sampling)
{
    for (int t = 0; t < 4; ++t) {
        QVector<double> keys, values;
        for (std::size_t k = 1; k < traces[t].size(); ++k) {
            keys.append(double(k));
            values.append(traces[t][k]);
        }
        QCPGraph* graph = plot.trace(t / 2, SpectrumPlot::Stage(t % 2));
        graph->setAdaptiveSampling(sampling);
        graph->setData(keys, values, true);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int runs = 30;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::vector<double> traces[4] = {trace(1), trace(2), trace(3), trace(4)};

    SpectrumPlot plot;
    plot.resize(760, 460);
    plot.show();
    app.processEvents();

    std::vector<double> cut, handed, painted, whole, sampled;
    std::size_t drawnPoints = 0;
    for (int run = 0; run <= runs; ++run) {
        auto start = Clock::now();
        for (int t = 0; t < 4; ++t)
            SpectrumPlot::reduced(traces[t], 1.0, SpectrumPlot::lowestHz, 24000, 760);
        const double cutMs = msSince(start);

        start = Clock::now();
        for (int t = 0; t < 4; ++t)
            plot.setSpectrum(t / 2, SpectrumPlot::Stage(t % 2), traces[t], 1.0);
        plot.setFundamental(997);
        const double handedMs = msSince(start);
        start = Clock::now();
        paint(plot);
        const double paintedMs = msSince(start);
        if (run > 0) {   // the first run warms the caches and fonts
            cut.push_back(cutMs);
            handed.push_back(handedMs);
            painted.push_back(paintedMs + handedMs);
        }
    }

    drawnPoints = std::size_t(plot.trace(0, SpectrumPlot::Before)->dataCount());
    // The whole traces, uncut, in the same plot.
    for (bool sampling : {false, true}) {
        for (int run = 0; run <= std::min(runs, 5); ++run) {
            auto start = Clock::now();
            handWhole(plot, traces, sampling);
            paint(plot);
            if (run > 0)
                (sampling ? sampled : whole).push_back(msSince(start));
        }
    }

    std::printf("spectrum plot, 4 traces of 24001 bins, %dx%d, median of %d runs\n", plot.width(), plot.height(),
                runs);
    std::printf("  cut to the pixel columns       %8.2f ms\n", median(cut));
    std::printf("  handed to the plot             %8.2f ms\n", median(handed));
    std::printf("  redraw (handed and painted)    %8.2f ms   (%zu points a trace)\n", median(painted),
                drawnPoints);
    std::printf("  the whole traces, uncut        %8.2f ms\n", median(whole));
    std::printf("  uncut, adaptive sampling       %8.2f ms\n", median(sampled));
    return 0;
}
