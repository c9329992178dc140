// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// tune-thd and thd-map run as a process on the simulated DAC and analog
// path: the values left on the DAC against the model's optimum, the map of
// pairs to outputs at each volume, and what goes back on the DAC, and is
// said, whatever ends a run.

#include "tuning/thdsolver.h"
#include "settings/settingsblock.h"
#include "simctl.h"
#include "testbytes.h"
#include "virtualdac.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <complex>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

using namespace TestBytes;

const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
// The factory block with both channels at 0 dB (attenuation 0 between max 0
// and min 255).
const QByteArray fullVolume = patched(factory, 4, "00 00");

// The simulated path's model: the optimum of a value is -h·cos(rot)/k.
struct Model {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k2 = 1e-7, k3 = 1e-7;
    double rot[2] = {0, 0}; // degrees, 2nd and 3rd
    bool swapped = false;

    // The output a pair drives in the straight and swapped maps.
    int outputOf(int pair) const { return (pair == 0) != swapped ? 0 : 1; }
    double optimum(int pair, int which) const
    {
        const int output = outputOf(pair);
        const double h = which == 0 ? h2[output] : h3[output];
        return -h * std::cos(rot[which] * M_PI / 180) / (which == 0 ? k2 : k3);
    }
    // What the value leaves of its harmonic, dBc, at a peak level at the
    // DAC's output: a2·A/2 for H2, a3·A²/4 for H3.
    double leftDbc(int pair, int which, int value, double levelDbfs) const
    {
        const int output = outputOf(pair);
        const std::complex<double> a =
            (which == 0 ? h2[output] : h3[output])
            + std::polar((which == 0 ? k2 : k3) * value, rot[which] * M_PI / 180);
        const double amplitude = std::pow(10.0, levelDbfs / 20);
        return 20
               * std::log10(std::abs(a) * (which == 0 ? amplitude / 2 : amplitude * amplitude / 4));
    }
};

QJsonObject channelOf(const QJsonObject& document, int channel)
{
    return document["channels"].toArray().at(channel).toObject();
}

double harmonicDbc(const QJsonObject& document, int channel, int order)
{
    return channelOf(document, channel)["harmonics"]
        .toArray()
        .at(order - 2)
        .toObject()["dbc"]
        .toDouble();
}

ThdValues valuesOn(const QByteArray& block)
{
    const SettingsBlock settings =
        SettingsBlock::fromDeviceBytes(reinterpret_cast<const uint8_t*>(block.constData()));
    ThdValues values;
    const int16_t* pairs[] = {settings.thd_range0, settings.thd_range1, settings.thd_range2};
    for (int pair = 0; pair < 3; ++pair)
        values.pairs[size_t(pair)] = {pairs[pair][0], pairs[pair][1]};
    return values;
}

// The last line of a console text.
QString lastLine(const QString& text)
{
    return text.trimmed().section('\n', -1);
}

} // namespace

class TestTuningRuns : public QObject {
    Q_OBJECT

private slots:
    void tune_data();
    void tune();
    void failures_data();
    void failures();
    void stops_data();
    void stops();
    void map_data();
    void map();
};

