// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated analog path behind the PortAudio C API: every Pa_* function
// the program calls, with PortAudio's own signatures, over a model of the
// DAC's analog stages and of an audio interface recording them.

#include "audiosim.h"
#include "usbsim.h"

#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kChannels = 2;
constexpr int kOutputDevice = 0;
constexpr int kInputDevice = 1;
constexpr PaError kAnalogError = paInternalError;
constexpr double kKaiserBeta = 14;
constexpr int kWindowTable = 65536;
constexpr double kPi = 3.14159265358979323846;

double besselI0(double x)
{
    double sum = 1, term = 1;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-18)
            break;
    }
    return sum;
}

// Kaiser window over [0, 1] of the interpolator's half-length, sampled
// finely enough that linear interpolation in it stays below -150 dB.
const std::vector<double>& kaiserTable()
{
    static const std::vector<double> table = [] {
        std::vector<double> t(kWindowTable + 2);
        const double norm = besselI0(kKaiserBeta);
        for (int i = 0; i <= kWindowTable + 1; ++i) {
            const double u = std::min(1.0, double(i) / kWindowTable);
            t[size_t(i)] = besselI0(kKaiserBeta * std::sqrt(1 - u * u)) / norm;
        }
        return t;
    }();
    return table;
}

double kaiser(double u)   // |u| <= 1
{
    const std::vector<double>& t = kaiserTable();
    const double pos = std::fabs(u) * kWindowTable;
    const int i = std::min(int(pos), kWindowTable);
    const double f = pos - i;
    return t[size_t(i)] * (1 - f) + t[size_t(i) + 1] * f;
}

struct SimStream {
    bool input = false;
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

// One output's analog stages, from the block at a stream's start.
struct ChannelModel {
    double gain = 1;
    double a2 = 0;
    double a3 = 0;
};

struct Sim {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<int> waiters{0};
    std::thread engine;
    bool quit = false;
    int initCount = 0;

    std::string analogError;
    AudioSim::Analog analog;
    std::string outputName;
    PaDeviceInfo devices[2]{};
    PaHostApiInfo hostApi{};

    std::vector<std::unique_ptr<SimStream>> streams;
    SimStream* output = nullptr;     // the running streams, one of each
    SimStream* input = nullptr;
    ChannelModel model[kChannels];

    // The analog signal at the DAC's outputs, on the DAC's sample clock:
    // analogBase is the index of the first sample held.
    std::deque<double> analogSignal[kChannels];
    double analogBase = 0;
    double analogWritten = 0;
    // The interface's next sample, as a position on the DAC's clock.
    double inputPosition = 0;
    double inputFrames = 0;
    bool dropped = false;
    std::mt19937_64 noise{0x5eed};
};

Sim& sim()
{
    static Sim* s = new Sim;
    return *s;
}

uint16_t bigEndian16(const VirtualDac::Block& block, int at)
{
    return uint16_t((block[size_t(at)] << 8) | block[size_t(at) + 1]);
}

void takeBlock(Sim& s)
{
    const VirtualDac::Block block = UsbSim::block();
    for (int ch = 0; ch < kChannels; ++ch) {
        const int pair = (ch == 0) != s.analog.swapped ? 0 : 1;
        const double c2 = int16_t(bigEndian16(block, 10 + 4 * pair));
        const double c3 = int16_t(bigEndian16(block, 12 + 4 * pair));
        ChannelModel& m = s.model[ch];
        const double db = AudioSim::volumeDb(block[size_t(4 + ch)], block[6], block[7]);
        m.gain = std::pow(10.0, db / 20);
        m.a2 = (ch == 0 ? s.analog.h2l : s.analog.h2r) + s.analog.k2 * c2;
        m.a3 = (ch == 0 ? s.analog.h3l : s.analog.h3r) + s.analog.k3 * c3;
    }
}

bool running(const SimStream* stream)
{
    return stream && stream->state == SimStream::State::Running;
}

PaStreamCallbackTimeInfo timeInfo(const SimStream& stream)
{
    PaStreamCallbackTimeInfo t{};
    t.currentTime = stream.framesDone / stream.rate;
    t.inputBufferAdcTime = t.currentTime;
    t.outputBufferDacTime = t.currentTime + stream.info.outputLatency;
    return t;
}

void finish(SimStream& stream)
{
    stream.state = SimStream::State::Finished;
    if (stream.finished)
        stream.finished(stream.userData);
}

// The DAC plays one buffer: the output's callback (or silence) through the
// DAC's analog stages.
void playBuffer(Sim& s)
{
    const int n = AudioSim::bufferFrames;
    std::vector<float> played(size_t(n) * kChannels, 0.0f);
    SimStream* out = s.output;
    if (running(out)) {
        std::vector<float> buffer(size_t(n) * size_t(out->channels), 0.0f);
        std::vector<float*> planes;
        void* data = buffer.data();
        if (out->nonInterleaved) {
            for (int c = 0; c < out->channels; ++c)
                planes.push_back(buffer.data() + size_t(c) * size_t(n));
            data = planes.data();
        }
        const PaStreamCallbackTimeInfo t = timeInfo(*out);
        const int result = out->callback(nullptr, data, unsigned(n), &t, 0, out->userData);
        out->framesDone += n;
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < std::min(out->channels, kChannels); ++c)
                played[size_t(i) * kChannels + size_t(c)] =
                    out->nonInterleaved ? buffer[size_t(c) * size_t(n) + size_t(i)]
                                        : buffer[size_t(i) * size_t(out->channels) + size_t(c)];
        if (result != paContinue)
            finish(*out);
    }
    for (int c = 0; c < kChannels; ++c) {
        const ChannelModel& m = s.model[c];
        for (int i = 0; i < n; ++i) {
            const double v = double(played[size_t(i) * kChannels + size_t(c)]) * m.gain;
            s.analogSignal[c].push_back(v + m.a2 * v * v + m.a3 * v * v * v);
        }
    }
    s.analogWritten += n;
}

