// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl's audio commands run as a process on the simulated DAC and the
// simulated analog path (sim/audiosim.h): the figures measure prints against
// the model's and recordings in each WAV format (tune-thd and thd-map:
// tst_tuningruns).

#include "childprocess.h"
#include "harmonicfit.h"
#include "synthetic.h"
#include "testbytes.h"
#include "virtualdac.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

using namespace TestBytes;

const QByteArray factory = bytesOf(VirtualDac::factoryBlock());

// The factory block with both channels at 0 dB (attenuation 0 between max 0
// and min 255).
const QByteArray fullVolume = patched(factory, 4, "00 00");

struct Run {
    int exitCode;
    QString out;
    QString err;
    QStringList requests;   // what the DAC received
};

// The simulated path's defaults, and the factory block's THD pairs.
struct Model {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k2 = 1e-7, k3 = 1e-7;
    int pairs[3][2] = {{-300, 260}, {45, -120}, {-4, 25}};
    bool swapped = false;

    // a2 or a3 of an output at the block's values.
    double coefficient(int output, int which) const
    {
        const int pair = (output == 0) != swapped ? 0 : 1;
        return which == 0 ? h2[output] + k2 * pairs[pair][0] : h3[output] + k3 * pairs[pair][1];
    }
};

// A RIFF/WAVE file of `channels` at `rate`: 16-, 24-, 32-bit PCM or 32-bit float.
QByteArray wav(const std::vector<std::vector<double>>& channels, int rate, int bits, bool isFloat)
{
    QByteArray data;
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        for (const std::vector<double>& channel : channels) {
            if (isFloat) {
                const float f = float(channel[i]);
                data.append(reinterpret_cast<const char*>(&f), 4);
                continue;
            }
            const double scale = std::ldexp(1.0, bits - 1);
            const long long v = std::llround(std::clamp(channel[i] * scale, -scale, scale - 1));
            for (int byte = 0; byte < bits / 8; ++byte)
                data.append(char((v >> (8 * byte)) & 0xff));
        }
    }
    auto le = [](uint32_t value, int size) {
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes.append(char((value >> (8 * i)) & 0xff));
        return bytes;
    };
    const int channelCount = int(channels.size());
    const int blockAlign = channelCount * bits / 8;
    const QByteArray format = le(isFloat ? 3 : 1, 2) + le(uint32_t(channelCount), 2) + le(uint32_t(rate), 4)
                              + le(uint32_t(rate * blockAlign), 4) + le(uint32_t(blockAlign), 2) + le(uint32_t(bits), 2);
    const QByteArray chunks = "fmt " + le(16, 4) + format + "data" + le(uint32_t(data.size()), 4) + data;
    return "RIFF" + le(uint32_t(chunks.size() + 4), 4) + "WAVE" + chunks;
}

QJsonObject channelOf(const QJsonObject& document, int channel)
{
    return document["channels"].toArray().at(channel).toObject();
}

QJsonObject harmonicOf(const QJsonObject& channel, int order)
{
    return channel["harmonics"].toArray().at(order - 2).toObject();
}

// The float WAV that --save-capture writes, read without the program's
// reader: one vector per channel, empty when it is not 32-bit float.
std::vector<std::vector<double>> floatChannels(const QByteArray& file)
{
    const auto at = [&file](int offset, int bytes) {
        uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = value << 8 | uint8_t(file.at(offset + i));
        return value;
    };
    int channels = 0;
    std::vector<std::vector<double>> samples;
    for (int chunk = 12; chunk + 8 <= file.size(); chunk += 8 + int(at(chunk + 4, 4) + 1) / 2 * 2) {
        const QByteArray id = file.mid(chunk, 4);
        if (id == "fmt " && at(chunk + 22, 2) == 32)
            channels = int(at(chunk + 10, 2));
        if (id != "data" || channels == 0)
            continue;
        samples.assign(size_t(channels), {});
        const int frames = int(at(chunk + 4, 4)) / (4 * channels);
        for (int n = 0; n < frames; ++n) {
            for (int c = 0; c < channels; ++c) {
                const uint32_t bits = at(chunk + 8 + 4 * (n * channels + c), 4);
                float value;
                std::memcpy(&value, &bits, sizeof value);
                samples[size_t(c)].push_back(value);
            }
        }
    }
    return samples;
}