// tune-thd reaches the model's optimum within 1 % or 2 units, leaves the
// pair that drives nothing as it was, puts the volume it tuned at back, and
// undo brings the block from before back.
void TestTuningRuns::tune_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QVector<double>>("model"); // h2l, h3l, h2r, h3r, rot2, rot3, swapped
    QTest::addColumn<double>("volumeDb");       // the DAC's volume the tuning runs at

    const QVector<double> defaults{2e-5, 1.5e-5, -1.2e-5, 2.5e-5, 0, 0, 0};
    QTest::newRow("straight") << QString() << QStringList() << fullVolume << defaults << 0.0;
    QTest::newRow("swapped, other coefficients, 50 ppm")
        << QString("map=swapped,h2l=-3e-5,h3l=1e-5,h2r=2.2e-5,h3r=-1.8e-5,ppm=50") << QStringList()
        << fullVolume << QVector<double>{-3e-5, 1e-5, 2.2e-5, -1.8e-5, 0, 0, 1} << 0.0;
    // What the values add reaches the output turned against the analog
    // distortion: only conj(g) in the solve finds the null there.
    QTest::newRow("rotated by the analog stages")
        << QString("rot2=35,rot3=-50") << QStringList() << fullVolume
        << QVector<double>{2e-5, 1.5e-5, -1.2e-5, 2.5e-5, 35, -50, 0} << 0.0;
    // A real desk: the interface's gain, its noise and hum, a wandering
    // clock; tuned at full volume from the factory block's -12.5 dB, then
    // at -12.5 dB, where one unit of a value moves its harmonic by less
    // than -160 dBc and what the values leave is what counts.
    const QString desk = "gain=-9,noise=-120,hum=-105,wander=2";
    QTest::newRow("a real desk, --volume 0")
        << desk << QStringList{"--volume", "0"} << factory << defaults << 0.0;
    QTest::newRow("a real desk, the factory volume")
        << desk << QStringList() << factory << defaults << -12.5;
    // An interface 6 to 12 dB louder than the DAC: tuned on the sum, the
    // values would push the interface's distortion into the DAC.
    QTest::newRow("an interface louder than the DAC, --separate")
        << QString("adcgain=0,-6,adc2=4e-5,adc3=2e-4") << QStringList{"--separate"} << fullVolume
        << defaults << 0.0;
}

void TestTuningRuns::tune()
{
    QFETCH(QString, analog);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, block);
    QFETCH(QVector<double>, model);
    QFETCH(double, volumeDb);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(block));
    const SimCtl::Run run =
        ctl.run(QStringList{"tune-thd", "--json"} + arguments, {"SONVALE_SIM_ANALOG=" + analog});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8()).object();
    QCOMPARE(document["outcome"].toString(), QString("improved"));
    // The whole block read first (the history); then only the volume and
    // the THD windows written, as the window writes them.
    for (int i = 0; i < 12; ++i)
        QCOMPARE(run.requests[i], QString::asprintf("04 %02X 04 00 00 00 00", i * 4));
    for (const QString& request : run.requests.mid(12)) {
        static const QRegularExpression allowed(
            "^(03 (0A|0E|12) 04|04 (04|08|0C|10|14) 04|06 00 02 )");
        QVERIFY2(allowed.match(request).hasMatch(), qPrintable(request));
    }

    Model m;
    m.h2[0] = model[0], m.h3[0] = model[1], m.h2[1] = model[2], m.h3[1] = model[3];
    m.rot[0] = model[4], m.rot[1] = model[5], m.swapped = model[6] != 0;
    const ThdValues held = valuesOn(ctl.block());
    for (int pair = 0; pair < 2; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const double optimum = m.optimum(pair, which);
            const int value = held.pairs[size_t(pair)][size_t(which)];
            const QString found = QString("thd_range%1[%2]=%3, optimum %4, leaving %5 dBc")
                                      .arg(pair)
                                      .arg(which)
                                      .arg(value)
                                      .arg(optimum)
                                      .arg(m.leftDbc(pair, which, value, -3 + volumeDb));
            if (volumeDb == 0)
                QVERIFY2(std::abs(value - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                         qPrintable(found));
            // Below -150 dBc, or within half a decibel of the floor, which
            // a rotation leaves.
            const double floor = m.leftDbc(pair, which, int(std::lround(optimum)), -3 + volumeDb);
            QVERIFY2(m.leftDbc(pair, which, value, -3 + volumeDb) < std::max(-150.0, floor + 0.5),
                     qPrintable(found));
        }
    }
    QCOMPARE(held.pairs[2], (std::array<int16_t, 2>{-4, 25}));
    QCOMPARE(document["map"].toObject()["thd_range2"].toArray(), QJsonArray());
    // The volume the block held is back; the one tuned at is reported.
    QCOMPARE(ctl.block().mid(4, 2), block.mid(4, 2));
    if (!arguments.isEmpty())
        QCOMPARE(document["volume_db"].toDouble(), arguments.last().toDouble());
    QVERIFY(document["audio_seconds"].toDouble() >= document["captures"].toInt());
    // Without a rotation H2 and H3 fall far; with one, to the floor.
    for (int output = 0; output < 2 && model[4] == 0; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const double before = harmonicDbc(document["before"].toObject(), output, order);
            const double after = harmonicDbc(document["after"].toObject(), output, order);
            QVERIFY2(after < std::min(before - 10, -130.0),
                     qPrintable(QString("H%1 %2 -> %3").arg(order).arg(before).arg(after)));
        }
    }

    const SimCtl::Run undo = ctl.run({"undo"});
    QCOMPARE(undo.err, QString());
    QCOMPARE(ctl.block(), block);
}

