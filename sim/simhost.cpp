// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "simhost.h"
#include "usbsim.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

bool running(const SimHost::Stream* stream)
{
    return stream && stream->state == SimHost::Stream::State::Running;
}

PaStreamCallbackTimeInfo timeInfo(const SimHost::Stream& stream)
{
    PaStreamCallbackTimeInfo t{};
    t.currentTime = stream.framesDone / stream.rate;
    t.inputBufferAdcTime = t.currentTime;
    t.outputBufferDacTime = t.currentTime + stream.info.outputLatency;
    return t;
}

void finish(SimHost::Stream& stream)
{
    stream.state = SimHost::Stream::State::Finished;
    if (stream.finished)
        stream.finished(stream.userData);
}

// The samples of one buffer as a callback takes them: one block of frames,
// or one block per channel.
class CallbackBuffer {
public:
    CallbackBuffer(int frames, int channels, bool nonInterleaved)
        : frames_(frames), channels_(channels), nonInterleaved_(nonInterleaved),
          samples_(size_t(frames) * size_t(channels), 0.0f)
    {
        if (nonInterleaved)
            for (int c = 0; c < channels; ++c)
                planes_.push_back(samples_.data() + size_t(c) * size_t(frames));
    }
    void* data() { return nonInterleaved_ ? static_cast<void*>(planes_.data()) : samples_.data(); }
    float& at(int frame, int channel)
    {
        return samples_[nonInterleaved_ ? size_t(channel) * size_t(frames_) + size_t(frame)
                                        : size_t(frame) * size_t(channels_) + size_t(channel)];
    }

private:
    int frames_;
    int channels_;
    bool nonInterleaved_;
    std::vector<float> samples_;
    std::vector<float*> planes_;
};

} // namespace

SimHost& SimHost::instance()
{
    // Never destroyed: the engine may outlive static destruction.
    static SimHost* host = new SimHost;
    return *host;
}

SimHost::Stream* SimHost::known(PaStream* stream)
{
    for (const auto& owned : streams_)
        if (owned.get() == stream && !owned->closed)
            return owned.get();
    return nullptr;
}

// The DAC plays one buffer: the output's callback (or silence) through the
// DAC's analog stages; or the interface's own outputs play it, into its
// inputs.
double SimHost::playBuffer()
{
    const int n = AudioSim::bufferFrames;
    std::vector<float> played(size_t(n) * AnalogPath::outputs, 0.0f);
    Stream* out = output_;
    // Without an output the DAC plays silence at the interface's rate.
    const double rate = running(out) ? out->rate : running(input_) ? input_->rate : 48000;
    if (running(out)) {
        CallbackBuffer buffer(n, out->channels, out->nonInterleaved);
        const PaStreamCallbackTimeInfo t = timeInfo(*out);
        const int result = out->callback(nullptr, buffer.data(), unsigned(n), &t, 0, out->userData);
        out->framesDone += n;
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < std::min(out->channels, AnalogPath::outputs); ++c)
                played[size_t(i) * AnalogPath::outputs + size_t(c)] = buffer.at(i, c);
        if (result != paContinue)
            finish(*out);
    }
    path_.play(played.data(), n, rate, running(out) && out->device == inputDevice);
    return rate;
}

// The interface records one buffer, when the analog signal it needs has been
// played.
bool SimHost::recordBuffer()
{
    Stream* in = input_;
    const int n = AudioSim::bufferFrames;
    if (!running(in) || !path_.canRecord(n))
        return false;
    std::vector<float> recorded(size_t(n) * size_t(in->channels));
    const bool overflow = path_.record(recorded.data(), n, in->channels);
    CallbackBuffer buffer(n, in->channels, in->nonInterleaved);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < in->channels; ++c)
            buffer.at(i, c) = recorded[size_t(i) * size_t(in->channels) + size_t(c)];
    const PaStreamCallbackTimeInfo t = timeInfo(*in);
    const int result = in->callback(buffer.data(), nullptr, unsigned(n), &t,
                                    overflow ? paInputOverflow : 0, in->userData);
    in->framesDone += n;
    if (result != paContinue)
        finish(*in);
    return true;
}

