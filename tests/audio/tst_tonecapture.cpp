// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// ToneCapture's edges: the tone's fade-out when the input fails, and which
// of the streams' faults count as spoiling the kept samples. On the
// simulated analog path, with a recorder of the test's own on the interface
// where the test must hear what the DAC played.

#include "audio/audiosystem.h"
#include "audio/capturestate.h"
#include "audio/tonecapture.h"
#include "usbsim.h"

#include <portaudio.h>

#include <QtTest>

#include <atomic>
#include <cmath>
#include <mutex>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kOmega = 2 * kPi * 997 / 48000;

// The DAC at full volume on the left, whose input the recorder hears.
void startDac()
{
    UsbSim::reset();
    VirtualDac::Block block = VirtualDac::factoryBlock();
    block[4] = 0x00;
    UsbSim::setBlock(block);
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
    void inputFails();
    void faultsCounted_data();
    void faultsCounted();
};

// The test's recorder holds the interface, so the capture's own input
// cannot start: the tone it started plays on and fades out.
void TestToneCapture::inputFails()
{
    startDac();
    AudioSystem audio;
    QVERIFY2(audio.isReady(), qPrintable(audio.error()));
    Recorder recorder;
    QVERIFY(recorder.start());
    ToneCapture::Settings settings;
    settings.fadeSeconds = 0.05;
    const ToneCapture::Result result =
        ToneCapture::run(audio.defaultOutput(), audio.defaultInput(), settings);
    QCOMPARE(
        result.error,
        QString("cannot start recording from \"Sonvale loopback interface\": Device unavailable"));
    QVERIFY(!result.ok);

    float peak = 0;
    const long long dying = dyingFrames(recorder.finish(8192), peak);
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

QTEST_GUILESS_MAIN(TestToneCapture)
#include "tst_tonecapture.moc"