// The analog signal at a position on the DAC's clock: band-limited
// interpolation (Kaiser-windowed sinc, normalised to unity gain at DC).
double analogAt(const Sim& s, int channel, double position)
{
    const std::deque<double>& signal = s.analogSignal[channel];
    const double local = position - s.analogBase;
    const double whole = std::floor(local);
    const double fraction = local - whole;
    const int at = int(whole);
    if (fraction == 0)
        return at >= 0 && size_t(at) < signal.size() ? signal[size_t(at)] : 0.0;
    const int half = AudioSim::interpolatorHalfLength;
    const double sinPiF = std::sin(kPi * fraction);
    double sum = 0, weights = 0;
    for (int k = -half + 1; k <= half; ++k) {
        const double d = k - fraction;    // distance from the wanted position
        // sin(pi (k - f)) = (-1)^(k+1) sin(pi f)
        const double sinc = ((k & 1) ? sinPiF : -sinPiF) / (kPi * d);
        const double w = sinc * kaiser(d / half);
        const int i = at + k;
        if (i >= 0 && size_t(i) < signal.size())
            sum += w * signal[size_t(i)];
        weights += w;
    }
    return sum / weights;
}

// The interface records one buffer, when the analog signal it needs has been
// played.
bool recordBuffer(Sim& s)
{
    SimStream* in = s.input;
    const int n = AudioSim::bufferFrames;
    const double step = 1 + s.analog.ppm * 1e-6;
    const double needed = s.inputPosition + step * n + AudioSim::interpolatorHalfLength + 1;
    if (!running(in) || needed > s.analogWritten)
        return false;

    const double sigma = std::pow(10.0, s.analog.noiseDbfs / 20) / std::sqrt(2.0);
    std::normal_distribution<double> gauss(0.0, sigma);
    std::vector<float> buffer(size_t(n) * size_t(in->channels));
    const double dropAt = s.analog.dropoutSeconds * in->rate;
    for (int i = 0; i < n; ++i) {
        if (!s.dropped && s.analog.dropoutSeconds >= 0 && s.inputFrames >= dropAt) {
            s.inputPosition += step * std::round(AudioSim::dropoutLength * in->rate);
            s.dropped = true;
        }
        for (int c = 0; c < in->channels; ++c) {
            const double y = s.analog.silentInput || c >= kChannels
                                 ? 0.0
                                 : analogAt(s, c, s.analog.ppm == 0 ? std::round(s.inputPosition)
                                                                    : s.inputPosition);
            double z = y + s.analog.adc2 * y * y + s.analog.adc3 * y * y * y + gauss(s.noise);
            z = std::clamp(z, -1.0, 1.0);
            const size_t at = in->nonInterleaved ? size_t(c) * size_t(n) + size_t(i)
                                                 : size_t(i) * size_t(in->channels) + size_t(c);
            buffer[at] = float(z);
        }
        s.inputPosition += step;
        s.inputFrames += 1;
    }
    std::vector<const float*> planes;
    const void* data = buffer.data();
    if (in->nonInterleaved) {
        for (int c = 0; c < in->channels; ++c)
            planes.push_back(buffer.data() + size_t(c) * size_t(n));
        data = planes.data();
    }
    const PaStreamCallbackTimeInfo t = timeInfo(*in);
    const int result = in->callback(data, nullptr, unsigned(n), &t, 0, in->userData);
    in->framesDone += n;
    if (result != paContinue)
        finish(*in);
    return true;
}