// What tune-thd puts back, and says, when it cannot finish.
void TestTuningRuns::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");    // the last line
    QTest::addColumn<bool>("blockBack"); // the DAC holds the block it started with

    const QString lost =
        "sonvalectl: the DAC was disconnected; the values held before could not be written back "
        "(the DAC was disconnected): ";
    QTest::newRow("the DAC unplugged while probing")
        << QStringList{} << QStringList{"SONVALE_SIM_UNPLUG_AFTER=15"} << 3
        << lost
               + "'sonvalectl undo' puts the block kept in the history back once the DAC answers again"
        << false;
    QTest::newRow("the DAC unplugged, no history")
        << QStringList{"--no-history"} << QStringList{"SONVALE_SIM_UNPLUG_AFTER=15"} << 3
        << lost + "they are lost, as --no-history kept no copy of them" << false;
    QTest::newRow("nothing reaches the input")
        << QStringList{} << QStringList{"SONVALE_SIM_ANALOG=input=silent"} << 3
        << "sonvalectl: the capture at the start values: no signal; the DAC's values were left as they were"
        << true;
    QTest::newRow("a dropout in every capture")
        << QStringList{} << QStringList{"SONVALE_SIM_ANALOG=dropout=0.5"} << 3
        << "sonvalectl: the capture at the start values: dropout; the DAC's values were left as they were"
        << true;
    // The stream says it lost samples, though they look whole.
    QTest::newRow("the input overflows once")
        << QStringList{} << QStringList{"SONVALE_SIM_ANALOG=xrun=0.4"} << 3
        << "sonvalectl: the capture at the start values: dropout; the DAC's values were left as they were"
        << true;
    QTest::newRow("a knob turned after the first capture")
        << QStringList{} << QStringList{"SONVALE_SIM_ANALOG=adcgain=0,-2.1"} << 3
        << "sonvalectl: the level at the input changed by 2.1 dB since the first capture: was a knob or cable "
           "moved?; the values held before were written back"
        << true;
    QTest::newRow("--separate, the knob hardly turned")
        << QStringList{"--separate"} << QStringList{"SONVALE_SIM_ANALOG=adcgain=0,-1,adc2=4e-5"}
        << 1
        << "sonvalectl: the level at the input changed by 1.0 dB on the left channel: the interface's share needs "
           "a change of 3 dB or more to be told from the DAC's; the DAC's values were left as they were"
        << true;
    QTest::newRow("the interface's own distortion dominates")
        << QStringList{} << QStringList{"SONVALE_SIM_ANALOG=adc2=5e-3"} << 1
        << "sonvalectl: nothing could be improved: the values that would null it lie beyond their range: the "
           "distortion measured is most likely not the DAC's (the audio interface's own, or an overloaded input); "
           "the values held before were written back"
        << true;
}

void TestTuningRuns::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QFETCH(bool, blockBack);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    const QStringList global = arguments.filter(QRegularExpression("^--(no-history|device)"));
    QStringList own = arguments;
    for (const QString& option : global)
        own.removeOne(option);
    const SimCtl::Run run = ctl.run(global + QStringList{"tune-thd"} + own, environment);
    QCOMPARE(lastLine(run.err), err);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(ctl.block() == factory, blockBack);
    if (exitCode == 1)
        QVERIFY(run.out.contains("values written: none\n"));
    // Whatever happened, the block from before is in the history once
    // something could have changed.
    const SimCtl::Run undo = ctl.run({"undo"});
    QCOMPARE(undo.exitCode, arguments.contains("--no-history") ? 1 : 0);
    if (!arguments.contains("--no-history"))
        QCOMPARE(ctl.block(), factory);
}

