// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV reader on files built byte by byte: each format it reads, with the
// sample values it must give, and each file it must refuse, with the reason
// a user reads.

#include "measure/analysis.h"
#include "measure/wavfile.h"
#include "synthetic.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

void put16(QByteArray& bytes, uint32_t value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8 & 0xFF));
}

void put32(QByteArray& bytes, uint32_t value)
{
    put16(bytes, value & 0xFFFF);
    put16(bytes, value >> 16);
}

QByteArray chunk(const char* id, const QByteArray& data, qint64 declaredSize = -1)
{
    QByteArray bytes(id, 4);
    put32(bytes, uint32_t(declaredSize >= 0 ? declaredSize : data.size()));
    bytes += data;
    if (data.size() % 2)
        bytes.append('\0');
    return bytes;
}

// A format chunk; `extensible` writes WAVE_FORMAT_EXTENSIBLE with `tag` as
// its subformat.
QByteArray format(int tag, int channels, uint32_t rate, int bits, bool extensible = false, int validBits = 0)
{
    QByteArray f;
    put16(f, extensible ? 0xFFFE : tag);
    put16(f, channels);
    put32(f, rate);
    put32(f, rate * channels * bits / 8);
    put16(f, channels * bits / 8);
    put16(f, bits);
    if (extensible) {
        put16(f, 22);
        put16(f, validBits ? validBits : bits);
        put32(f, channels == 1 ? 0x4 : 0x3);
        put16(f, tag);
        f += QByteArray::fromHex("000000001000800000AA00389B71");
    }
    return chunk("fmt ", f);
}

QByteArray riff(const QByteArray& chunks)
{
    QByteArray bytes("RIFF");
    put32(bytes, uint32_t(4 + chunks.size()));
    return bytes + "WAVE" + chunks;
}

QByteArray samples16(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        put16(bytes, uint32_t(v));
    return bytes;
}

QByteArray samples24(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values) {
        bytes.append(char(v & 0xFF));
        bytes.append(char(v >> 8 & 0xFF));
        bytes.append(char(v >> 16 & 0xFF));
    }
    return bytes;
}

QByteArray samples32(std::initializer_list<int64_t> values)
{
    QByteArray bytes;
    for (int64_t v : values)
        put32(bytes, uint32_t(v));
    return bytes;
}

QByteArray samplesFloat(std::initializer_list<float> values)
{
    QByteArray bytes;
    for (float v : values) {
        uint32_t raw;
        std::memcpy(&raw, &v, sizeof raw);
        put32(bytes, raw);
    }
    return bytes;
}

Error parse(WavFile& file, const QByteArray& bytes)
{
    return file.parse(reinterpret_cast<const uint8_t*>(bytes.constData()),
                      std::size_t(bytes.size()));
}

QList<double> flatten(const WavFile& file)
{
    QList<double> values;
    for (const std::vector<double>& channel : file.channels) {
        for (double v : channel)
            values << v;
    }
    return values;
}

} // namespace

class TestWavFile : public QObject {
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refuses_data();
    void refuses();
    void fromFile();
    void analysedFromFile();
};

void TestWavFile::reads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("rateHz");
    QTest::addColumn<QString>("formatName");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QList<double>>("values");  // channel after channel

    QTest::newRow("16-bit mono 44.1 kHz")
        << riff(format(1, 1, 44100, 16) + chunk("data", samples16({0, 16384, -32768, 32767})))
        << 44100 << "16-bit PCM" << 1 << QList<double>{0, 0.5, -1, 32767 / 32768.0};
    QTest::newRow("16-bit stereo, a list chunk of odd size before the data")
        << riff(format(1, 2, 48000, 16) + chunk("LIST", "abc") + chunk("data", samples16({1, -1, 8192, -8192})))
        << 48000 << "16-bit PCM" << 2 << QList<double>{1 / 32768.0, 0.25, -1 / 32768.0, -0.25};
    QTest::newRow("24-bit stereo 96 kHz")
        << riff(format(1, 2, 96000, 24) + chunk("data", samples24({0x400000, -0x800000, 0x7FFFFF, -1})))
        << 96000 << "24-bit PCM" << 2 << QList<double>{0.5, 0x7FFFFF / 8388608.0, -1, -1 / 8388608.0};
    QTest::newRow("32-bit mono 192 kHz")
        << riff(format(1, 1, 192000, 32) + chunk("data", samples32({0x40000000, -0x80000000LL, 1})))
        << 192000 << "32-bit PCM" << 1 << QList<double>{0.5, -1, 1 / 2147483648.0};
    QTest::newRow("32-bit float stereo")
        << riff(format(3, 2, 48000, 32) + chunk("data", samplesFloat({0.25f, -0.5f, 1.5f, -0.125f})))
        << 48000 << "32-bit float" << 2 << QList<double>{0.25, 1.5, -0.5, -0.125};
    QTest::newRow("extensible 24-bit PCM")
        << riff(format(1, 2, 88200, 24, true) + chunk("data", samples24({0x200000, 0x100000})))
        << 88200 << "24-bit PCM" << 2 << QList<double>{0.25, 0.125};
    QTest::newRow("extensible 24 valid bits in 32")
        << riff(format(1, 1, 48000, 32, true, 24) + chunk("data", samples32({0x40000000})))
        << 48000 << "32-bit PCM" << 1 << QList<double>{0.5};
    QTest::newRow("extensible float")
        << riff(format(3, 1, 44100, 32, true) + chunk("data", samplesFloat({-0.75f})))
        << 44100 << "32-bit float" << 1 << QList<double>{-0.75};
    QTest::newRow("a trailing part frame is left out")
        << riff(format(1, 2, 48000, 16) + chunk("data", samples16({16384, 8192, 4096})))
        << 48000 << "16-bit PCM" << 2 << QList<double>{0.5, 0.25};
    QTest::newRow("chunks after the data")
        << riff(format(1, 1, 48000, 16) + chunk("data", samples16({16384})) + chunk("id3 ", "xyz"))
        << 48000 << "16-bit PCM" << 1 << QList<double>{0.5};
}

