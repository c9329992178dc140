// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// How well two captures at different input gains recover the DAC's own H2
// and H3 when the interface's distortion lies 0, 6 and 12 dB above the
// DAC's: the DAC at -110 dBc (H2, 40°) and -115 dBc (H3, -70°), the
// interface's converter at a phase of its own, its noise, a clock 100 ppm
// off; the largest error over the seeds in dB and degrees.
//
//   bench_separation [--seeds N]
#include "measure/decibels.h"
#include "measure/interfaceseparation.h"
#include "synthetic.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double levelDbfs = -3;
const Synthetic::Harmonic dac[2] = {{-110, 40}, {-115, -70}};

CaptureAnalysis capture(double gainDb, double aboveDb, double noiseDbfs, unsigned seed)
{
    Synthetic::Tone tone;
    tone.levelDbfs = levelDbfs;
    tone.ppm = 100;
    tone.harmonics = {{2, dac[0]}, {3, dac[1]}};
    std::vector<double> samples = Synthetic::synthesize(tone);
    const double amplitude = dbToLinear(levelDbfs);
    const double c2 = -2 * dbToLinear(dac[0].dbc + aboveDb) / amplitude;
    const double c3 = 4 * dbToLinear(dac[1].dbc + aboveDb) / (amplitude * amplitude);
    Synthetic::throughInterface(samples, gainDb, c2, c3, noiseDbfs, seed);
    return analyseCapture({samples}, tone.rateHz);
}

} // namespace

int main(int argc, char** argv)
{
    int seeds = 10;
    if (argc == 3 && std::strcmp(argv[1], "--seeds") == 0)
        seeds = std::atoi(argv[2]);
    std::printf("interface above  change  noise      H2 error         H3 error\n");
    for (double noise : {-130.0, -115.0}) {
        for (double change : {-6.0, -3.0}) {
            for (double above : {0.0, 6.0, 12.0}) {
                double worstDb[2] = {}, worstDeg[2] = {};
                for (int seed = 1; seed <= seeds; ++seed) {
                    const InterfaceSeparation split = InterfaceSeparation::split(
                        capture(0, above, noise, unsigned(2 * seed)),
                        capture(change, above, noise, unsigned(2 * seed + 1)), {"mono"});
                    for (int k = 0; k < 2; ++k) {
                        const InterfaceSeparation::Share& share =
                            split.channels[0].harmonics[std::size_t(k)].dac;
                        worstDb[k] = std::max(worstDb[k], std::abs(share.dbc() - dac[k].dbc));
                        worstDeg[k] = std::max(
                            worstDeg[k],
                            std::abs(std::remainder(share.phaseDeg() - dac[k].phaseDeg, 360.0)));
                    }
                }
                std::printf(
                    "%5.0f dB        %4.0f dB  %4.0f dBFS  %5.2f dB %5.1f°   %5.2f dB %5.1f°\n",
                    above, change, noise, worstDb[0], worstDeg[0], worstDb[1], worstDeg[1]);
            }
        }
    }
    return 0;
}