void trimAnalog(Sim& s)
{
    const double keepFrom = running(s.input)
                                ? std::floor(s.inputPosition) - AudioSim::interpolatorHalfLength - 1
                                : s.analogWritten - AudioSim::bufferFrames - AudioSim::interpolatorHalfLength;
    while (s.analogBase < keepFrom && !s.analogSignal[0].empty()) {
        for (auto& signal : s.analogSignal)
            signal.pop_front();
        s.analogBase += 1;
    }
}

void engineLoop()
{
    Sim& s = sim();
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.quit) {
        if (!running(s.output) && !running(s.input)) {
            s.wake.wait(lock);
            continue;
        }
        if (s.waiters > 0) {
            // A stream is being stopped or started: let it have the lock.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            lock.lock();
            continue;
        }
        playBuffer(s);
        while (recordBuffer(s)) {
        }
        trimAnalog(s);
        const bool recording = running(s.input);
        lock.unlock();
        // Nothing records: the output only needs to keep moving, not race.
        if (recording)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
    }
}

// Runs `f` under the stand-in's lock, ahead of the engine.
template <typename F>
auto locked(F f)
{
    Sim& s = sim();
    ++s.waiters;
    std::unique_lock<std::mutex> lock(s.mutex);
    --s.waiters;
    return f(s);
}

SimStream* known(PaStream* stream)
{
    Sim& s = sim();
    for (const auto& owned : s.streams)
        if (owned.get() == stream && !owned->closed)
            return owned.get();
    return nullptr;
}

void setDevice(PaDeviceInfo& info, const char* name, int inputs, int outputs)
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

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

} // namespace

bool AudioSim::parse(const std::string& text, Analog& analog, std::string& error)
{
    const std::string prefix = "SONVALE_SIM_ANALOG: ";
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            error = prefix + "'" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        const std::pair<const char*, double*> numbers[] = {
            {"h2l", &analog.h2l}, {"h3l", &analog.h3l}, {"h2r", &analog.h2r},
            {"h3r", &analog.h3r}, {"k2", &analog.k2},   {"k3", &analog.k3},
            {"noise", &analog.noiseDbfs}, {"ppm", &analog.ppm},
            {"adc2", &analog.adc2}, {"adc3", &analog.adc3},
            {"dropout", &analog.dropoutSeconds},
        };
        bool done = false;
        for (const auto& [name, field] : numbers) {
            if (key != name)
                continue;
            double v = 0;
            bool good = parseNumber(value, v);
            if (key == "ppm")
                good = good && std::fabs(v) <= 10000;
            if (key == "dropout")
                good = good && v >= 0;
            if (key == "noise")
                good = good && v <= 0;
            if (!good) {
                error = prefix + "bad value '" + value + "' for " + key;
                return false;
            }
            *field = v;
            done = true;
        }
        if (done)
            continue;
        if (key == "map" && (value == "straight" || value == "swapped")) {
            analog.swapped = value == "swapped";
        } else if (key == "input" && (value == "connected" || value == "silent")) {
            analog.silentInput = value == "silent";
        } else if (key == "map" || key == "input") {
            error = prefix + "bad value '" + value + "' for " + key;
            return false;
        } else {
            error = prefix + "unknown key '" + key + "'";
            return false;
        }
    }
    return true;
}