// An analyser of the test's own: the frequency from the slope of the
// fundamental's phase across ten parts of the capture (fitted at `nominal`),
// then H2 and H3 in dBc from a fit over the whole capture at that frequency.
// The frequency must be close: a fundamental fitted 1e-4 Hz off leaves a
// residual that moves an H3 at -106 dBc by tenths of a dB.
std::array<double, 2> independentDbc(const std::vector<double>& x, double nominal, double rate)
{
    const double omega = 2 * 3.14159265358979323846 * nominal / rate;
    double sumT = 0, sumP = 0, sumTT = 0, sumTP = 0, last = 0;
    for (size_t part = 0; part < 10; ++part) {
        const size_t from = x.size() * part / 10, to = x.size() * (part + 1) / 10;
        double phase = std::arg(HarmonicFit::fit(x, omega, 1, from, to)[1]);
        phase = last + std::remainder(phase - last, 2 * 3.14159265358979323846);
        const double t = (from + to) / 2.0;
        sumT += t, sumP += phase, sumTT += t * t, sumTP += t * phase, last = phase;
    }
    const double slope = (10 * sumTP - sumT * sumP) / (10 * sumTT - sumT * sumT);
    const std::vector<HarmonicFit::Complex> fitted = HarmonicFit::fit(x, omega + slope, 3);
    return {20 * std::log10(std::abs(fitted[2]) / std::abs(fitted[1])),
            20 * std::log10(std::abs(fitted[3]) / std::abs(fitted[1]))};
}

// The phase difference, wrapped to (−180°, 180°].
double phaseError(double measured, double expected)
{
    double d = std::fmod(measured - expected, 360.0);
    if (d > 180)
        d -= 360;
    if (d <= -180)
        d += 360;
    return std::abs(d);
}

} // namespace

class TestMeasureCommands : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void badCommandLine_data();
    void badCommandLine();
    void audioDevices_data();
    void audioDevices();
    void measureModel_data();
    void measureModel();
    void measureSilent();
    void inputChannels_data();
    void inputChannels();
    void inputFile_data();
    void inputFile();
    void exportsMatchTheFigures();
    void inputFileRefused_data();
    void inputFileRefused();
    void separatesTheInterface_data();
    void separatesTheInterface();

private:
    Run ctl(const QStringList& arguments, const QStringList& environment = {});
    QString path(const QString& name) const { return dir->filePath(name); }
    QByteArray deviceBlock() const { return readFile(path("dac.block")); }

    QScopedPointer<QTemporaryDir> dir;
    QString history;
};

void TestMeasureCommands::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(writeFile(path("dac.block"), factory));
    qputenv("XDG_DATA_HOME", QFile::encodeName(path("data")));
    history = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
              + "/sonvale/history/2fc6-6013-SV9038-0001";
    QDir(history).removeRecursively();
}

void TestMeasureCommands::cleanup()
{
    QDir(history).removeRecursively();
}

Run TestMeasureCommands::ctl(const QStringList& arguments, const QStringList& environment)
{
    const QTemporaryDir console;
    const QString out = QDir(console.path()).filePath("stdout");
    const QString err = QDir(console.path()).filePath("stderr");
    int exitCode = -1;
    {
        ChildProcess process(QStringLiteral(SONVALECTL_SIM), arguments);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SONVALE_SIM_BLOCK", path("dac.block"));
        env.insert("SONVALE_SIM_REQUESTS", path("requests"));
        env.insert("XDG_CONFIG_HOME", path("config")); // no profile of the interface
        env.remove("SONVALE_SIM_ANALOG");
        for (const QString& assignment : environment)
            env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        process.setEnvironment(env);
        process.setWorkingDirectory(dir->path());
        process.setOutputFiles(out, err);
        if (process.start() && process.waitForFinished(120000))
            exitCode = process.exitCode();
        if (exitCode < 0)
            qWarning().noquote() << "sonvalectl" << arguments << process.why()
                                 << consoleText(process.errors());
    }
    const QString requests = QString::fromLatin1(readFile(path("requests")));
    QFile::remove(path("requests"));
    return {exitCode, consoleText(readFile(out)), consoleText(readFile(err)), requests.split('\n', Qt::SkipEmptyParts)};
}