// Whatever stops a tuning from outside mid-capture, the values and the
// volume held before go back, and the last line says why it stopped.
void TestTuningRuns::stops_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("err");

#ifdef Q_OS_UNIX
    const QString back = "; the values held before were written back";
    QTest::newRow("Ctrl-C") << int(SIGINT) << QStringList()
                            << "sonvalectl: interrupted (Ctrl-C)" + back;
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringList()
                             << "sonvalectl: terminated (SIGTERM)" + back;
    QTest::newRow("a closed terminal")
        << int(SIGHUP) << QStringList() << "sonvalectl: the terminal was closed (SIGHUP)" + back;
    QTest::newRow("SIGTERM, tuning at 0 dB")
        << int(SIGTERM) << QStringList{"--volume", "0"}
        << "sonvalectl: terminated (SIGTERM)" + back + ", the volume too";
#endif
}

void TestTuningRuns::stops()
{
#ifndef Q_OS_UNIX
    QSKIP("sends signals to the process");
#else
    QFETCH(int, signal);
    QFETCH(QStringList, arguments);
    QFETCH(QString, err);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    // Captures at the pace of a real interface, long enough to be stopped
    // in the middle of the first probe.
    ChildProcess& process = ctl.start(QStringList{"tune-thd", "--seconds", "20"} + arguments,
                                      {"SONVALE_SIM_ANALOG=pace=realtime"});
    QVERIFY(ctl.waitForRequest("03 0A 04"));
    QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
    const SimCtl::Run run = ctl.finish();
    QCOMPARE(lastLine(run.err), err);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(ctl.block(), factory);
#endif
}

// Which pair moves which output at each volume, whether the pairs follow
// the volume or not; the volume and the values go back afterwards.
void TestTuningRuns::map_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QString>("json"); // compact, the members sorted

    QTest::newRow("straight")
        << QString("noise=-140")
        << QString(R"([{"left":"thd_range0","right":"thd_range1","volume_db":0},)"
                   R"({"left":"thd_range0","right":"thd_range1","volume_db":-15},)"
                   R"({"left":"thd_range0","right":"thd_range1","volume_db":-35}])");
    QTest::newRow("swapped")
        << QString("noise=-140,map=swapped")
        << QString(R"([{"left":"thd_range1","right":"thd_range0","volume_db":0},)"
                   R"({"left":"thd_range1","right":"thd_range0","volume_db":-15},)"
                   R"({"left":"thd_range1","right":"thd_range0","volume_db":-35}])");
    // Every pair acts on both outputs, each at the volumes of its range.
    QTest::newRow("the pairs follow the volume")
        << QString("noise=-140,map=volume")
        << QString(R"([{"left":"thd_range2","right":"thd_range2","volume_db":0},)"
                   R"({"left":"thd_range1","right":"thd_range1","volume_db":-15},)"
                   R"({"left":"thd_range0","right":"thd_range0","volume_db":-35}])");
}

void TestTuningRuns::map()
{
    QFETCH(QString, analog);
    QFETCH(QString, json);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    const SimCtl::Run run = ctl.run({"thd-map", "--json"}, {"SONVALE_SIM_ANALOG=" + analog});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QJsonArray volumes =
        QJsonDocument::fromJson(run.out.toUtf8()).object()["volumes"].toArray();
    QCOMPARE(QString::fromUtf8(QJsonDocument(volumes).toJson(QJsonDocument::Compact)), json);
    QCOMPARE(ctl.block(), factory);
    // Kept in the history first, as set keeps it.
    QCOMPARE(ctl.run({"history"}).out.count('\n'), 1);
}

QTEST_GUILESS_MAIN(TestTuningRuns)
#include "tst_tuningruns.moc"
