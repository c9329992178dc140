// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/capturestate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A raised-cosine ramp from 0 to 1 over `length` frames.
double ramp(long long frame, long long length)
{
    if (frame <= 0)
        return 0;
    if (frame >= length)
        return 1;
    return 0.5 - 0.5 * std::cos(kPi * double(frame) / double(length));
}

} // namespace

CaptureState::CaptureState(const Tone& tone) : tone_(tone)
{
}

void CaptureState::reserve(std::size_t samples)
{
    kept_.reserve(samples);
}

void CaptureState::setRecording(const Recording& recording)
{
    recording_ = recording;
    kept_.assign(size_t(recording.keep) * recording.picked.size(), 0.0f);
}

void CaptureState::play(float* output, unsigned long frames, bool underflow, double dacTime)
{
    if (underflow && phase_ == Keeping)
        ++outputFaults_;
    const bool fading = fading_;
    const long long first = played_;
    bool nowFaded = false;
    for (unsigned long i = 0; i < frames; ++i) {
        const long long n = played_++;
        double gain = ramp(n, tone_.fadeFrames);
        if (fading) {
            if (fadeFrom_ < 0)
                fadeFrom_ = n;
            gain *= 1 - ramp(n - fadeFrom_, tone_.fadeFrames);
            nowFaded = nowFaded || n - fadeFrom_ >= tone_.fadeFrames;
        }
        const float value = float(tone_.amplitude * gain * std::sin(tone_.omega * double(n)));
        for (int c = 0; c < tone_.channels; ++c)
            *output++ = value;
    }
    if (nowFaded && !faded_) {
        if (dacTime >= 0)
            fadePlayedAt_ =
                dacTime + double(fadeFrom_ + tone_.fadeFrames - first) / tone_.sampleRate;
        faded_ = true;
        notify();
    }
}

bool CaptureState::record(const float* input, unsigned long frames, bool overflow)
{
    const Recording& r = recording_;
    const long long first = received_;
    const long long total = r.discard + r.keep;
    const long long last = first + (long long)frames;
    // A fault before these frames counts when any of them is kept.
    if (overflow && last > r.discard && first < total)
        ++inputFaults_;
    const size_t picked = r.picked.size();
    for (long long n = std::max(first, r.discard); n < std::min(last, total); ++n) {
        const size_t from = size_t(n - first) * size_t(r.streamChannels);
        float* to = &kept_[size_t(n - r.discard) * picked];
        for (size_t c = 0; c < picked; ++c)
            to[c] = input ? input[from + size_t(r.picked[c])] : 0.0f;
    }
    received_ = last;
    if (last >= total)
        phase_ = Done;
    else if (last > r.discard)
        phase_ = Keeping;
    notify();
    return last < total;
}

long long CaptureState::waitForFrames(long long seen, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return received_ != seen; });
    return received_;
}

bool CaptureState::complete() const
{
    return received_ >= recording_.discard + recording_.keep;
}

bool CaptureState::fadeOut(std::chrono::milliseconds timeout)
{
    fading_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return faded_.load(); });
}

double CaptureState::fadePlayedAt() const
{
    return fadePlayedAt_;
}

int CaptureState::inputFaults() const
{
    return inputFaults_;
}

int CaptureState::outputFaults() const
{
    return outputFaults_;
}

std::vector<std::vector<double>> CaptureState::kept() const
{
    const size_t picked = recording_.picked.size();
    const size_t frames = size_t(recording_.keep);
    std::vector<std::vector<double>> channels(picked, std::vector<double>(frames));
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < picked; ++c)
            channels[c][i] = double(kept_[i * picked + c]);
    return channels;
}

void CaptureState::notify()
{
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}