void SimHost::run()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point due = Clock::now(); // of the next buffer, paced
    while (!quit_) {
        if (!running(output_) && !running(input_)) {
            wake_.wait(lock);
            due = Clock::now();
            continue;
        }
        if (waiters_ > 0) {
            // A stream is being stopped or started: let it have the lock.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            lock.lock();
            continue;
        }
        const double rate = playBuffer();
        while (recordBuffer()) {}
        const bool recording = running(input_);
        path_.trim(recording);
        lock.unlock();
        // Paced, the next buffer is due a buffer's time after this one on
        // the wall clock (behind, it catches up). Otherwise, with nothing
        // recording, the output only needs to keep moving, not race.
        if (analog_.realtime) {
            due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(AudioSim::bufferFrames / rate));
            std::this_thread::sleep_until(due);
        } else if (recording)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
    }
}

void SimHost::setDevice(PaDeviceInfo& info, const char* name, int inputs, int outputs)
{
    info.structVersion = 2;
    info.name = name;
    info.hostApi = 0;
    info.maxInputChannels = inputs;
    info.maxOutputChannels = outputs;
    info.defaultLowInputLatency = inputs ? double(AudioSim::bufferFrames) / 48000 : 0;
    info.defaultHighInputLatency = info.defaultLowInputLatency;
    info.defaultLowOutputLatency = outputs ? double(AudioSim::bufferFrames) / 48000 : 0;
    info.defaultHighOutputLatency = info.defaultLowOutputLatency;
    info.defaultSampleRate = 48000;
}

PaError SimHost::initialize()
{
    return locked([](SimHost& h) -> PaError {
        if (h.initCount_ > 0) {
            ++h.initCount_;
            return paNoError;
        }
        AudioSim::Analog analog;
        std::string error;
        const char* text = std::getenv("SONVALE_SIM_ANALOG");
        if (text && !AudioSim::parse(text, analog, error)) {
            h.analogRefusal_ = error;
            return analogError;
        }
        h.analogRefusal_.clear();
        h.analog_ = analog;
        h.path_.setAnalog(analog);
        h.outputName_ = "USB Audio";
        for (const UsbSim::Device& device : UsbSim::devices())
            if (device.dac) {
                h.outputName_ = device.product.text + ": USB Audio";
                break;
            }
        h.setDevice(h.devices_[outputDevice], h.outputName_.c_str(), 0, AnalogPath::outputs);
        h.setDevice(h.devices_[inputDevice], AudioSim::inputName(), analog.inputs,
                    AnalogPath::outputs);
        h.hostApi_.structVersion = 1;
        h.hostApi_.type = paInDevelopment;
        h.hostApi_.name = AudioSim::hostApiName();
        h.hostApi_.deviceCount = deviceCount;
        h.hostApi_.defaultInputDevice = inputDevice;
        h.hostApi_.defaultOutputDevice = outputDevice;
        h.quit_ = false;
        h.engine_ = std::thread([&h] { h.run(); });
        h.initCount_ = 1;
        return paNoError;
    });
}

PaError SimHost::terminate()
{
    std::thread engine;
    const PaError result = locked([&engine](SimHost& h) -> PaError {
        if (h.initCount_ == 0)
            return paNotInitialized;
        if (--h.initCount_ > 0)
            return paNoError;
        for (const auto& stream : h.streams_)
            stream->closed = true;
        h.output_ = h.input_ = nullptr;
        h.quit_ = true;
        h.wake_.notify_all();
        engine = std::move(h.engine_);
        return paNoError;
    });
    if (engine.joinable())
        engine.join();
    return result;
}

const PaHostApiInfo* SimHost::hostApi(PaHostApiIndex index) const
{
    return initialized() && index == 0 ? &hostApi_ : nullptr;
}

const PaDeviceInfo* SimHost::device(PaDeviceIndex index) const
{
    return initialized() && index >= 0 && index < deviceCount ? &devices_[index] : nullptr;
}