// A bad command line plays nothing, writes nothing and keeps nothing.
void TestMeasureCommands::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("operand") << QStringList{"measure", "now"} << "measure takes no arguments but its options, not 'now'";
    QTest::newRow("unknown option") << QStringList{"measure", "--volume", "3"} << "unknown option '--volume'";
    QTest::newRow("frequency, not a number")
        << QStringList{"measure", "--frequency", "1kHz"} << "--frequency takes a frequency in Hz from 10 to 96000, not '1kHz'";
    QTest::newRow("frequency, too low")
        << QStringList{"tune-thd", "--frequency=5"} << "--frequency takes a frequency in Hz from 10 to 96000, not '5'";
    QTest::newRow("frequency near half the rate")
        << QStringList{"measure", "--frequency", "22000"}
        << "--frequency 22000 lies too close to half the rate 48000 Hz: the tone must stay below 45 % of the rate";
    QTest::newRow("level, not a number")
        << QStringList{"measure", "--level", "loud"}
        << "--level takes a level in dBFS, -120 or more (0 dBFS is a full-scale sine), not 'loud'";
    QTest::newRow("level, not finite")
        << QStringList{"measure", "--level", "-inf"}
        << "--level takes a level in dBFS, -120 or more (0 dBFS is a full-scale sine), not '-inf'";
    QTest::newRow("rate, fraction")
        << QStringList{"measure", "--rate", "44100.5"} << "--rate takes a sample rate in Hz from 8000 to 384000, not '44100.5'";
    QTest::newRow("seconds, none") << QStringList{"measure", "--seconds", "0"}
                                   << "--seconds takes the seconds to capture, 0.1 to 60, not '0'";
    QTest::newRow("output, no value") << QStringList{"measure", "--output"} << "--output needs DEV";
    QTest::newRow("file with devices")
        << QStringList{"measure", "--input-file", "a.wav", "--input", "1"}
        << "--input-file analyses a recording as it is: --rate, --seconds, --output, --input and --input-channels do "
           "not go with it";
    QTest::newRow("a file saved from a file")
        << QStringList{"measure", "--input-file", "a.wav", "--save-capture", "b.wav"}
        << "--save-capture keeps what a capture recorded; --input-file records nothing";
    QTest::newRow("separate a file")
        << QStringList{"measure", "--separate", "--input-file", "a.wav"}
        << "--separate records twice, at two input gains; --input-file records nothing";
    QTest::newRow("tune-thd from a file") << QStringList{"tune-thd", "--input-file", "a.wav"}
                                          << "unknown option '--input-file'";
    QTest::newRow("audio-devices, operand")
        << QStringList{"audio-devices", "all"}
        << "audio-devices takes no arguments but --json and --all-host-apis";
}

void TestMeasureCommands::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = ctl(arguments);
    QCOMPARE(run.err, "sonvalectl: " + message + " (sonvalectl --help shows the usage)\n");
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(deviceBlock(), factory);
    QVERIFY(!QDir(history).exists());
}

void TestMeasureCommands::audioDevices_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out");

    const QString table =
        "index  in  out  rate    host API              name\n"
        "0       0    2  48000   Sonvale simulation    Sonvale ES9038 USB DAC: USB Audio (%1default output)\n"
        "1       2    2  48000   Sonvale simulation    Sonvale loopback interface (default input)\n";
    QTest::newRow("the DAC open") << QStringList{"audio-devices"}
                                  << table.arg("the DAC, ") + "the DAC 2fc6:6013: device 0 (found by its product name)\n";
    // Listing needs no DAC; without one, none is marked.
    QTest::newRow("no DAC") << QStringList{"--device", "1234:abcd", "audio-devices"}
                            << table.arg("") + "the DAC 1234:abcd: none marked (no DAC 1234:abcd is connected)\n";
}

