// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Captures whose answer is known: a sine with chosen harmonics, clock offset,
// delay, DC and noise; and the DAC's analog path as the THD compensation
// sees it, for the solver. Shared by the tests and the benchmark.

#include "measure/analysis.h"
#include "tuning/thdsolver.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace Synthetic {

constexpr double pi = 3.14159265358979323846;

struct Harmonic {
    double dbc;
    double phaseDeg;
};

struct Tone {
    double rateHz = 48000;
    double frequencyHz = 997;
    double levelDbfs = -3;
    double seconds = 1;
    double ppm = 0; // the capture's clock against the player's
    double delaySamples = 0;
    double dc = 0;
    double noiseDbfs = -1000; // white, RMS against a full-scale sine's
    std::map<int, Harmonic> harmonics;
    int quantiseBits = 0; // 0: not quantised
    unsigned seed = 1;
};

// The phase of the fundamental at the first sample, before the delay: any
// value, the harmonics' phases are relative to it.
constexpr double startPhase = 0.7;

inline double noiseRms(double noiseDbfs)
{
    return std::pow(10.0, noiseDbfs / 20.0) / std::sqrt(2.0);
}

inline std::vector<double> synthesize(const Tone& tone)
{
    const std::size_t count = std::size_t(std::llround(tone.seconds * tone.rateHz));
    const double amplitude = std::pow(10.0, tone.levelDbfs / 20.0);
    const double omega = 2 * pi * tone.frequencyHz * (1 + tone.ppm * 1e-6) / tone.rateHz;
    std::mt19937_64 random(tone.seed);
    std::normal_distribution<double> noise(0.0, noiseRms(tone.noiseDbfs));
    const double scale = tone.quantiseBits ? std::ldexp(1.0, tone.quantiseBits - 1) : 0;
    std::vector<double> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double theta = omega * (double(i) - tone.delaySamples) + startPhase;
        double x = tone.dc + amplitude * std::cos(theta);
        for (const auto& [order, h] : tone.harmonics)
            x += amplitude * std::pow(10.0, h.dbc / 20.0)
                 * std::cos(order * theta + h.phaseDeg * pi / 180);
        x += noise(random);
        if (scale)
            x = std::clamp(std::round(x * scale), -scale, scale - 1) / scale;
        samples[i] = x;
    }
    return samples;
}

// An audio interface's input: the signal through its gain knob, then its
// converter's own curve y + c2·y² + c3·y³, then its noise.
inline void throughInterface(std::vector<double>& samples, double gainDb, double c2, double c3,
                             double noiseDbfs, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<double> noise(0.0, noiseRms(noiseDbfs));
    const double gain = std::pow(10.0, gainDb / 20.0);
    for (double& sample : samples) {
        const double y = sample * gain;
        sample = y + c2 * y * y + c3 * y * y * y + noise(random);
    }
}

// The DAC and a loopback interface, per output: y = x + a2·x² + a3·x³ with
// a2 = h2 + k2·c2 and a3 = h3 + k3·c3, c2 and c3 the values of the pair that
// drives the output, x the tone at the DAC's output (the level played and the
// DAC's volume). The parts the values put at 2f and 3f may lie turned by
// rot2, rot3 against the DAC's own (a phase shift between the chip's
// compensation and the stages that distort): the null of a value then lies at
// c = −h·cos(rot)/k and |h·sin(rot)| stays. The path to the interface scales
// y by its gain; the interface adds adc2·y² + adc3·y³, a 2nd harmonic in
// quadrature (a phase shift the values cannot follow), noise at its input and
// a clock offset.
//
// Each capture is synthesised sample by sample and analysed, `seconds` times
// the length factor asked for long; or, `analytic`, it is the analysis such a
// capture would give: the harmonics the model puts
// there (to first order in its coefficients) plus the noise a fit over that
// many samples leaves on their parts, σ·√(2/N)/A. That keeps runs of many
// minutes of audio quick. The coefficients may be changed between captures,
// as a warming DAC changes them.
struct AnalogPath {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k2 = 1e-7;
    double k3 = 1e-7;
    int driver[2] = {0, 1};  // the pair that drives left, right (-1 none)
    double noiseDbfs = -130; // at the interface's input
    double ppm = 0;
    double adc2 = 0;
    double adc3 = 0;
    double quadratureH2 = 0; // relative to the fundamental
    double levelDbfs = -3;   // the tone played
    double volumeDb = 0;     // the DAC's volume
    double pathGainDb = 0;   // from the DAC's output to the interface's input
    double rot2Deg = 0;
    double rot3Deg = 0;
    double frequencyHz = 997;
    double rateHz = 48000;
    double seconds = 1; // a capture of length factor 1
    bool analytic = false;
    unsigned seed = 0;        // another draw of the noise
    int dropoutAtCapture = 0; // this capture (1-based) loses 2 ms
    int captures = 0;
    std::vector<ThdValues> written;
    std::vector<double> lengthFactors;

