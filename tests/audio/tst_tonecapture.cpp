// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// ToneCapture's edges: which input channels it records and which it
// refuses, the tone's fade-out when the input fails, and which of the
// streams' faults count as spoiling the kept samples. On the simulated
// analog path, with a recorder of the test's own on the interface where
// the test must hear what the DAC played.

#include "audio/audiosystem.h"
#include "audio/capturestate.h"
#include "audio/tonecapture.h"
#include "harmonicfit.h"
#include "usbsim.h"

#include <portaudio.h>

#include <QtTest>

#include <atomic>
#include <cmath>
#include <mutex>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kOmega = 2 * kPi * 997 / 48000;

// The DAC at full volume on the left and -6 dB on the right, so that the
// two channels tell themselves apart by their level.
void startDac()
{
    UsbSim::reset();
    VirtualDac::Block block = VirtualDac::factoryBlock();
    block[4] = 0x00;
    block[5] = 0x0C;
    UsbSim::setBlock(block);
}

double levelDb(const std::vector<double>& channel)
{
    return 20 * std::log10(std::abs(HarmonicFit::fit(channel, kOmega, 1)[1]));
}

// The interface's left input, recorded by the test: what the DAC played.
class Recorder {
public:
    bool start()
    {
        PaStreamParameters in{1, 1, paFloat32, 0, nullptr};
        return Pa_OpenStream(&stream_, &in, nullptr, 48000, paFramesPerBufferUnspecified, paNoFlag,
                             &Recorder::callback, this)
                   == paNoError
               && Pa_StartStream(stream_) == paNoError;
    }
    // Records `frames` more (the path's latency and the silence after),
    // then stops; what it recorded.
    std::vector<float> finish(size_t frames)
    {
        const size_t until = size() + frames;
        QElapsedTimer waited;
        waited.start();
        while (size() < until && waited.elapsed() < 10000)
            QThread::msleep(1);
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
        return samples_;
    }

private:
    static int callback(const void* input, void*, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* data)
    {
        auto* self = static_cast<Recorder*>(data);
        const auto* in = static_cast<const float*>(input);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->samples_.insert(self->samples_.end(), in, in + frames);
        return paContinue;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_.size();
    }

    PaStream* stream_ = nullptr;
    std::mutex mutex_;
    std::vector<float> samples_;
};

// The frames over which the last tone heard died away: from its last
// sample above half its peak to its last above a thousandth of it. A fade
// takes a good part of its length; a tone cut off, at most one cycle.
long long dyingFrames(const std::vector<float>& x, float& peak)
{
    peak = 0;
    for (float v : x)
        peak = std::max(peak, std::fabs(v));
    long long half = -1, faint = -1;
    for (size_t n = 0; n < x.size(); ++n) {
        if (std::fabs(x[n]) > peak / 2)
            half = (long long)n;
        if (std::fabs(x[n]) > peak / 1000)
            faint = (long long)n;
    }
    return faint - half;
}

} // namespace

class TestToneCapture : public QObject {
    Q_OBJECT

private slots:
    void inputChannels_data();
    void inputChannels();
    void inputFails_data();
    void inputFails();
    void faultsCounted_data();
    void faultsCounted();
    void fadePlayedAt_data();
    void fadePlayedAt();
};

void TestToneCapture::inputChannels_data()
{
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<QList<double>>("levels");

    QTest::newRow("the first two by default") << QList<int>{} << QList<double>{-3, -9};
    QTest::newRow("one: a mono capture") << QList<int>{1} << QList<double>{-9};
    QTest::newRow("in the order asked") << QList<int>{1, 0} << QList<double>{-9, -3};
}

void TestToneCapture::inputChannels()
{
    QFETCH(QList<int>, channels);
    QFETCH(QList<double>, levels);

    startDac();
    AudioSystem audio;
    QVERIFY2(audio.isReady(), audio.failure().cause.c_str());
    ToneCapture::Settings settings;
    settings.seconds = 0.2;
    settings.inputChannels.assign(channels.begin(), channels.end());
    const ToneCapture::Result result =
        ToneCapture::run(audio.defaultOutput(), audio.defaultInput(), settings);
    QVERIFY2(!result.error, result.error.cause.c_str());
    QCOMPARE(result.channels.size(), size_t(levels.size()));
    for (int c = 0; c < levels.size(); ++c) {
        QCOMPARE(result.channels[size_t(c)].size(), size_t(9600));
        QVERIFY2(std::fabs(levelDb(result.channels[size_t(c)]) - levels[c]) < 0.01,
                 qPrintable(QString::number(levelDb(result.channels[size_t(c)]))));
    }
}