void TestMeasureCommands::audioDevices()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);

    const Run run = ctl(arguments);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);

    const Run json = ctl(arguments + QStringList{"--json"});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject document = QJsonDocument::fromJson(json.out.toUtf8()).object();
    const QJsonArray devices = document["devices"].toArray();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices[0].toObject()["name"].toString(), QString("Sonvale ES9038 USB DAC: USB Audio"));
    QCOMPARE(devices[0].toObject()["outputs"].toInt(), 2);
    QCOMPARE(devices[1].toObject()["inputs"].toInt(), 2);
    QCOMPARE(devices[1].toObject()["outputs"].toInt(), 2);
    QCOMPARE(devices[1].toObject()["host_api"].toString(), QString("Sonvale simulation"));
    const bool dac = out.contains("device 0");
    QCOMPARE(devices[0].toObject()["dac"].toBool(), dac);
    QCOMPARE(document["dac"].isNull(), !dac);
    QCOMPARE(document["default_input"].toInt(), 1);
    QCOMPARE(document["default_output"].toInt(), 0);
}

// The levels and harmonics against y = v + a2·v² + a3·v³: for v = A·cos,
// H2 = a2·A/2 and H3 = a3·A²/4 of the fundamental, at 0° for a positive
// coefficient and 180° for a negative one; A = 10^((level + volume)/20).
void TestMeasureCommands::measureModel_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<double>("levelDbfs");   // the played level plus the DAC's volume
    QTest::addColumn<double>("gainDb");      // the path's gain into the interface
    QTest::addColumn<bool>("swapped");
    QTest::addColumn<QVector<double>>("coefficients");   // h2l, h3l, h2r, h3r

    const QVector<double> defaults{2e-5, 1.5e-5, -1.2e-5, 2.5e-5};
    QTest::newRow("defaults, the factory volume")
        << QStringList{"SONVALE_SIM_ANALOG=noise=-160"} << factory << QStringList{} << -15.5 << 0.0
        << false << defaults;
    QTest::newRow("full volume, -6 dBFS, 96 kHz")
        << QStringList{"SONVALE_SIM_ANALOG=noise=-160"} << fullVolume
        << QStringList{"--level", "-6", "--rate", "96000"} << -6.0 << 0.0 << false << defaults;
    QTest::newRow("swapped map, 1 kHz for 2 s")
        << QStringList{"SONVALE_SIM_ANALOG=map=swapped,noise=-160"} << fullVolume
        << QStringList{"--frequency", "1000", "--seconds", "2"} << -3.0 << 0.0 << true << defaults;
    QTest::newRow("other coefficients, a clock 80 ppm off")
        << QStringList{"SONVALE_SIM_ANALOG=h2l=-5e-5,h3l=3e-5,h2r=4e-5,h3r=-2e-5,noise=-150,ppm=80"}
        << fullVolume << QStringList{"--output", "USB audio", "--input", "loopback"} << -3.0 << 0.0
        << false << QVector<double>{-5e-5, 3e-5, 4e-5, -2e-5};
    // An interface's input knob, a real desk's hum and clock: the level
    // arrives lower, which is no problem, and is told as the path gain.
    QTest::newRow("a path gain of -9.3 dB, hum, a wandering clock")
        << QStringList{"SONVALE_SIM_ANALOG=noise=-140,gain=-9.3,hum=-110,wander=2"} << fullVolume
        << QStringList{} << -3.0 << -9.3 << false << defaults;
}