    static AnalogPath mapped(int leftDriver, int rightDriver)
    {
        AnalogPath model;
        model.driver[0] = leftDriver;
        model.driver[1] = rightDriver;
        return model;
    }

    // A real desk: the interface hears the DAC 9 dB down, over its own
    // noise of -120 dBFS; the DAC at `volume`.
    static AnalogPath desk(double volume)
    {
        AnalogPath model;
        model.volumeDb = volume;
        model.pathGainDb = -9;
        model.noiseDbfs = -120;
        model.analytic = true;
        return model;
    }

    // The tone at the DAC's output, and at the interface's input.
    double amplitude() const { return std::pow(10.0, (levelDbfs + volumeDb) / 20.0); }
    double inputAmplitude() const { return amplitude() * std::pow(10.0, pathGainDb / 20.0); }

    // What a unit of a moves h by: A/2 at 2f, A²/4 at 3f.
    double perCoefficient(int which) const
    {
        return which == 0 ? amplitude() / 2 : amplitude() * amplitude() / 4;
    }

    // h at the values, without noise: the DAC's own and the interface's
    // share, and what the value adds, turned by its rotation.
    std::complex<double> harmonicAt(const ThdValues& values, int output, int which) const
    {
        const int pair = driver[output];
        const double value = pair >= 0 ? values.pairs[std::size_t(pair)][std::size_t(which)] : 0;
        return own(output, which)
               + direction(which) * (which == 0 ? k2 : k3) * value * perCoefficient(which);
    }

    // The value that nulls the part of a harmonic the values can reach, and
    // the part they cannot (relative to the fundamental).
    double optimum(int output, int which) const
    {
        return -(std::conj(direction(which)) * own(output, which)).real()
               / ((which == 0 ? k2 : k3) * perCoefficient(which));
    }
    std::vector<int> drivenBy(int pair) const
    {
        std::vector<int> outputs;
        for (int output = 0; output < 2; ++output) {
            if (driver[output] == pair)
                outputs.push_back(output);
        }
        return outputs;
    }
    // A pair's value over the outputs it drives: both move alike, so the
    // least squares lie at the mean of their optima.
    double pairOptimum(int pair, int which) const
    {
        double sum = 0;
        for (int output : drivenBy(pair))
            sum += optimum(output, which);
        return sum / double(drivenBy(pair).size());
    }
    double floor(int output, int which) const
    {
        return std::abs((std::conj(direction(which)) * own(output, which)).imag());
    }

    CaptureAnalysis operator()(const ThdValues& values, double lengthFactor = 1)
    {
        ++captures;
        written.push_back(values);
        lengthFactors.push_back(lengthFactor);
        return analytic ? analysed(values, lengthFactor) : synthesised(values, lengthFactor);
    }

private:
    std::complex<double> direction(int which) const
    {
        return std::polar(1.0, (which == 0 ? rot2Deg : rot3Deg) * pi / 180);
    }

    std::complex<double> own(int output, int which) const
    {
        const double gain = std::pow(10.0, pathGainDb / 20.0);
        if (which == 0)
            return std::complex<double>((h2[output] + adc2 * gain) * perCoefficient(0),
                                        quadratureH2);
        return (h3[output] + adc3 * gain * gain) * perCoefficient(1);
    }

