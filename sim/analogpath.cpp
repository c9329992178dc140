// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "analogpath.h"
#include "kaiserwindow.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr double kPi = 3.14159265358979323846;

uint16_t bigEndian16(const VirtualDac::Block& block, int at)
{
    return uint16_t((block[size_t(at)] << 8) | block[size_t(at) + 1]);
}

} // namespace

void AnalogPath::setAnalog(const AudioSim::Analog& analog)
{
    analog_ = analog;
    inputGain_ = std::pow(10.0, analog.gainDb / 20);
    recordings_ = 0;
    rotating_ = analog.rot2Deg != 0 || analog.rot3Deg != 0;
    cos2_ = std::cos(analog.rot2Deg * kPi / 180);
    sin2_ = std::sin(analog.rot2Deg * kPi / 180);
    cos3_ = std::cos(analog.rot3Deg * kPi / 180);
    sin3_ = std::sin(analog.rot3Deg * kPi / 180);
    // A ground loop's 2nd and 3rd mains harmonics 6 and 12 dB below its 1st.
    for (int k = 0; k < 3; ++k)
        hum_[k] = std::pow(10.0, (analog.humDbfs - 6 * k) / 20);
}

int AnalogPath::pairFor(int output, const VirtualDac::Block& block) const
{
    switch (analog_.map) {
    case AudioSim::Analog::Map::Straight: return output;
    case AudioSim::Analog::Map::Swapped: return 1 - output;
    case AudioSim::Analog::Map::Volume: break;
    }
    // The thresholds are in half decibels below full scale.
    const double volume = AudioSim::volumeDb(block[size_t(4 + output)], block[6], block[7]);
    if (volume <= -block[8] / 2.0)
        return 0;
    if (volume >= -block[9] / 2.0)
        return 2;
    return 1;
}

void AnalogPath::takeBlock(const VirtualDac::Block& block)
{
    for (int ch = 0; ch < outputs; ++ch) {
        const int pair = pairFor(ch, block);
        const double c2 = int16_t(bigEndian16(block, 10 + 4 * pair));
        const double c3 = int16_t(bigEndian16(block, 12 + 4 * pair));
        Stage& m = stages_[ch];
        const double db = AudioSim::volumeDb(block[size_t(4 + ch)], block[6], block[7]);
        m.volume = std::pow(10.0, db / 20);
        m.h2 = ch == 0 ? analog_.h2l : analog_.h2r;
        m.h3 = ch == 0 ? analog_.h3l : analog_.h3r;
        m.k2c2 = analog_.k2 * c2;
        m.k3c3 = analog_.k3 * c3;
        m.a2 = m.h2 + m.k2c2;
        m.a3 = m.h3 + m.k3c3;
    }
}

void AnalogPath::play(const float* frames, int count, double rate, bool interface)
{
    ownOutput_ = interface;
    if (interface) {
        // Its own output stage, at unity gain into its own inputs.
        for (int c = 0; c < outputs; ++c) {
            for (int i = 0; i < count; ++i) {
                const double x = double(frames[size_t(i) * outputs + size_t(c)]);
                signal_[c].push_back(x + analog_.iface2 * x * x + analog_.iface3 * x * x * x);
            }
        }
        written_ += count;
        return;
    }
    for (int c = 0; c < outputs; ++c) {
        Stage& m = stages_[c];
        if (rotating_ && (!m.rotation || m.rotation->rate() != rate))
            m.rotation.emplace(rate);
        for (int i = 0; i < count; ++i) {
            const double v = double(frames[size_t(i) * outputs + size_t(c)]) * m.volume;
            double y = 0;
            if (!rotating_) {
                y = v + m.a2 * v * v + m.a3 * v * v * v;
            } else {
                // The THD values' share turned against the DAC's own.
                const double v2 = v * v, v3 = v2 * v;
                const double w2 = m.k2c2 * v2, w3 = m.k3c3 * v3;
                y = m.rotation->push(v + m.h2 * v2 + m.h3 * v3 + cos2_ * w2 + cos3_ * w3,
                                     sin2_ * w2 + sin3_ * w3);
            }
            signal_[c].push_back(y * inputGain_);
        }
    }
    written_ += count;
}

void AnalogPath::startRecording(double rate)
{
    position_ =
        std::max(base_, written_ - AudioSim::bufferFrames - AudioSim::interpolatorHalfLength - 1);
    rate_ = rate;
    frames_ = 0;
    clock_ = 0;
    const std::vector<double>& gains = analog_.adcGainDb;
    adcGain_ = std::pow(10.0, gains[std::min<size_t>(size_t(recordings_), gains.size() - 1)] / 20);
    ++recordings_;
    dropped_ = false;
    overflowed_ = false;
    if (written_ == 0) {
        // Prime the path with the latency of one buffer.
        for (auto& signal : signal_)
            signal.assign(AudioSim::bufferFrames + AudioSim::interpolatorHalfLength + 1, 0.0);
        written_ = double(signal_[0].size());
    }
}

double AnalogPath::lostFrames() const
{
    return std::round(AudioSim::dropoutLength * rate_);
}