void TestMeasureCommands::measureModel()
{
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, block);
    QFETCH(QStringList, arguments);
    QFETCH(double, levelDbfs);
    QFETCH(double, gainDb);
    QFETCH(bool, swapped);
    QFETCH(QVector<double>, coefficients);

    QVERIFY(writeFile(path("dac.block"), block));
    const Run run = ctl(QStringList{"measure", "--json"} + arguments, environment);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document["problems"].toArray(), QJsonArray());
    QVERIFY(document["output_is_dac"].toBool());
    QCOMPARE(document["channels"].toArray().size(), 2);

    Model model;
    model.swapped = swapped;
    model.h2[0] = coefficients[0], model.h3[0] = coefficients[1];
    model.h2[1] = coefficients[2], model.h3[1] = coefficients[3];
    const double amplitude = std::pow(10.0, levelDbfs / 20);
    for (int output = 0; output < 2; ++output) {
        const QJsonObject channel = channelOf(document, output);
        QCOMPARE(channel["channel"].toString(), QString(output ? "right" : "left"));
        QVERIFY2(std::abs(channel["level_dbfs"].toDouble() - (levelDbfs + gainDb)) < 0.05,
                 qPrintable(QString::number(channel["level_dbfs"].toDouble())));
        QCOMPARE(channel["expected_level_dbfs"].toDouble(), levelDbfs);
        QVERIFY2(std::abs(channel["path_gain_db"].toDouble() - gainDb) < 0.05,
                 qPrintable(QString::number(channel["path_gain_db"].toDouble())));
        for (int order = 2; order <= 3; ++order) {
            const double a = model.coefficient(output, order - 2);
            const double relative = order == 2 ? a * amplitude / 2 : a * amplitude * amplitude / 4;
            const double dbc = 20 * std::log10(std::abs(relative));
            const QJsonObject harmonic = harmonicOf(channel, order);
            QCOMPARE(harmonic["order"].toInt(), order);
            QVERIFY2(std::abs(harmonic["dbc"].toDouble() - dbc) < 0.3,
                     qPrintable(QString("H%1 %2 dBc, model %3").arg(order).arg(harmonic["dbc"].toDouble()).arg(dbc)));
            QVERIFY2(phaseError(harmonic["phase_deg"].toDouble(), relative > 0 ? 0 : 180) < 2,
                     qPrintable(QString("H%1 at %2°").arg(order).arg(harmonic["phase_deg"].toDouble())));
        }
    }
}

// A cable come loose: no tone is measured as distortion.
void TestMeasureCommands::measureSilent()
{
    const Run run = ctl({"measure", "--seconds", "0.5"}, {"SONVALE_SIM_ANALOG=input=silent"});
    const QString silent = "  fundamental  -              -  (played -15.50 dBFS)\n"
                           "  path gain    -\n"
                           "  THD          -              -\n"
                           "  THD+N        -\n"
                           "  H2           -              -\n"
                           "  H3           -              -\n"
                           "  H4           -              -\n"
                           "  H5           -              -\n";
    QCOMPARE(run.out, "measured: 997.0 Hz at -3.0 dBFS, 48000 Hz, 0.500 s\n"
                      "output: 0 \"Sonvale ES9038 USB DAC: USB Audio\" (the DAC, volume -12.5 dB left, -12.5 dB right)\n"
                      "input: 1 \"Sonvale loopback interface\"\n"
                      "left\n" + silent + "right\n" + silent +
                      "problem: no signal: no tone arrived at the input (is the DAC's output connected to it, and "
                      "the input the one named?)\n");
    QCOMPARE(run.err, QString("sonvalectl: the capture does not tell the DAC's distortion: no signal\n"));
    QCOMPARE(run.exitCode, 1);
    // measure reads the window of the volumes, and changes nothing.
    QCOMPARE(run.requests, QStringList{"04 04 04 00 00 00 00"});
    QCOMPARE(deviceBlock(), factory);
}

// An interface with four inputs, the DAC's outputs wired to the last two:
// the inputs named are the ones recorded, and one the interface lacks is
// refused before anything reaches the DAC.
void TestMeasureCommands::inputChannels_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("levels"); // per channel recorded, "-" for no tone
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("analog"); // added to the simulated path's

    QTest::newRow("inputs 3 and 4") << QStringList{"--input-channels", "3,4"} << 0
                                    << QStringList{"-15.5", "-15.5"} << QString() << QString();
    QTest::newRow("the default, 1 and 2")
        << QStringList{} << 1 << QStringList{"-", "-"}
        << "sonvalectl: the capture does not tell the DAC's distortion: no signal\n"
        << QString();
    QTest::newRow("the right output alone") << QStringList{"--input-channels", "4"} << 0
                                            << QStringList{"-15.5"} << QString() << QString();
    QTest::newRow("an input it lacks")
        << QStringList{"--input-channels", "3,5"} << 2 << QStringList{}
        << "sonvalectl: --input-channels: 1 \"Sonvale loopback interface\" has 4 inputs, not 5 (sonvalectl --help "
           "shows the usage)\n"
        << QString();
    QTest::newRow("an input device that is not there")
        << QStringList{"--input", "9"} << 3 << QStringList{}
        << "sonvalectl: --input: there is no device 9 (see audio-devices)\n"
        << QString();
    // The audio failed: 3, as the table of exit statuses says, not 1 (a
    // capture's problem).
    QTest::newRow("the interface held by another program")
        << QStringList{} << 3 << QStringList{}
        << "sonvalectl: cannot open \"Sonvale loopback interface\" for recording: Device "
           "unavailable\n"
        << ",busy=input";
}

