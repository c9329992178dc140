// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated analog path as a real desk has it, each trait through what a
// program sees: the interface's input gain, mains hum, a wandering clock and
// the analog stages' phase at the harmonics measured by the program's own
// analysis; an overflow, and the inputs the outputs reach, as PortAudio's
// streams show them; THD pairs that act by volume; devices paced by the
// wall clock.

#include "audiosim.h"
#include "harmonicfit.h"
#include "measure/analysis.h"
#include "simcapture.h"

#include <QtTest>

#include <portaudio.h>

#include <atomic>
#include <cmath>
#include <complex>

namespace {

using Complex = std::complex<double>;
using HarmonicFit::fit;
using SimCapture::blockWith;
using SimCapture::capture;
constexpr double kPi = 3.14159265358979323846;

// A path with no distortion of its own and no THD value acting, as a start
// for the keys a test is about.
const QByteArray kClean = "h2l=0,h3l=0,h2r=0,h3r=0,k2=0,k3=0,";

// A capture through the program's own analysis.
CaptureAnalysis analysed(const QByteArray& analog, const VirtualDac::Block& block,
                         ToneCapture::Settings settings = {})
{
    const ToneCapture::Result result = capture(analog, block, settings);
    if (result.error)
        qWarning("%s", result.error.cause.c_str());
    AnalysisOptions options;
    options.expectedFrequencyHz = settings.frequencyHz;
    return analyseCapture(result.channels, settings.sampleRate, options);
}

// What an input stream of `channels` delivered, straight from PortAudio,
// while the DAC played a 997 Hz sine at -3 dBFS on both outputs: its first
// `frames` frames, and the first frame of each callback told of an overflow.
// Read once the streams have stopped: Pa_StopStream waits for the callbacks.
struct Streams {
    long played = 0;
    std::atomic<long> received{0};
    long frames = 0;
    int channels = 0;
    std::vector<std::vector<double>> samples;
    std::vector<long> overflowsAt;
};

int play(const void*, void* output, unsigned long n, const PaStreamCallbackTimeInfo*,
         PaStreamCallbackFlags, void* data)
{
    auto* s = static_cast<Streams*>(data);
    auto* out = static_cast<float*>(output);
    for (unsigned long i = 0; i < n; ++i, ++s->played)
        out[2 * i] = out[2 * i + 1] =
            float(std::pow(10.0, -3.0 / 20) * std::sin(2 * kPi * 997 / 48000 * double(s->played)));
    return paContinue;
}

int take(const void* input, void*, unsigned long n, const PaStreamCallbackTimeInfo*,
         PaStreamCallbackFlags flags, void* data)
{
    auto* s = static_cast<Streams*>(data);
    if (flags & paInputOverflow)
        s->overflowsAt.push_back(s->received);
    const auto* in = static_cast<const float*>(input);
    for (unsigned long i = 0; i < n && s->received < s->frames; ++i, ++s->received)
        for (int c = 0; c < s->channels; ++c)
            s->samples[size_t(c)][size_t(s->received)] =
                in[i * unsigned(s->channels) + unsigned(c)];
    return paContinue;
}

// False when the streams could not run or stopped delivering; they are
// closed either way (PortAudio stays initialised until the test's cleanup).
bool record(Streams& s, const QByteArray& analog, const VirtualDac::Block& block, int channels,
            long frames)
{
    UsbSim::reset();
    UsbSim::setBlock(block);
    qputenv("SONVALE_SIM_ANALOG", analog);
    s.channels = channels;
    s.frames = frames;
    s.samples.assign(size_t(channels), std::vector<double>(size_t(frames)));
    if (Pa_Initialize() != paNoError)
        return false;
    PaStreamParameters out{Pa_GetDefaultOutputDevice(), 2, paFloat32, 0, nullptr};
    PaStreamParameters in{Pa_GetDefaultInputDevice(), channels, paFloat32, 0, nullptr};
    PaStream* output = nullptr;
    PaStream* input = nullptr;
    bool arrived = false;
    if (Pa_OpenStream(&output, nullptr, &out, 48000, 0, paNoFlag, play, &s) == paNoError
        && Pa_OpenStream(&input, &in, nullptr, 48000, 0, paNoFlag, take, &s) == paNoError
        && Pa_StartStream(output) == paNoError && Pa_StartStream(input) == paNoError)
        arrived = QTest::qWaitFor([&s] { return s.received >= s.frames; }, 20000);
    for (PaStream* stream : {input, output}) {
        if (stream) {
            Pa_StopStream(stream);
            Pa_CloseStream(stream);
        }
    }
    return arrived;
}

} // namespace