float AudioSim::volumeDb(unsigned char attenuation, unsigned char max, unsigned char min)
{
    // The window's arithmetic, in float as it does it: the attenuation byte
    // places the level between the block's max and min, in half decibels.
    const float f = float(255 - attenuation) / 255.0f;
    const float level = f * float(int(max) - int(min)) + float(min);
    const float x = level * -0.5f;
    if (double(x) > -0.4)
        return 0;
    return float(int(x * 2.0f)) / 2.0f;
}

const char* AudioSim::hostApiName()
{
    return "Sonvale simulation";
}

const char* AudioSim::inputName()
{
    return "Sonvale loopback interface";
}

// The PortAudio C API.

int Pa_GetVersion(void)
{
    return paMakeVersionNumber(19, 6, 0);
}

const char* Pa_GetVersionText(void)
{
    return "Sonvale simulated PortAudio";
}

const char* Pa_GetErrorText(PaError errorCode)
{
    Sim& s = sim();
    switch (errorCode) {
    case paNoError:
        return "Success";
    case kAnalogError:
        if (!s.analogError.empty())
            return s.analogError.c_str();
        return "Internal PortAudio error";
    case paNotInitialized:
        return "PortAudio not initialized";
    case paInvalidChannelCount:
        return "Invalid number of channels";
    case paInvalidSampleRate:
        return "Invalid sample rate";
    case paInvalidDevice:
        return "Invalid device";
    case paSampleFormatNotSupported:
        return "Sample format not supported";
    case paBadStreamPtr:
        return "Invalid stream pointer";
    case paStreamIsStopped:
        return "Stream is stopped";
    case paStreamIsNotStopped:
        return "Stream is not stopped";
    case paDeviceUnavailable:
        return "Device unavailable";
    case paBadIODeviceCombination:
        return "Illegal combination of I/O devices";
    default:
        return "Invalid error code";
    }
}

PaError Pa_Initialize(void)
{
    return locked([](Sim& s) -> PaError {
        if (s.initCount > 0) {
            ++s.initCount;
            return paNoError;
        }
        AudioSim::Analog analog;
        std::string error;
        const char* text = std::getenv("SONVALE_SIM_ANALOG");
        if (text && !AudioSim::parse(text, analog, error)) {
            s.analogError = error;
            return kAnalogError;
        }
        s.analogError.clear();
        s.analog = analog;
        s.outputName = "USB Audio";
        for (const UsbSim::Device& device : UsbSim::devices())
            if (device.dac) {
                s.outputName = device.product.text + ": USB Audio";
                break;
            }
        setDevice(s.devices[kOutputDevice], s.outputName.c_str(), 0, kChannels);
        setDevice(s.devices[kInputDevice], AudioSim::inputName(), kChannels, 0);
        s.hostApi.structVersion = 1;
        s.hostApi.type = paInDevelopment;
        s.hostApi.name = AudioSim::hostApiName();
        s.hostApi.deviceCount = 2;
        s.hostApi.defaultInputDevice = kInputDevice;
        s.hostApi.defaultOutputDevice = kOutputDevice;
        s.quit = false;
        s.engine = std::thread(engineLoop);
        s.initCount = 1;
        return paNoError;
    });
}

PaError Pa_Terminate(void)
{
    Sim& s = sim();
    std::thread engine;
    const PaError result = locked([&engine](Sim& s) -> PaError {
        if (s.initCount == 0)
            return paNotInitialized;
        if (--s.initCount > 0)
            return paNoError;
        for (const auto& stream : s.streams)
            stream->closed = true;
        s.output = s.input = nullptr;
        s.quit = true;
        s.wake.notify_all();
        engine = std::move(s.engine);
        return paNoError;
    });
    if (engine.joinable())
        engine.join();
    (void)s;
    return result;
}

PaHostApiIndex Pa_GetHostApiCount(void)
{
    return sim().initCount ? 1 : paNotInitialized;
}

PaHostApiIndex Pa_GetDefaultHostApi(void)
{
    return sim().initCount ? 0 : paNotInitialized;
}

const PaHostApiInfo* Pa_GetHostApiInfo(PaHostApiIndex hostApi)
{
    Sim& s = sim();
    return s.initCount && hostApi == 0 ? &s.hostApi : nullptr;
}