void TestMeasureCommands::inputChannels()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, levels);
    QFETCH(QString, err);
    QFETCH(QString, analog);

    const Run run = ctl(QStringList{"measure", "--json"} + arguments,
                        {"SONVALE_SIM_ANALOG=inputs=4,route=3,4,noise=-140" + analog});
    QCOMPARE(run.err, err);
    QCOMPARE(run.exitCode, exitCode);
    QStringList measured;
    for (const QJsonValue& channel :
         QJsonDocument::fromJson(run.out.toUtf8()).object()["channels"].toArray()) {
        const QJsonValue level = channel.toObject()["level_dbfs"];
        measured << (level.isNull() ? QString("-") : QString::number(level.toDouble(), 'f', 1));
    }
    QCOMPARE(measured, levels);
    if (exitCode == 2)
        QCOMPARE(run.requests, QStringList());
}

// Recordings made elsewhere, in each format the reader takes: no DAC and no
// audio device is touched.
void TestMeasureCommands::inputFile_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("isFloat");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("problem");

    QTest::newRow("16-bit stereo 48 kHz") << 16 << false << 2 << 48000 << QStringList{} << QString();
    QTest::newRow("24-bit mono 96 kHz, --frequency")
        << 24 << false << 1 << 96000 << QStringList{"--frequency", "1000"} << QString();
    QTest::newRow("32-bit stereo 44.1 kHz, --level right")
        << 32 << false << 2 << 44100 << QStringList{"--level", "-6"} << QString();
    QTest::newRow("float stereo 192 kHz") << 32 << true << 2 << 192000 << QStringList{} << QString();
    QTest::newRow("float mono, --level wrong")
        << 32 << true << 1 << 48000 << QStringList{"--level", "-3"} << QString("level");
}

void TestMeasureCommands::inputFile()
{
    QFETCH(int, bits);
    QFETCH(bool, isFloat);
    QFETCH(int, channels);
    QFETCH(int, rate);
    QFETCH(QStringList, arguments);
    QFETCH(QString, problem);

    // 1 kHz at -6 dBFS on a clock 80 ppm off; H2 and H3 at known levels
    // and phases, the right channel's other than the left's.
    std::vector<std::vector<double>> samples;
    const double h[2][2][2] = {{{-90, 30}, {-100, -60}}, {{-95, 150}, {-105, 100}}};   // [channel][H2, H3][dBc, °]
    for (int c = 0; c < channels; ++c) {
        Synthetic::Tone tone;
        tone.rateHz = rate;
        tone.frequencyHz = 1000;
        tone.levelDbfs = -6;
        tone.ppm = 80;
        tone.noiseDbfs = -140;
        tone.seed = unsigned(c + 1);
        tone.harmonics = {{2, {h[c][0][0], h[c][0][1]}}, {3, {h[c][1][0], h[c][1][1]}}};
        samples.push_back(Synthetic::synthesize(tone));
    }
    QVERIFY(writeFile(path("capture.wav"), wav(samples, rate, bits, isFloat)));
    const Run run = ctl(QStringList{"--device", "1234:abcd", "measure", "--input-file", "capture.wav", "--json"}
                        + arguments, {"SONVALE_SIM_ANALOG=input=silent"});
    QCOMPARE(run.exitCode, problem.isEmpty() ? 0 : 1);
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8()).object();
    QCOMPARE(document["rate"].toInt(), rate);
    QCOMPARE(document["file"].toString(), QString("capture.wav"));
    QCOMPARE(document["seconds"].toDouble(), 1.0);
    QCOMPARE(document["problems"].toArray(), problem.isEmpty() ? QJsonArray() : QJsonArray{problem});
    QCOMPARE(document["channels"].toArray().size(), channels);
    for (int c = 0; c < channels; ++c) {
        const QJsonObject channel = channelOf(document, c);
        QCOMPARE(channel["channel"].toString(), QString(channels == 1 ? "mono" : c ? "right" : "left"));
        QVERIFY(std::abs(channel["frequency"].toDouble() - 1000.08) < 0.005);
        QVERIFY(std::abs(channel["level_dbfs"].toDouble() + 6) < 0.05);
        for (int order = 2; order <= 3; ++order) {
            const QJsonObject harmonic = harmonicOf(channel, order);
            QVERIFY2(std::abs(harmonic["dbc"].toDouble() - h[c][order - 2][0]) < 0.3,
                     qPrintable(QString::number(harmonic["dbc"].toDouble())));
            QVERIFY(phaseError(harmonic["phase_deg"].toDouble(), h[c][order - 2][1]) < 2);
        }
        const double thd = 10 * std::log10(std::pow(10, h[c][0][0] / 10) + std::pow(10, h[c][1][0] / 10));
        QVERIFY(std::abs(channel["thd_db"].toDouble() - thd) < 0.3);
    }
    if (problem.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QCOMPARE(run.err, "sonvalectl: the capture does not tell the DAC's distortion: " + problem + "\n");
}