    CaptureAnalysis synthesised(const ThdValues& values, double lengthFactor) const
    {
        const std::size_t count = std::size_t(std::llround(seconds * lengthFactor * rateHz));
        const double amplitude = this->amplitude();
        const double gain = std::pow(10.0, pathGainDb / 20.0);
        const double omega = 2 * pi * frequencyHz * (1 + ppm * 1e-6) / rateHz;
        const double r2 = rot2Deg * pi / 180, r3 = rot3Deg * pi / 180;
        std::mt19937_64 random(1000 + captures + 7919ull * seed);
        std::normal_distribution<double> noise(0.0, noiseRms(noiseDbfs));
        std::vector<std::vector<double>> channels(2, std::vector<double>(count));
        for (int output = 0; output < 2; ++output) {
            const int pair = driver[output];
            const double c2 = pair >= 0 ? values.pairs[pair][0] : 0;
            const double c3 = pair >= 0 ? values.pairs[pair][1] : 0;
            // What the values put at 2f and 3f: k·c·x² and k·c·x³, their
            // harmonics turned.
            const double d2 = k2 * c2 * amplitude * amplitude / 2;
            const double d3 = k3 * c3 * amplitude * amplitude * amplitude / 4;
            for (std::size_t i = 0; i < count; ++i) {
                const double theta = omega * double(i) + startPhase + output;
                const double x = amplitude * std::cos(theta);
                const double dac = x + h2[output] * x * x + h3[output] * x * x * x
                                   + d2 * (1 + std::cos(2 * theta + r2))
                                   + d3 * (3 * std::cos(theta) + std::cos(3 * theta + r3));
                const double y = gain * dac;
                channels[output][i] =
                    y + adc2 * y * y + adc3 * y * y * y
                    + quadratureH2 * gain * amplitude * std::cos(2 * theta + pi / 2)
                    + noise(random);
            }
        }
        if (captures == dropoutAtCapture) {
            for (auto& channel : channels)
                channel.erase(channel.begin() + 20000, channel.begin() + 20096);
        }
        AnalysisOptions options;
        options.expectedFrequencyHz = frequencyHz;
        return analyseCapture(channels, rateHz, options);
    }

    CaptureAnalysis analysed(const ThdValues& values, double lengthFactor) const
    {
        const double count = std::floor(seconds * lengthFactor * rateHz);
        const double sigma = noiseRms(noiseDbfs) * std::sqrt(2 / count) / inputAmplitude();
        std::mt19937_64 random(1000 + captures + 7919ull * seed);
        std::normal_distribution<double> noise(0.0, sigma);
        CaptureAnalysis capture;
        capture.rateHz = rateHz;
        capture.seconds = count / rateHz;
        for (int output = 0; output < 2; ++output) {
            ChannelAnalysis channel;
            channel.hasTone = true;
            channel.frequencyHz = frequencyHz * (1 + ppm * 1e-6);
            channel.levelDbfs = 20 * std::log10(inputAmplitude());
            channel.dcOffset = 0;
            channel.seconds = capture.seconds;
            channel.cycles = std::floor(capture.seconds * frequencyHz);
            channel.harmonicNoise = sigma;
            channel.harmonics[1] = 1;
            double thd = 0;
            for (int which = 0; which < 2; ++which) {
                const double real = noise(random);
                const double imaginary = noise(random);
                const std::complex<double> drawn(real, imaginary);
                channel.harmonics[std::size_t(2 + which)] =
                    harmonicAt(values, output, which) + drawn;
                thd += std::norm(channel.harmonics[std::size_t(2 + which)]);
            }
            channel.thdDb = 10 * std::log10(thd);
            channel.thdPercent = 100 * std::sqrt(thd);
            if (captures == dropoutAtCapture)
                channel.problems.push_back(Problem::dropout);
            capture.channels.push_back(channel);
        }
        if (captures == dropoutAtCapture)
            capture.problems.push_back(Problem::dropout);
        return capture;
    }
};

// "1024/1024 0/0 0/0": each pair's 2nd and 3rd value.
inline std::string valuesText(const ThdValues& values)
{
    std::string text;
    for (const auto& pair : values.pairs)
        text += (text.empty() ? "" : " ") + std::to_string(pair[0]) + "/" + std::to_string(pair[1]);
    return text;
}

// What a solver's run came to, for a failing check or a benchmark's line.
inline std::string describe(const ThdSolver::Result& result)
{
    char lengths[32];
    std::snprintf(lengths, sizeof lengths, "%.1f", result.captureLengths);
    std::string text = "captures " + std::to_string(result.captures) + " (" + lengths
                       + " lengths), reason \"" + result.reason + "\", values "
                       + valuesText(result.values);
    for (const std::string& note : result.notes)
        text += "; " + note;
    return text;
}

} // namespace Synthetic