class TestAudioSimDesk : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void gain();
    void hum();
    void wander();
    void rotation_data();
    void rotation();
    void xrun();
    void route_data();
    void route();
    void volumeMap_data();
    void volumeMap();
    void realtime();
};

void TestAudioSimDesk::cleanup()
{
    while (Pa_Terminate() == paNoError) {}
    qunsetenv("SONVALE_SIM_ANALOG");
}

// The interface's input gain moves the level by exactly its decibels, and it
// comes before the interface's own distortion, whose H2 falls with the level.
void TestAudioSimDesk::gain()
{
    const CaptureAnalysis a = analysed(kClean + "adc2=1e-3,noise=-150,gain=-20", blockWith(0, 0));
    QCOMPARE(a.channels.size(), size_t(2));
    const double amplitude = std::pow(10.0, -23.0 / 20);
    for (const ChannelAnalysis& c : a.channels) {
        QVERIFY2(std::fabs(c.levelDbfs + 23) < 1e-4, qPrintable(QString::number(c.levelDbfs)));
        const double h2 = 20 * std::log10(1e-3 * amplitude / 2);
        QVERIFY2(std::fabs(c.harmonicDbc(2) - h2) < 0.01,
                 qPrintable(QString::number(c.harmonicDbc(2))));
    }
}

// A ground loop: 50 Hz at the level given and 100 and 150 Hz 6 and 12 dB
// below it, on both inputs.
void TestAudioSimDesk::hum()
{
    const ToneCapture::Result result = capture(kClean + "noise=-150,hum=-80", blockWith(0, 0));
    QVERIFY2(!result.error, result.error.cause.c_str());
    for (const std::vector<double>& channel : result.channels) {
        const std::vector<Complex> a = fit(channel, 2 * kPi * 50 / 48000, 3);
        for (int k = 1; k <= 3; ++k) {
            const double level = 20 * std::log10(std::abs(a[size_t(k)]));
            QVERIFY2(std::fabs(level - (-80 - 6 * (k - 1))) < 0.01,
                     qPrintable(QStringLiteral("%1 Hz at %2 dBFS").arg(50 * k).arg(level)));
        }
    }
}

// The interface's clock rate swings by ±2000 ppm over a minute around
// -30 ppm, from the start of the recording: half a second at a time, the
// tone comes in at the mean of that swing.
void TestAudioSimDesk::wander()
{
    const ToneCapture::Result result =
        capture(kClean + "noise=-150,ppm=-30,wander=2000", blockWith(0, 0));
    QVERIFY2(!result.error, result.error.cause.c_str());
    const double keptFrom = 0.25 + double(AudioSim::bufferFrames) / 48000;
    for (int half = 0; half < 2; ++half) {
        const double from = keptFrom + 0.5 * half, to = from + 0.5;
        const double w = 2 * kPi / 60;
        const double meanSine = (std::cos(w * from) - std::cos(w * to)) / (w * (to - from));
        const double expected = 997 * (1 + (-30 + 2000 * meanSine) * 1e-6);
        const ChannelAnalysis a =
            analyseChannel(result.channels[0].data() + 24000 * half, 24000, 48000);
        QVERIFY2(std::fabs(a.frequencyHz - expected) < 997e-7,
                 qPrintable(QStringLiteral("%1 Hz, expected %2")
                                .arg(a.frequencyHz, 0, 'f', 5)
                                .arg(expected, 0, 'f', 5)));
    }
}

void TestAudioSimDesk::rotation_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("rot2");
    QTest::addColumn<double>("rot3");

    QTest::newRow("997 Hz at 48 kHz") << 48000.0 << 997.0 << 60.0 << -60.0;
    // Not 300 Hz: 147 samples to its cycle would make the float samples'
    // rounding a distortion of its own, some -170 dBc.
    QTest::newRow("307 Hz at 44.1 kHz") << 44100.0 << 307.0 << -120.0 << 120.0;
}