// What --save-capture writes is what was analysed: read back, it measures
// the same to 0.01 dB, so any other analyser can check the figures, and an
// analyser of the test's own finds the same H2 and H3 in it to 0.05 dB (a
// recording written and read with one and the same fault, its channels
// swapped or its samples coarsened, agrees with itself only). The spectrum
// of --csv shows the fundamental at the level measured.
void TestMeasureCommands::exportsMatchTheFigures()
{
    QVERIFY(writeFile(path("dac.block"), fullVolume));
    const QStringList desk{"SONVALE_SIM_ANALOG=noise=-140,gain=-9.3,hum=-110,wander=2"};
    const Run captured =
        ctl({"measure", "--json", "--save-capture", "capture.wav", "--csv", "spectrum.csv"}, desk);
    QCOMPARE(captured.exitCode, 0);
    const QStringList rows = QString::fromUtf8(readFile(path("spectrum.csv"))).split('\n');
    QCOMPARE(rows.first(), QString("frequency_hz,left_dbfs,right_dbfs"));
    const QStringList fundamental = rows.filter(QRegularExpression("^997\\.000,")).value(0).split(',');
    const Run read = ctl({"measure", "--json", "--input-file", "capture.wav", "--frequency", "997"});
    QCOMPARE(read.err, QString());
    QCOMPARE(read.exitCode, 0);
    const QJsonObject before = QJsonDocument::fromJson(captured.out.toUtf8()).object();
    const QJsonObject after = QJsonDocument::fromJson(read.out.toUtf8()).object();
    const std::vector<std::vector<double>> saved = floatChannels(readFile(path("capture.wav")));
    QCOMPARE(saved.size(), size_t(2));
    for (int output = 0; output < 2; ++output) {
        const QJsonObject a = channelOf(before, output), b = channelOf(after, output);
        const std::array<double, 2> dbc = independentDbc(saved[size_t(output)], 997, 48000);
        for (int order = 2; order <= 3; ++order)
            QVERIFY2(std::abs(dbc[size_t(order - 2)] - harmonicOf(a, order)["dbc"].toDouble())
                         < 0.05,
                     qPrintable(QString("H%1: %2 dBc, the test's own fit %3")
                                    .arg(order)
                                    .arg(harmonicOf(a, order)["dbc"].toDouble())
                                    .arg(dbc[size_t(order - 2)])));
        QVERIFY2(std::abs(fundamental.value(1 + output).toDouble() - a["level_dbfs"].toDouble()) < 0.1,
                 qPrintable(fundamental.join(',')));
        for (const char* key : {"level_dbfs", "thd_db"})
            QVERIFY2(std::abs(a[key].toDouble() - b[key].toDouble()) < 0.01,
                     qPrintable(QString("%1: %2, read back %3").arg(key).arg(a[key].toDouble()).arg(b[key].toDouble())));
        for (int order = 2; order <= 3; ++order) {
            const double dbc = harmonicOf(a, order)["dbc"].toDouble();
            QVERIFY2(std::abs(dbc - harmonicOf(b, order)["dbc"].toDouble()) < 0.01, qPrintable(QString::number(dbc)));
        }
    }
}