void TestWavFile::reads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, rateHz);
    QFETCH(QString, formatName);
    QFETCH(int, channels);
    QFETCH(QList<double>, values);

    WavFile file;
    const Error error = parse(file, bytes);
    QVERIFY2(!error, error.cause.c_str());
    QCOMPARE(file.rateHz, rateHz);
    QCOMPARE(QString::fromStdString(file.formatName()), formatName);
    QCOMPARE(int(file.channels.size()), channels);
    QCOMPARE(flatten(file), values);
    QCOMPARE(file.seconds(), double(values.size() / channels) / rateHz);
}

void TestWavFile::refuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");

    const QByteArray data = chunk("data", samples16({1, 2, 3, 4}));
    QTest::newRow("empty") << QByteArray() << "bad header: not a RIFF/WAVE file";
    QTest::newRow("not RIFF") << QByteArray("RIFX\4\0\0\0WAVE") << "bad header: not a RIFF/WAVE file";
    QTest::newRow("an AIFF") << QByteArray("FORM\4\0\0\0AIFF") << "bad header: not a RIFF/WAVE file";
    QTest::newRow("no chunks") << riff({}) << "bad header: no format chunk";
    QTest::newRow("no data chunk") << riff(format(1, 2, 48000, 16)) << "bad header: no data chunk";
    QTest::newRow("data before the format")
        << riff(data + format(1, 2, 48000, 16)) << "bad header: the data chunk comes before the format chunk";
    QTest::newRow("format chunk of 14 bytes")
        << riff(chunk("fmt ", QByteArray(14, '\1')) + data) << "bad header: the format chunk is too short";
    QTest::newRow("8-bit PCM")
        << riff(format(1, 1, 48000, 8) + data)
        << "unsupported format: 8-bit PCM (16-, 24- and 32-bit PCM and 32-bit float are read)";
    QTest::newRow("64-bit float")
        << riff(format(3, 1, 48000, 64) + data)
        << "unsupported format: 64-bit float (16-, 24- and 32-bit PCM and 32-bit float are read)";
    QTest::newRow("MP3 in WAV")
        << riff(format(0x55, 2, 48000, 16) + data)
        << "unsupported format: format tag 0x0055, not PCM or float (compressed audio is not read)";
    QTest::newRow("A-law extensible")
        << riff(format(6, 1, 48000, 16, true) + data)
        << "unsupported format: format tag 0x0006, not PCM or float (compressed audio is not read)";
    QByteArray guid = format(1, 1, 48000, 16, true);
    guid[guid.size() - 1] = 0x72;
    QTest::newRow("extensible with a foreign subformat")
        << riff(guid + data) << "unsupported format: an extensible subformat that is neither PCM nor float";
    QTest::newRow("extensible, 20 valid bits of 16")
        << riff(format(1, 1, 48000, 16, true, 20) + data) << "bad header: 20 valid bits in 16-bit samples";
    QTest::newRow("three channels")
        << riff(format(1, 3, 48000, 16) + chunk("data", samples16({1, 2, 3})))
        << "too many channels: 3 (mono or stereo is read)";
    QTest::newRow("no channels") << riff(format(1, 0, 48000, 16) + data) << "bad header: no channels";
    QTest::newRow("8 kHz") << riff(format(1, 2, 8000, 16) + data)
                           << "sample rate out of range: 8000 Hz (44100 to 192000 Hz)";
    QTest::newRow("384 kHz") << riff(format(1, 2, 384000, 16) + data)
                             << "sample rate out of range: 384000 Hz (44100 to 192000 Hz)";
    QByteArray align = format(1, 2, 48000, 16);
    align[8 + 12] = 3;
    QTest::newRow("block align against the format")
        << riff(align + data) << "bad header: a frame of 3 bytes for 2 channels of 16 bits";
    QTest::newRow("empty data") << riff(format(1, 2, 48000, 16) + chunk("data", {}))
                                << "no samples: the data chunk is empty";
    QTest::newRow("less than one frame") << riff(format(1, 2, 48000, 24) + chunk("data", "abc"))
                                         << "no samples: the data chunk is empty";
    QTest::newRow("truncated data")
        << riff(format(1, 2, 48000, 16) + chunk("data", samples16({1, 2}), 4000))
        << "truncated: the data chunk holds 4000 bytes, the file 4";
    QTest::newRow("data size 0xFFFFFFFF")
        << riff(format(1, 2, 48000, 16) + chunk("data", samples16({1, 2}), 0xFFFFFFFF))
        << "truncated: the data chunk holds 4294967295 bytes, the file 4";
    QTest::newRow("truncated format") << riff(format(1, 2, 48000, 16).left(20))
                                      << "truncated: the format chunk ends after the file";
    QTest::newRow("a chunk of 0xFFFFFFFF before the format")
        << riff(chunk("LIST", "ab", 0xFFFFFFFF) + format(1, 2, 48000, 16) + data)
        << "truncated: the chunk \"LIST\" ends after the file";
    QTest::newRow("NaN in float samples")
        << riff(format(3, 1, 48000, 32) + chunk("data", samplesFloat({0.5f, std::nanf("")})))
        << "bad samples: not a number or infinite at frame 1";
    QTest::newRow("more frames than analysed")
        << riff(format(1, 2, 48000, 16) + chunk("data", QByteArray(int(WavFile::maximumSamples) * 2 + 4, '\0')))
        << QStringLiteral("too long: %1 frames (at most 33554432 samples are analysed)")
               .arg(WavFile::maximumSamples / 2 + 1);
}