// The test's recorder holds the interface, so the capture's own input
// cannot start: the tone it started plays on and fades out. An input the
// interface lacks is refused before a stream opens: nothing plays.
void TestToneCapture::inputFails_data()
{
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("played");

    QTest::newRow("the input cannot start")
        << QList<int>{}
        << "cannot start recording from \"Sonvale loopback interface\": Device unavailable" << true;
    QTest::newRow("an input the interface lacks")
        << QList<int>{0, 2}
        << "\"Sonvale loopback interface\" has no input 3: its inputs are 1 to 2" << false;
}

void TestToneCapture::inputFails()
{
    QFETCH(QList<int>, channels);
    QFETCH(QString, error);
    QFETCH(bool, played);

    startDac();
    AudioSystem audio;
    QVERIFY2(audio.isReady(), audio.failure().cause.c_str());
    Recorder recorder;
    QVERIFY(recorder.start());
    ToneCapture::Settings settings;
    settings.fadeSeconds = 0.05;
    settings.inputChannels.assign(channels.begin(), channels.end());
    const ToneCapture::Result result =
        ToneCapture::run(audio.defaultOutput(), audio.defaultInput(), settings);
    QCOMPARE(result.error.kind, Error::Kind::Audio);
    QCOMPARE(QString::fromStdString(result.error.cause), error);
    QCOMPARE(result.outputMode.isEmpty(), !played);

    float peak = 0;
    const long long dying = dyingFrames(recorder.finish(8192), peak);
    if (!played) {
        QVERIFY2(peak < 1e-5, qPrintable(QString::number(peak)));
        return;
    }
    QVERIFY2(peak > 0.05, qPrintable(QString::number(peak)));
    QVERIFY2(dying > 2400 / 8, qPrintable(QString::number(dying)));
}

// A capture keeping frames 1000 to 2999, its input and output moving 600
// frames at a time, the output first: which faults the streams report
// count against the kept frames. Output buffer 1 plays while the input
// still settles; input buffer 1 holds the first kept frames, buffer 4 the
// last; buffers 5 and 6 come after, while the tone fades out.
void TestToneCapture::faultsCounted_data()
{
    QTest::addColumn<QList<int>>("overflowed");
    QTest::addColumn<QList<int>>("underflowed");
    QTest::addColumn<int>("inputFaults");
    QTest::addColumn<int>("outputFaults");

    QTest::newRow("input: the buffers that hold kept frames")
        << QList<int>{1, 4} << QList<int>{} << 2 << 0;
    QTest::newRow("input: while settling, and after the capture")
        << QList<int>{0, 5} << QList<int>{} << 0 << 0;
    QTest::newRow("output: while the kept frames arrive")
        << QList<int>{} << QList<int>{1, 2, 4} << 0 << 2;
    QTest::newRow("output: during the fade-out after the capture")
        << QList<int>{} << QList<int>{5, 6} << 0 << 0;
}

void TestToneCapture::faultsCounted()
{
    QFETCH(QList<int>, overflowed);
    QFETCH(QList<int>, underflowed);
    QFETCH(int, inputFaults);
    QFETCH(int, outputFaults);

    CaptureState state(CaptureState::Tone{kOmega, 0.5, 480, 2});
    state.setRecording(CaptureState::Recording{2, {0, 1}, 1000, 2000});
    std::vector<float> buffer(600 * 2);
    for (int i = 0; i < 7; ++i) {
        if (i == 5)
            state.fadeOut(std::chrono::milliseconds(0));
        state.play(buffer.data(), 600, underflowed.contains(i));
        state.record(buffer.data(), 600, overflowed.contains(i));
    }
    QVERIFY(state.complete());
    QCOMPARE(state.inputFaults(), inputFaults);
    QCOMPARE(state.outputFaults(), outputFaults);
}

// When the DAC has played the whole fade-out, on the output's clock: the
// capture stops the output only then, since WASAPI's stop drops what the
// output still holds. Buffers of 600 frames, the second played from 10.0125
// s; the fade of 480 frames starts with it.
void TestToneCapture::fadePlayedAt_data()
{
    QTest::addColumn<double>("dacTime");
    QTest::addColumn<double>("playedAt");

    QTest::newRow("the host API says when the DAC plays a buffer") << 10.0125 << 10.0225;
    QTest::newRow("it does not") << -1.0 << -1.0;
}

void TestToneCapture::fadePlayedAt()
{
    QFETCH(double, dacTime);
    QFETCH(double, playedAt);

    CaptureState state(CaptureState::Tone{kOmega, 0.5, 480, 2, 48000});
    std::vector<float> buffer(600 * 2);
    state.play(buffer.data(), 600, false, dacTime < 0 ? -1 : dacTime - 0.0125);
    QCOMPARE(state.fadePlayedAt(), -1.0);
    state.fadeOut(std::chrono::milliseconds(0));
    state.play(buffer.data(), 600, false, dacTime);
    QCOMPARE(state.fadePlayedAt(), playedAt);
}

QTEST_GUILESS_MAIN(TestToneCapture)
#include "tst_tonecapture.moc"