// The analog stages turn what the THD values add by rot2 at 2f and rot3 at
// 3f against the DAC's own distortion h (k = 1e-7 per unit). Each value's
// null then lies at c = -h·cos(rot)/k, and what is left there is h·sin(rot)
// turned to rot - 90°, in quadrature to what the value moves: the values
// are set there, on both outputs, and measured.
void TestAudioSimDesk::rotation()
{
    QFETCH(double, rate);
    QFETCH(double, frequency);
    QFETCH(double, rot2);
    QFETCH(double, rot3);

    const double own[2][2] = {{2e-5, 1.5e-5}, {-1.2e-5, 2.5e-5}}; // h2, h3 of each output
    const double rot[2] = {rot2 * kPi / 180, rot3 * kPi / 180};
    std::vector<int> values;
    for (const auto& h : own)
        for (int k = 0; k < 2; ++k)
            values.push_back(int(std::lround(-h[k] * std::cos(rot[k]) / 1e-7)));
    ToneCapture::Settings settings;
    settings.sampleRate = rate;
    settings.frequencyHz = frequency;
    const CaptureAnalysis a = analysed("noise=-150,rot2=" + QByteArray::number(rot2)
                                           + ",rot3=" + QByteArray::number(rot3),
                                       blockWith(0, 0, values), settings);
    QCOMPARE(a.channels.size(), size_t(2));
    const double amplitude = std::pow(10.0, -3.0 / 20);
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < 2; ++k) {
            // a2·v² puts a2·A/2 at 2f, a3·v³ a3·A²/4 at 3f, against the fundamental.
            const double scale = k == 0 ? amplitude / 2 : amplitude * amplitude / 4;
            const Complex expected =
                std::polar(scale * own[c][k] * std::sin(rot[k]), rot[k] - kPi / 2);
            const Complex measured = a.channels[size_t(c)].harmonics[size_t(k + 2)];
            QVERIFY2(
                std::abs(measured - expected) < 1e-3 * std::abs(expected),
                qPrintable(QStringLiteral("output %1, H%2: %3 dBc at %4°, expected %5 dBc at %6°")
                               .arg(c)
                               .arg(k + 2)
                               .arg(20 * std::log10(std::abs(measured)))
                               .arg(std::arg(measured) * 180 / kPi)
                               .arg(20 * std::log10(std::abs(expected)))
                               .arg(std::arg(expected) * 180 / kPi)));
        }
    }
}

// The callback whose buffer holds the frame 0.3 s into the recording is told
// of an overflow, and no other; the samples go on as they would have.
void TestAudioSimDesk::xrun()
{
    Streams s;
    QVERIFY(record(s, "noise=-140,xrun=0.3", blockWith(0, 0), 2, 24000));
    QCOMPARE(s.overflowsAt,
             std::vector<long>{14 * AudioSim::bufferFrames}); // 14400 in 14336..15359
    const std::vector<double>& x = s.samples[0];
    const double omega = 2 * kPi * 997 / 48000;
    const std::vector<Complex> a = fit(x, omega, 1, 8192, x.size());
    double error = 0;
    for (size_t n = 8192; n < x.size(); ++n)
        error = std::max(error, std::fabs(x[n] - a[0].real()
                                          - std::real(a[1] * std::polar(1.0, omega * double(n)))));
    QVERIFY2(error < 1e-5, qPrintable(QString::number(error)));
}

void TestAudioSimDesk::route_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<int>("inputs");
    QTest::addColumn<int>("opened");
    QTest::addColumn<int>("left"); // the input the left output reaches, 1-based
    QTest::addColumn<int>("right");

    QTest::newRow("4 inputs, the outputs on 3 and 2")
        << QByteArray("route=3,2,inputs=4") << 4 << 4 << 3 << 2;
    QTest::newRow("32 inputs, 3 opened, the outputs on 32 and 1")
        << QByteArray("inputs=32,route=32,1") << 32 << 3 << 32 << 1;
}