void TestWavFile::refuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    WavFile file;
    const Error refusal = parse(file, bytes);
    QCOMPARE(refusal.kind, Error::Kind::File);
    QCOMPARE(QString::fromStdString(refusal.cause), error);
    QVERIFY(file.channels.empty());
}

// Through the file system, a path with letters outside ASCII.
void TestWavFile::fromFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mesure-Ø-ü.wav"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(riff(format(1, 1, 48000, 16) + chunk("data", samples16({16384, -16384}))));
    out.close();

    WavFile file;
    Error error = file.read(path.toStdString());
    QVERIFY2(!error, error.cause.c_str());
    QCOMPARE(flatten(file), (QList<double>{0.5, -0.5}));

    const std::string missing = dir.filePath("missing.wav").toStdString();
    error = file.read(missing);
    QCOMPARE(error.kind, Error::Kind::File);
    QCOMPARE(error.cause, "cannot open " + missing);
}

// A 24-bit stereo recording, analysed as `measure --input-file` does it.
void TestWavFile::analysedFromFile()
{
    Synthetic::Tone tone;
    tone.rateHz = 96000;
    tone.levelDbfs = -6;
    tone.ppm = 60;
    tone.harmonics = {{2, {-100, 120}}, {3, {-110, -30}}};
    tone.quantiseBits = 24;
    const std::vector<double> left = Synthetic::synthesize(tone);
    QByteArray frames;
    for (double x : left) {
        const int value = int(std::lround(x * 8388608.0));
        frames += samples24({value, -value});
    }
    WavFile file;
    const Error error = parse(file, riff(format(1, 2, 96000, 24) + chunk("data", frames)));
    QVERIFY2(!error, error.cause.c_str());
    const CaptureAnalysis capture = analyseCapture(file.channels, file.rateHz);
    QVERIFY(capture.ok());
    QCOMPARE(capture.channels.size(), std::size_t(2));
    for (const ChannelAnalysis& channel : capture.channels) {
        QVERIFY(std::abs(channel.levelDbfs + 6) < 0.05);
        QVERIFY(std::abs(channel.harmonicDbc(2) + 100) < 0.3);
        QVERIFY(std::abs(channel.harmonicDbc(3) + 110) < 0.3);
    }
    // The right channel is the left inverted: referred to its own
    // fundamental, an odd harmonic keeps its phase and an even one turns by
    // 180° (−(x + c·x²) = −x − c·x²).
    QVERIFY(std::abs(capture.channels[0].harmonicPhaseDeg(2) - 120) < 2);
    QVERIFY(std::abs(capture.channels[0].harmonicPhaseDeg(3) + 30) < 2);
    QVERIFY(std::abs(capture.channels[1].harmonicPhaseDeg(2) + 60) < 2);
    QVERIFY(std::abs(capture.channels[1].harmonicPhaseDeg(3) + 30) < 2);
}

QTEST_APPLESS_MAIN(TestWavFile)
#include "tst_wavfile.moc"