PaError SimHost::checkParameters(const PaStreamParameters* p, bool input, double sampleRate) const
{
    if (!p)
        return paNoError;
    // Both devices play; only the interface records.
    if (input ? p->device != inputDevice : p->device != outputDevice && p->device != inputDevice)
        return p->device >= 0 && p->device < deviceCount ? paInvalidChannelCount : paInvalidDevice;
    if (p->channelCount < 1 || p->channelCount > (input ? analog_.inputs : AnalogPath::outputs))
        return paInvalidChannelCount;
    if ((p->sampleFormat & ~paNonInterleaved) != paFloat32)
        return paSampleFormatNotSupported;
    if (!(sampleRate >= 8000 && sampleRate <= 384000))
        return paInvalidSampleRate;
    if (p->device == outputDevice ? analog_.busyOutput : analog_.busyInput)
        return paDeviceUnavailable;
    return paNoError;
}

PaError SimHost::open(PaStream** stream, const PaStreamParameters* inputParameters,
                      const PaStreamParameters* outputParameters, double sampleRate,
                      PaStreamCallback* callback, void* userData)
{
    return locked([&](SimHost& h) -> PaError {
        if (!h.initialized())
            return paNotInitialized;
        if (!stream)
            return paBadStreamPtr;
        // One device each way, and no blocking streams.
        if ((inputParameters != nullptr) == (outputParameters != nullptr))
            return paBadIODeviceCombination;
        if (!callback)
            return paCanNotWriteToACallbackStream;
        const bool input = inputParameters != nullptr;
        const PaStreamParameters* p = input ? inputParameters : outputParameters;
        if (const PaError e = h.checkParameters(p, input, sampleRate))
            return e;
        auto created = std::make_unique<Stream>();
        created->input = input;
        created->device = p->device;
        created->channels = p->channelCount;
        created->nonInterleaved = (p->sampleFormat & paNonInterleaved) != 0;
        created->rate = sampleRate;
        created->callback = callback;
        created->userData = userData;
        created->info.structVersion = 1;
        created->info.sampleRate = sampleRate;
        const double latency = double(AudioSim::bufferFrames) / sampleRate;
        (input ? created->info.inputLatency : created->info.outputLatency) = latency;
        *stream = created.get();
        h.streams_.push_back(std::move(created));
        return paNoError;
    });
}

PaError SimHost::close(PaStream* stream)
{
    return locked([stream](SimHost& h) -> PaError {
        Stream* st = h.known(stream);
        if (!st)
            return paBadStreamPtr;
        if (h.output_ == st)
            h.output_ = nullptr;
        if (h.input_ == st)
            h.input_ = nullptr;
        st->closed = true;
        return paNoError;
    });
}

PaError SimHost::start(PaStream* stream)
{
    return locked([stream](SimHost& h) -> PaError {
        Stream* st = h.known(stream);
        if (!st)
            return paBadStreamPtr;
        if (st->state != Stream::State::Stopped)
            return paStreamIsNotStopped;
        Stream*& slot = st->input ? h.input_ : h.output_;
        if (slot && slot != st && slot->state != Stream::State::Stopped)
            return paDeviceUnavailable;
        slot = st;
        h.path_.takeBlock(UsbSim::block());
        if (st->input)
            h.path_.startRecording(st->rate);
        st->framesDone = 0;
        st->state = Stream::State::Running;
        h.wake_.notify_all();
        return paNoError;
    });
}

PaError SimHost::stop(PaStream* stream)
{
    return locked([stream](SimHost& h) -> PaError {
        Stream* st = h.known(stream);
        if (!st)
            return paBadStreamPtr;
        if (st->state == Stream::State::Stopped)
            return paStreamIsStopped;
        const bool wasRunning = st->state == Stream::State::Running;
        st->state = Stream::State::Stopped;
        if (wasRunning && st->finished)
            st->finished(st->userData);
        if (!running(h.output_) && !running(h.input_))
            h.path_.clear();
        return paNoError;
    });
}