bool AnalogPath::canRecord(int count) const
{
    // What the interface's clock runs through at its fastest.
    const double fastest = ownOutput_ ? 1 : 1 + (analog_.ppm + analog_.wanderPpm) * 1e-6;
    // A dropout within these frames skips the samples it loses too: they
    // must have been played, or the recording would close up over silence.
    const bool dropping = !dropped_ && analog_.dropoutSeconds >= 0
                          && frames_ + count > analog_.dropoutSeconds * rate_;
    const double skipped = dropping ? fastest * lostFrames() : 0;
    return position_ + fastest * count + skipped + AudioSim::interpolatorHalfLength + 1 <= written_;
}

void AnalogPath::tick()
{
    // The interface's own outputs run on the clock that records them.
    double ppm = ownOutput_ ? 0 : analog_.ppm;
    if (analog_.wanderPpm != 0 && !ownOutput_)
        ppm += analog_.wanderPpm * std::sin(2 * kPi * clock_ / (rate_ * AudioSim::wanderSeconds));
    position_ += 1 + ppm * 1e-6;
    clock_ += 1;
}

// Band-limited interpolation: a Kaiser-windowed sinc, normalised to unity
// gain at DC. On a clock that runs exactly with the DAC's, the samples
// themselves.
void AnalogPath::sample(double (&y)[outputs]) const
{
    const bool exact = ownOutput_ || (analog_.ppm == 0 && analog_.wanderPpm == 0);
    const double local = (exact ? std::round(position_) : position_) - base_;
    const double whole = std::floor(local);
    const double fraction = local - whole;
    const int at = int(whole);
    const int held = int(signal_[0].size());
    if (fraction == 0) {
        for (int o = 0; o < outputs; ++o)
            y[o] = at >= 0 && at < held ? signal_[o][size_t(at)] : 0.0;
        return;
    }
    const int half = AudioSim::interpolatorHalfLength;
    const double sinPiF = std::sin(kPi * fraction);
    double w[2 * AudioSim::interpolatorHalfLength];
    double weights = 0;
    for (int k = -half + 1; k <= half; ++k) {
        const double d = k - fraction; // distance from the wanted position
        // sin(pi (k - f)) = (-1)^(k+1) sin(pi f)
        const double sinc = ((k & 1) ? sinPiF : -sinPiF) / (kPi * d);
        w[k + half - 1] = sinc * KaiserWindow::at(d / half);
        weights += w[k + half - 1];
    }
    const int first = std::max(-half + 1, -at);
    const int last = std::min(half, held - 1 - at);
    for (int o = 0; o < outputs; ++o) {
        double sum = 0;
        if (first <= last) {
            auto s = signal_[o].begin() + (at + first);
            for (int k = first; k <= last; ++k, ++s)
                sum += w[k + half - 1] * *s;
        }
        y[o] = sum / weights;
    }
}

double AnalogPath::humAt(double seconds) const
{
    const double phase = 2 * kPi * AudioSim::mainsHz * seconds;
    return hum_[0] * std::cos(phase) + hum_[1] * std::cos(2 * phase)
           + hum_[2] * std::cos(3 * phase);
}

bool AnalogPath::record(float* frames, int count, int channels)
{
    const bool overflow = !overflowed_ && analog_.xrunSeconds >= 0
                          && frames_ + count - 1 >= analog_.xrunSeconds * rate_;
    overflowed_ = overflowed_ || overflow;
    const double sigma = std::pow(10.0, analog_.noiseDbfs / 20) / std::sqrt(2.0);
    std::normal_distribution<double> gauss(0.0, sigma);
    const double dropAt = analog_.dropoutSeconds * rate_;
    const bool humming = hum_[0] > 0 && !analog_.silentInput && !ownOutput_;
    for (int i = 0; i < count; ++i) {
        if (!dropped_ && analog_.dropoutSeconds >= 0 && frames_ >= dropAt) {
            for (double lost = lostFrames(); lost > 0; --lost)
                tick();
            dropped_ = true;
        }
        double outputsHere[outputs] = {};
        if (!analog_.silentInput)
            sample(outputsHere);
        const double hum = humming ? humAt(clock_ / rate_) : 0.0;
        for (int c = 0; c < channels; ++c) {
            const int output = c + 1 == analog_.route[0] ? 0 : c + 1 == analog_.route[1] ? 1 : -1;
            double y = output >= 0 ? outputsHere[output] : 0.0;
            if (humming && output >= 0)
                y += hum;
            y *= adcGain_;
            const double z = y + analog_.adc2 * y * y + analog_.adc3 * y * y * y + gauss(noise_);
            frames[size_t(i) * size_t(channels) + size_t(c)] = float(std::clamp(z, -1.0, 1.0));
        }
        tick();
        frames_ += 1;
    }
    return overflow;
}

void AnalogPath::trim(bool recording)
{
    const double keepFrom =
        recording ? std::floor(position_) - AudioSim::interpolatorHalfLength - 1
                  : written_ - AudioSim::bufferFrames - AudioSim::interpolatorHalfLength;
    while (base_ < keepFrom && !signal_[0].empty()) {
        for (auto& signal : signal_)
            signal.pop_front();
        base_ += 1;
    }
}

void AnalogPath::clear()
{
    for (auto& signal : signal_)
        signal.clear();
    for (Stage& stage : stages_)
        if (stage.rotation)
            stage.rotation->clear();
    base_ = written_ = 0;
}
