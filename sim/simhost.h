// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "analogpath.h"
#include "audiosim.h"

#include <portaudio.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The host behind the stand-in's Pa_* functions (audiosim.h): its two
// devices, the streams opened on them, and the thread that runs their
// callbacks, playing the DAC's output into the analog path and recording
// the interface's input from it. One per process.
class SimHost {
public:
    static constexpr int outputDevice = 0;
    static constexpr int inputDevice = 1;
    static constexpr int deviceCount = 2;
    // Pa_Initialize's error when SONVALE_SIM_ANALOG is refused.
    static constexpr PaError analogError = paInternalError;

    struct Stream {
        bool input = false;
        int device = 0; // an output stream's: the DAC's or the interface's own
        int channels = 0;
        bool nonInterleaved = false;
        double rate = 0;
        PaStreamCallback* callback = nullptr;
        PaStreamFinishedCallback* finished = nullptr;
        void* userData = nullptr;
        PaStreamInfo info{};
        enum class State { Stopped, Running, Finished } state = State::Stopped;
        bool closed = false;
        double framesDone = 0;
    };

    static SimHost& instance();

    // Runs f(*this) under the host's lock, ahead of the engine.
    template <typename F>
    auto locked(F f)
    {
        ++waiters_;
        std::unique_lock<std::mutex> lock(mutex_);
        --waiters_;
        return f(*this);
    }

    // Runs f(stream) under the lock for a stream that is open; `otherwise`
    // for a pointer that names none.
    template <typename R, typename F>
    R withStream(PaStream* stream, R otherwise, F f)
    {
        return locked([&](SimHost& host) -> R {
            Stream* st = host.known(stream);
            return st ? f(*st) : otherwise;
        });
    }

    PaError initialize();
    PaError terminate();
    bool initialized() const { return initCount_ > 0; }
    // What Pa_GetErrorText says for analogError: the refusal of
    // SONVALE_SIM_ANALOG, or empty.
    const std::string& analogRefusal() const { return analogRefusal_; }
    const PaHostApiInfo* hostApi(PaHostApiIndex index) const;
    const PaDeviceInfo* device(PaDeviceIndex index) const;
    PaError checkParameters(const PaStreamParameters* p, bool input, double sampleRate) const;

    // A stream one way, callback-driven: the program's streams are.
    PaError open(PaStream** stream, const PaStreamParameters* inputParameters,
                 const PaStreamParameters* outputParameters, double sampleRate,
                 PaStreamCallback* callback, void* userData);
    PaError close(PaStream* stream);
    PaError start(PaStream* stream);
    PaError stop(PaStream* stream);

private:
    Stream* known(PaStream* stream);
    void setDevice(PaDeviceInfo& info, const char* name, int inputs, int outputs);
    void run();
    double playBuffer(); // the rate it played at
    bool recordBuffer();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<int> waiters_{0};
    std::thread engine_;
    bool quit_ = false;
    int initCount_ = 0;

    std::string analogRefusal_;
    AudioSim::Analog analog_;
    std::string outputName_;
    PaDeviceInfo devices_[deviceCount]{};
    PaHostApiInfo hostApi_{};

    std::vector<std::unique_ptr<Stream>> streams_;
    Stream* output_ = nullptr; // the running streams, one of each
    Stream* input_ = nullptr;
    AnalogPath path_;
};