void TestMeasureCommands::inputFileRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    const std::vector<std::vector<double>> tone(1, Synthetic::synthesize(Synthetic::Tone()));
    const std::vector<std::vector<double>> three(3, std::vector<double>(480, 0.1));
    const QByteArray whole = wav(tone, 48000, 16, false);
    QTest::newRow("8-bit") << wav(tone, 48000, 8, false)
                           << "unsupported format: 8-bit PCM (16-, 24- and 32-bit PCM and 32-bit float are read)";
    QTest::newRow("three channels") << wav(three, 48000, 16, false) << "too many channels: 3 (mono or stereo is read)";
    QTest::newRow("22.05 kHz") << wav(tone, 22050, 16, false) << "sample rate out of range: 22050 Hz (44100 to 192000 Hz)";
    QTest::newRow("truncated") << whole.left(whole.size() - 1000)
                               << QString("truncated: the data chunk holds %1 bytes, the file %2")
                                      .arg(whole.size() - 44).arg(whole.size() - 44 - 1000);
    QTest::newRow("not a WAV") << QByteArray("ID3\x03 an MP3 file, say") << "bad header: not a RIFF/WAVE file";
}

void TestMeasureCommands::inputFileRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    QVERIFY(writeFile(path("capture.wav"), file));
    const Run run = ctl({"measure", "--input-file", "capture.wav"});
    QCOMPARE(run.err, "sonvalectl: capture.wav: " + reason + "\n");
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.out, QString());
}

QTEST_GUILESS_MAIN(TestMeasureCommands)
#include "tst_measurecommands.moc"

// --separate on an interface louder than the DAC: the DAC's share is what
// the model's DAC alone would measure; a knob hardly turned is said.
void TestMeasureCommands::separatesTheInterface_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // after the prompt

    QTest::newRow("interface 6 dB above, gain down 6 dB")
        << "noise=-150,adcgain=0,-6,adc2=2e-5,adc3=8e-5" << 0 << QString();
    QTest::newRow("6 dB of cable loss made up by the input, then 4 dB down")
        << "noise=-150,gain=-6,adcgain=6,2,adc2=2e-5,adc3=8e-5" << 0 << QString();
    QTest::newRow("gain down 1 dB")
        << "noise=-150,adcgain=0,-1,adc2=2e-5" << 1
        << "sonvalectl: the level at the input changed by 1.0 dB on the left channel: "
           "the interface's share needs a change of 3 dB or more to be told from the "
           "DAC's\n";
}

void TestMeasureCommands::separatesTheInterface()
{
    QFETCH(QString, analog);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    QVERIFY(writeFile(path("dac.block"), fullVolume));
    const Run run = ctl({"measure", "--json", "--separate"}, {"SONVALE_SIM_ANALOG=" + analog});
    QCOMPARE(run.err,
             "sonvalectl: turn the interface's input gain down by about 6 dB, then press Enter\n"
                 + said);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode != 0)
        return;
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8()).object();
    const double change = document["gain_change_db"].toDouble();
    QVERIFY2(change < -3.9 && change > -6.1, qPrintable(QString::number(change)));
    const Model model;
    const double amplitude = std::pow(10.0, -3.0 / 20);
    for (int output = 0; output < 2; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const double a = model.coefficient(output, order - 2);
            const double relative = order == 2 ? a * amplitude / 2 : a * amplitude * amplitude / 4;
            const QJsonObject dac =
                harmonicOf(channelOf(document, output), order)["dac"].toObject();
            QVERIFY2(std::abs(dac["dbc"].toDouble() - 20 * std::log10(std::abs(relative))) < 1
                         && phaseError(dac["phase_deg"].toDouble(), relative > 0 ? 0 : 180) < 5,
                     qPrintable(QString("H%1: %2 dBc at %3°")
                                    .arg(order)
                                    .arg(dac["dbc"].toDouble())
                                    .arg(dac["phase_deg"].toDouble())));
        }
    }
}