PaHostApiIndex Pa_HostApiTypeIdToHostApiIndex(PaHostApiTypeId type)
{
    return type == paInDevelopment ? 0 : paHostApiNotFound;
}

PaDeviceIndex Pa_HostApiDeviceIndexToDeviceIndex(PaHostApiIndex hostApi, int hostApiDeviceIndex)
{
    if (hostApi != 0)
        return paInvalidHostApi;
    return hostApiDeviceIndex >= 0 && hostApiDeviceIndex < 2 ? hostApiDeviceIndex : paInvalidDevice;
}

const PaHostErrorInfo* Pa_GetLastHostErrorInfo(void)
{
    static const PaHostErrorInfo none{paInDevelopment, 0, ""};
    return &none;
}

PaDeviceIndex Pa_GetDeviceCount(void)
{
    return sim().initCount ? 2 : paNotInitialized;
}

PaDeviceIndex Pa_GetDefaultInputDevice(void)
{
    return sim().initCount ? kInputDevice : paNoDevice;
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void)
{
    return sim().initCount ? kOutputDevice : paNoDevice;
}

const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex device)
{
    Sim& s = sim();
    return s.initCount && device >= 0 && device < 2 ? &s.devices[device] : nullptr;
}

static PaError checkParameters(const PaStreamParameters* p, bool input, double sampleRate)
{
    if (!p)
        return paNoError;
    if (p->device != (input ? kInputDevice : kOutputDevice))
        return p->device >= 0 && p->device < 2 ? paInvalidChannelCount : paInvalidDevice;
    if (p->channelCount < 1 || p->channelCount > kChannels)
        return paInvalidChannelCount;
    if ((p->sampleFormat & ~paNonInterleaved) != paFloat32)
        return paSampleFormatNotSupported;
    if (!(sampleRate >= 8000 && sampleRate <= 384000))
        return paInvalidSampleRate;
    return paNoError;
}

PaError Pa_IsFormatSupported(const PaStreamParameters* inputParameters,
                             const PaStreamParameters* outputParameters, double sampleRate)
{
    if (!sim().initCount)
        return paNotInitialized;
    if (const PaError e = checkParameters(inputParameters, true, sampleRate))
        return e;
    if (const PaError e = checkParameters(outputParameters, false, sampleRate))
        return e;
    return paFormatIsSupported;
}

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* inputParameters,
                      const PaStreamParameters* outputParameters, double sampleRate,
                      unsigned long framesPerBuffer, PaStreamFlags streamFlags,
                      PaStreamCallback* streamCallback, void* userData)
{
    (void)framesPerBuffer;
    (void)streamFlags;
    return locked([&](Sim& s) -> PaError {
        if (!s.initCount)
            return paNotInitialized;
        if (!stream)
            return paBadStreamPtr;
        // One device each way, and no blocking streams: the program's
        // streams are one-directional and callback-driven.
        if ((inputParameters != nullptr) == (outputParameters != nullptr))
            return paBadIODeviceCombination;
        if (!streamCallback)
            return paCanNotWriteToACallbackStream;
        const bool input = inputParameters != nullptr;
        const PaStreamParameters* p = input ? inputParameters : outputParameters;
        if (const PaError e = checkParameters(p, input, sampleRate))
            return e;
        auto created = std::make_unique<SimStream>();
        created->input = input;
        created->channels = p->channelCount;
        created->nonInterleaved = (p->sampleFormat & paNonInterleaved) != 0;
        created->rate = sampleRate;
        created->callback = streamCallback;
        created->userData = userData;
        created->info.structVersion = 1;
        created->info.sampleRate = sampleRate;
        const double latency = double(AudioSim::bufferFrames) / sampleRate;
        (input ? created->info.inputLatency : created->info.outputLatency) = latency;
        *stream = created.get();
        s.streams.push_back(std::move(created));
        return paNoError;
    });
}

PaError Pa_OpenDefaultStream(PaStream** stream, int numInputChannels, int numOutputChannels,
                             PaSampleFormat sampleFormat, double sampleRate,
                             unsigned long framesPerBuffer, PaStreamCallback* streamCallback,
                             void* userData)
{
    PaStreamParameters in{kInputDevice, numInputChannels, sampleFormat, 0, nullptr};
    PaStreamParameters out{kOutputDevice, numOutputChannels, sampleFormat, 0, nullptr};
    return Pa_OpenStream(stream, numInputChannels ? &in : nullptr,
                         numOutputChannels ? &out : nullptr, sampleRate, framesPerBuffer,
                         paNoFlag, streamCallback, userData);
}

