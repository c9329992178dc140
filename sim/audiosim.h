// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <limits>
#include <string>
#include <vector>

// The simulated analog path behind the PortAudio C API: the Pa_* functions
// defined in portaudiosim.cpp offer two devices on one host API, "Sonvale
// simulation":
//   0  "<the simulated DAC's USB product string>: USB Audio"  2 outputs, the
//      DAC (the default output)
//   1  "Sonvale loopback interface"  2 inputs (or as `inputs` says) and 2
//      outputs, an audio interface two of whose inputs are wired to the DAC's
//      outputs (the default input); an input stream opens any number of them
// One output stream plays at a time, on either device. What the interface's
// own outputs play reaches the same two inputs (route: its left output the
// first, its right the second), as when its outputs are wired back to its
// inputs to measure the interface alone:
//   y = x + iface2·x² + iface3·x³   x the played sample, at unity gain (gain
//                                   is the DAC's cable, not this one)
// then j and z as below (adcgain, adc2, adc3, noise). Its output and its
// input run on its one clock, so ppm and wander do not move the tone, and
// no hum: the ground loop is the DAC's.
// What the DAC plays reaches the interface, per channel (left, right), as
//   v = x · 10^(volume/20)       x the played sample, full scale 1.0; volume in
//                                dB as the window shows it, from that
//                                channel's volume byte of the DAC's block
//   y = v + h2·v² + h3·v³        h2, h3 the DAC's own distortion; c2, c3 the
//       + R2(k2·c2·v²)           2nd and 3rd values of the THD pair driving
//       + R3(k3·c3·v³)           that output (thd_range0 the left one and
//                                thd_range1 the right one, or the other way
//                                round, thd_range2 driving nothing; or the
//                                pair of the volume range the output's
//                                volume lies in, see map); R2, R3
//                                the analog stages' phase at 2f and 3f:
//                                R(w) = cos(rot)·w - sin(rot)·H(w), H the
//                                Hilbert transform, turns every frequency of
//                                w by rot (rot2, rot3). With both 0, as by
//                                default, y = v + a2·v² + a3·v³, a2 = h2 +
//                                k2·c2, a3 = h3 + k3·c3, sample by sample
//   u = y · 10^(gain/20)         the gain of the interface's input and the
//                                cable
//   i = u' + hum                 u' is u as the interface's clock samples it:
//                                its sample n is u at sample p(n) of the
//                                DAC's clock (band-limited interpolation),
//                                p(n) = Σ 1 + (ppm + wander·sin(2π·t/60))·1e-6
//                                over the interface's samples before n, t
//                                the time of each since its recording began:
//                                a tone arrives at about f·(1 + ppm·1e-6);
//                                hum the mains hum on the inputs the DAC
//                                reaches
//   j = i · 10^(adcgain/20)      the interface's own input gain (its knob)
//   z = j + adc2·j² + adc3·j³ + noise, clipped to ±1
//                                on the input the output reaches (route);
//                                the others take i = 0
// and arrives one buffer (1024 frames) and the interpolator's 64 frames
// later; with a rotation, also the 255 frames at 48 kHz (in proportion at
// other rates) by which its filter delays the whole path. The block is the
// simulated DAC's (UsbSim::block()) as it stands when a stream starts.
// Callbacks run on a thread of the stand-in's own, as fast as the program
// takes them (a second of audio takes far less than a second), or, paced,
// a buffer every 1024 frames' time of the wall clock. Streams take 32-bit
// float samples, interleaved or not, at any rate.
//
// The path is set from the environment at Pa_Initialize:
//   SONVALE_SIM_ANALOG=key=value,...   comma-separated, any of
//     h2l, h3l, h2r, h3r  the DAC's own h2, h3 on the left and right output
//                         (defaults 2e-5, 1.5e-5, -1.2e-5, 2.5e-5)
//     k2, k3              change of a2, a3 per unit of a THD value (1e-7, 1e-7)
//     rot2, rot3          DEG: the phase at 2f and 3f of what the THD values
//                         add against the DAC's own distortion, -360 to 360
//                         (default 0): a value's null then lies at
//                         c = -h·cos(rot)/k, and |h·sin(rot)| is left there,
//                         in quadrature to what the value moves
//     map                 straight: thd_range0 drives the left output and
//                         thd_range1 the right; swapped: the other way round;
//                         volume: every pair drives both outputs, but only at
//                         the volumes of its range: with t0, t1 the block's
//                         bytes 8 and 9 and v the output's volume in dB,
//                         thd_range0 where v <= -t0/2, else thd_range2 where
//                         v >= -t1/2, else thd_range1 (the factory block's
//                         t0 = 0x3c, t1 = 0: range 0 at -30 dB and below,
//                         range 2 at 0 dB, range 1 between)
//     noise               the interface's noise, dBFS RMS (a full-scale sine
//                         is 0 dBFS; default -130)
//     ppm                 the interface's clock offset, -10000 to 10000
//                         (default 0)
//     wander              PPM: the interface's clock rate wanders by ±PPM
//                         around ppm, a sine of 60 s from the start of its
//                         recording (a crystal warming up), 0 to 10000
//                         (default 0)
//     adc2, adc3          the interface's own a2, a3 (default 0)
//     iface2, iface3      the a2, a3 of the interface's own outputs (default 0)
//     adcgain             G1,G2,...: the interface's input gain in dB, applied
//                         before its own distortion: the first input stream
//                         opened gets G1, the next G2, and so on, the last
//                         repeating (default 0): a knob turned between two
//                         captures; -100 to 100 each
//     gain                DB: the analog path's gain into the interface,
//                         -100 to 100 (default 0): where the knob of its
//                         input stands, which moves the level its own
//                         distortion sees but not the DAC's
//     hum                 DBFS: the mains hum of a ground loop between the
//                         DAC and the interface, at most 0 (default none):
//                         50 Hz at that peak level, 100 and 150 Hz 6 and
//                         12 dB below it, on the interface's clock; none
//                         with input=silent
//     input               connected (default) or silent: nothing reaches the
//                         input but its noise (a cable come loose)
//     busy                output or input: another program holds that device
//                         alone (a WASAPI exclusive stream, a DAW): a stream
//                         opened on it fails, paDeviceUnavailable (input:
//                         the interface, either way)
//     pace                fast (default): buffers come and go as fast as the
//                         program takes them; realtime: at the rate of the
//                         wall clock, as a real device's do
//     inputs              N: the interface's inputs, 2 to 32 (default 2)
//     route               L,R: the inputs the DAC's left and right outputs
//                         reach, 1-based, two of them (default 1,2); the
//                         comma is the value's own
//     dropout             SECONDS: that far into a recording (from the start
//                         of the input stream, settling time included) the
//                         interface loses 0.1 s of samples, unreported (the
//                         recording closes up over the gap)
//     xrun                SECONDS: the callback of the input stream whose
//                         buffer holds the frame that far into a recording
//                         (counted as dropout counts) is told
//                         paInputOverflow, once; the samples are untouched
// An unknown key or a value that is not what the key takes makes
// Pa_Initialize fail; Pa_GetErrorText then names it, e.g.
// "SONVALE_SIM_ANALOG: unknown key 'foo'".
class AudioSim {
public:
    struct Analog {
        double h2l = 2e-5;
        double h3l = 1.5e-5;
        double h2r = -1.2e-5;
        double h3r = 2.5e-5;
        double k2 = 1e-7;
        double k3 = 1e-7;
        double rot2Deg = 0;
        double rot3Deg = 0;
        // Which pair drives which output (map).
        enum class Map { Straight, Swapped, Volume } map = Map::Straight;
        double noiseDbfs = -130;
        double ppm = 0;
        double wanderPpm = 0;
        double adc2 = 0;
        double adc3 = 0;
        double iface2 = 0;
        double iface3 = 0;
        std::vector<double> adcGainDb{0};
        double gainDb = 0;
        double humDbfs = -std::numeric_limits<double>::infinity(); // none
        bool silentInput = false;
        bool busyOutput = false; // busy=output
        bool busyInput = false;  // busy=input
        bool realtime = false; // pace
        int inputs = 2;
        int route[2] = {1, 2}; // the inputs the left and right output reach, 1-based
        double dropoutSeconds = -1; // negative: none
        double xrunSeconds = -1;    // negative: none
    };

    static constexpr int bufferFrames = 1024;
    static constexpr int maxInputs = 32;
    static constexpr int interpolatorHalfLength = 64;
    static constexpr double dropoutLength = 0.1;
    static constexpr double mainsHz = 50;
    static constexpr double wanderSeconds = 60;

    // The variable's text read into `analog` (which starts from the
    // defaults); false with `error` naming the key or value at fault.
    static bool parse(const std::string& text, Analog& analog, std::string& error);

    // The DAC's output level in dB from its volume byte, as the window shows
    // it (ES9038State::volumeDb).
    static float volumeDb(unsigned char attenuation, unsigned char max, unsigned char min);

    static const char* hostApiName();
    // The interface's name: device 1, its inputs and its own outputs.
    static const char* inputName();
};