// The interface has the inputs given, the DAC's outputs reach the two named
// (the right one at -6 dB), hum and all, and the others carry the
// interface's noise alone.
void TestAudioSimDesk::route()
{
    QFETCH(QByteArray, analog);
    QFETCH(int, inputs);
    QFETCH(int, opened);
    QFETCH(int, left);
    QFETCH(int, right);

    Streams s;
    // A second after the tone has arrived: whole cycles of it and of the hum.
    QVERIFY(record(s, kClean + "noise=-120,hum=-100," + analog, blockWith(0, 0x0C), opened,
                   4096 + 48000));
    QCOMPARE(Pa_GetDeviceInfo(Pa_GetDefaultInputDevice())->maxInputChannels, inputs);
    PaStreamParameters tooMany{Pa_GetDefaultInputDevice(), inputs + 1, paFloat32, 0, nullptr};
    QCOMPARE(Pa_IsFormatSupported(&tooMany, nullptr, 48000), PaError(paInvalidChannelCount));
    const double sigma = std::pow(10.0, -120.0 / 20) / std::sqrt(2.0);
    for (int c = 0; c < opened; ++c) {
        const std::vector<double> x(s.samples[size_t(c)].begin() + 4096,
                                    s.samples[size_t(c)].end());
        const double level = 20 * std::log10(std::abs(fit(x, 2 * kPi * 997 / 48000, 1)[1]));
        const double hum = 20 * std::log10(std::abs(fit(x, 2 * kPi * 50 / 48000, 1)[1]));
        const QString seen = QStringLiteral("input %1: tone at %2 dBFS, hum at %3 dBFS")
                                 .arg(c + 1)
                                 .arg(level)
                                 .arg(hum);
        if (c + 1 == left || c + 1 == right) {
            QVERIFY2(std::fabs(level - (c + 1 == left ? -3 : -9)) < 0.01, qPrintable(seen));
            QVERIFY2(std::fabs(hum + 100) < 0.1, qPrintable(seen));
        } else {
            double sum = 0;
            for (double v : x)
                sum += v * v;
            QVERIFY2(std::fabs(std::sqrt(sum / double(x.size())) / sigma - 1) < 0.1,
                     qPrintable(seen));
        }
    }
}

void TestAudioSimDesk::volumeMap_data()
{
    QTest::addColumn<int>("t0"); // the block's bytes 8 and 9
    QTest::addColumn<int>("t1");
    QTest::addColumn<int>("left"); // the volume bytes
    QTest::addColumn<int>("right");
    QTest::addColumn<int>("leftPair");
    QTest::addColumn<int>("rightPair");

    // The factory's thresholds: range 0 at -30 dB and below, 2 at 0 dB.
    QTest::newRow("0 dB and -30 dB") << 0x3c << 0x00 << 0x00 << 0x3C << 2 << 0;
    QTest::newRow("-12.5 dB and -0.5 dB") << 0x3c << 0x00 << 0x19 << 0x01 << 1 << 1;
    QTest::newRow("thresholds -10 and -5 dB, at -5 and -10 dB")
        << 0x14 << 0x0A << 0x0A << 0x14 << 2 << 0;
}

// map=volume: each output takes the pair of the range its volume lies in,
// by the block's thresholds (the factory's THD values; k2 = 1e-5,
// k3 = 3e-5 per unit).
void TestAudioSimDesk::volumeMap()
{
    QFETCH(int, t0);
    QFETCH(int, t1);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(int, leftPair);
    QFETCH(int, rightPair);

    VirtualDac::Block block = blockWith(uint8_t(left), uint8_t(right), SimCapture::factoryValues);
    block[8] = uint8_t(t0);
    block[9] = uint8_t(t1);
    const ToneCapture::Result result =
        capture(kClean + "k2=1e-5,k3=3e-5,noise=-160,map=volume", block);
    QVERIFY2(!result.error, result.error.cause.c_str());
    const int pairs[2] = {leftPair, rightPair};
    for (int c = 0; c < 2; ++c) {
        const SimCapture::Measured m =
            SimCapture::measure(result.channels[size_t(c)], 2 * kPi * 997 / 48000);
        const double a2 = 1e-5 * SimCapture::factoryValues[size_t(2 * pairs[c])];
        const double a3 = 3e-5 * SimCapture::factoryValues[size_t(2 * pairs[c] + 1)];
        QVERIFY2(std::fabs(m.a2 - a2) < 0.02 * std::fabs(a2)
                     && std::fabs(m.a3 - a3) < 0.02 * std::fabs(a3),
                 qPrintable(QStringLiteral("output %1: a2 %2, a3 %3; expected %4, %5")
                                .arg(c)
                                .arg(m.a2)
                                .arg(m.a3)
                                .arg(a2)
                                .arg(a3)));
    }
}

// Paced by the wall clock, a capture takes at least the audio's own time:
// here a quarter second kept after a quarter second of settling (less a
// buffer, which the output may have played before the input started).
void TestAudioSimDesk::realtime()
{
    ToneCapture::Settings settings;
    settings.seconds = 0.25;
    QElapsedTimer clock;
    clock.start();
    const ToneCapture::Result result = capture("pace=realtime", blockWith(0, 0), settings);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(!result.error, result.error.cause.c_str());
    QVERIFY2(elapsed >= 500 - 1000 * AudioSim::bufferFrames / 48000,
             qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(TestAudioSimDesk)
#include "tst_audiosimdesk.moc"