PaError Pa_CloseStream(PaStream* stream)
{
    return locked([stream](Sim& s) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        if (s.output == st)
            s.output = nullptr;
        if (s.input == st)
            s.input = nullptr;
        st->closed = true;
        return paNoError;
    });
}

PaError Pa_SetStreamFinishedCallback(PaStream* stream, PaStreamFinishedCallback* callback)
{
    return locked([stream, callback](Sim&) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        if (st->state != SimStream::State::Stopped)
            return paStreamIsNotStopped;
        st->finished = callback;
        return paNoError;
    });
}

PaError Pa_StartStream(PaStream* stream)
{
    return locked([stream](Sim& s) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        if (st->state != SimStream::State::Stopped)
            return paStreamIsNotStopped;
        SimStream*& slot = st->input ? s.input : s.output;
        if (slot && slot != st && slot->state != SimStream::State::Stopped)
            return paDeviceUnavailable;
        slot = st;
        takeBlock(s);
        if (st->input) {
            // The interface starts recording what the DAC plays from now.
            s.inputPosition = std::max(s.analogBase, s.analogWritten - AudioSim::bufferFrames
                                                         - AudioSim::interpolatorHalfLength - 1);
            s.inputFrames = 0;
            s.dropped = false;
            if (s.analogWritten == 0) {
                // Prime the path with the latency of one buffer.
                for (auto& signal : s.analogSignal)
                    signal.assign(AudioSim::bufferFrames + AudioSim::interpolatorHalfLength + 1, 0.0);
                s.analogWritten = double(s.analogSignal[0].size());
            }
        }
        st->framesDone = 0;
        st->state = SimStream::State::Running;
        s.wake.notify_all();
        return paNoError;
    });
}

static PaError stopStream(PaStream* stream)
{
    return locked([stream](Sim& s) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        if (st->state == SimStream::State::Stopped)
            return paStreamIsStopped;
        const bool wasRunning = st->state == SimStream::State::Running;
        st->state = SimStream::State::Stopped;
        if (wasRunning && st->finished)
            st->finished(st->userData);
        if (!running(s.output) && !running(s.input)) {
            // Both ends idle: the path starts over with the next stream.
            for (auto& signal : s.analogSignal)
                signal.clear();
            s.analogBase = s.analogWritten = 0;
        }
        return paNoError;
    });
}

PaError Pa_StopStream(PaStream* stream)
{
    return stopStream(stream);
}

PaError Pa_AbortStream(PaStream* stream)
{
    return stopStream(stream);
}

PaError Pa_IsStreamStopped(PaStream* stream)
{
    return locked([stream](Sim&) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        return st->state == SimStream::State::Stopped ? 1 : 0;
    });
}

PaError Pa_IsStreamActive(PaStream* stream)
{
    return locked([stream](Sim&) -> PaError {
        SimStream* st = known(stream);
        if (!st)
            return paBadStreamPtr;
        return st->state == SimStream::State::Running ? 1 : 0;
    });
}

const PaStreamInfo* Pa_GetStreamInfo(PaStream* stream)
{
    return locked([stream](Sim&) -> const PaStreamInfo* {
        SimStream* st = known(stream);
        return st ? &st->info : nullptr;
    });
}

PaTime Pa_GetStreamTime(PaStream* stream)
{
    return locked([stream](Sim&) -> PaTime {
        SimStream* st = known(stream);
        return st ? st->framesDone / st->rate : 0;
    });
}

double Pa_GetStreamCpuLoad(PaStream*)
{
    return 0;
}

PaError Pa_GetSampleSize(PaSampleFormat format)
{
    switch (format & ~paNonInterleaved) {
    case paFloat32:
    case paInt32:
        return 4;
    case paInt24:
        return 3;
    case paInt16:
        return 2;
    case paInt8:
    case paUInt8:
        return 1;
    default:
        return paSampleFormatNotSupported;
    }
}

void Pa_Sleep(long msec)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}
