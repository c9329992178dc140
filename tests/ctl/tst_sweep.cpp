// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sweep run as a process on the simulated DAC and analog path: the volumes
// it steps through, the figures at each against the path's model, the pair
// a thd-map file names there, and the volume put back whatever ends it.

#include "simctl.h"
#include "testbytes.h"
#include "virtualdac.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

using namespace TestBytes;

const QByteArray factory = bytesOf(VirtualDac::factoryBlock());

// What thd-map --json prints for the sim's map=volume at its default volumes.
const QString volumeMap = R"({"volumes": [
    {"volume_db": 0, "left": "thd_range2", "right": "thd_range2"},
    {"volume_db": -15, "left": "thd_range1", "right": "thd_range1"},
    {"volume_db": -35, "left": "thd_range0", "right": "thd_range0"}]})";

// The sim's model with both rotations 0: a2 = h2 + k2·c2, a3 = h3 + k3·c3,
// c2, c3 the values of the pair driving the output; at the DAC's peak
// amplitude A, H2 is a2·A/2 and H3 a3·A²/4 against the fundamental.
double modelDbc(int order, double a, double levelDbfs)
{
    const double amplitude = std::pow(10.0, levelDbfs / 20);
    return 20 * std::log10(std::abs(a) * (order == 2 ? amplitude / 2 : amplitude * amplitude / 4));
}

// The pair the sim's map=volume drives at `volumeDb` on the factory block
// (t0 = 0x3c, t1 = 0), on both outputs.
int simPair(double volumeDb)
{
    return volumeDb <= -30 ? 0 : volumeDb >= 0 ? 2 : 1;
}

// The factory block's THD pairs, thd_range0 to 2: the 2nd and 3rd value.
const double factoryValues[3][2] = {{-300, 260}, {45, -120}, {-4, 25}};

QString lastLine(const QString& text)
{
    return text.trimmed().section('\n', -1);
}

} // namespace

class TestSweep : public QObject {
    Q_OBJECT

private slots:
    void volumes_data();
    void volumes();
    void figures();
    void putBack_data();
    void putBack();
};

// The volumes swept, or the refusal before the DAC hears anything.
void TestSweep::volumes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("map"); // written to map.json when not empty
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err"); // exact, when refused
    QTest::addColumn<QStringList>("volumes");
    QTest::addColumn<QString>("head"); // of the CSV

    const QString usage = " (sonvalectl --help shows the usage)";
    const QString three = "sonvalectl: --volumes takes FROM:TO:STEP, three numbers in dB such as "
                          "-40:0:2.5, not '%1'"
                          + usage;
    QStringList byDefault;
    for (int i = 0; i <= 16; ++i)
        byDefault << QString::number(-40 + 2.5 * i, 'f', 2);
    const QString head = "volume_db,channel,level_dbfs,path_gain_db,h2_dbc,h3_dbc,thd_db,thdn_db";
    QTest::newRow("the default") << QStringList() << "" << 0 << "" << byDefault << head;
    // Downwards, and TO kept where the step does not land on it.
    QTest::newRow("down to an end off the step")
        << QStringList{"--volumes=-1:-6:2"} << "" << 0 << ""
        << QStringList{"-1.00", "-3.00", "-5.00", "-6.00"} << head;
    QTest::newRow("with a map") << QStringList{"--volumes", "0:0:1", "--map", "map.json"}
                                << volumeMap << 0 << "" << QStringList{"0.00"} << head + ",pair";
    QTest::newRow("two numbers") << QStringList{"--volumes", "-40:0"} << "" << 2
                                 << three.arg("-40:0") << QStringList() << QString();
    QTest::newRow("a step of 0")
        << QStringList{"--volumes", "-40:0:0"} << "" << 2
        << "sonvalectl: --volumes: the STEP must be above 0 dB (FROM above TO steps down), not 0"
               + usage
        << QStringList() << QString();
    QTest::newRow("below the DAC's range")
        << QStringList{"--volumes", "-128:0:8"} << "" << 2
        << "sonvalectl: --volumes: -128 dB lies outside the DAC's volumes, -127.5 dB to 0 dB"
               + usage
        << QStringList() << QString();
    QTest::newRow("201 volumes")
        << QStringList{"--volumes", "0:-100:0.5"} << "" << 2
        << "sonvalectl: --volumes: 0:-100:0.5 makes more than 200 volumes to measure at; take a "
           "larger STEP"
               + usage
        << QStringList() << QString();
    QTest::newRow("--json with --csv")
        << QStringList{"--json"} << "" << 2
        << "sonvalectl: --json and --csv print the sweep in two ways: give one of them" + usage
        << QStringList() << QString();
    QTest::newRow("a map file that is no JSON")
        << QStringList{"--map", "map.json"} << R"({"volumes": [)" << 3
        << "sonvalectl: map.json: is no JSON: unterminated array at byte 13" << QStringList()
        << QString();
    QTest::newRow("a map naming no pair")
        << QStringList{"--map", "map.json"} << R"({"volumes": [{"volume_db": 0, "left": 2}]})" << 3
        << "sonvalectl: map.json: its volume 1 names no THD pair for \"left\"" << QStringList()
        << QString();
#ifdef Q_OS_UNIX // the system's own words for a missing file
    QTest::newRow("no map file")
        << QStringList{"--map", "none.json"} << "" << 3
        << "sonvalectl: none.json: cannot be read: No such file or directory" << QStringList()
        << QString();
#endif
}

void TestSweep::volumes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, map);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QFETCH(QStringList, volumes);
    QFETCH(QString, head);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    if (!map.isEmpty()) {
        QFile file(ctl.path("map.json"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(map.toUtf8()) == map.size());
    }
    const SimCtl::Run run = ctl.run(QStringList{"sweep", "--csv"} + arguments);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode != 0) {
        QCOMPARE(run.err, err + "\n");
        QCOMPARE(run.requests, QStringList());
        QCOMPARE(run.out, QString());
        return;
    }
    const QStringList rows = run.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows[0], head);
    QStringList swept;
    for (const QString& row : rows.mid(1)) {
        QCOMPARE(row.count(','), head.count(','));
        if (!swept.contains(row.section(',', 0, 0)))
            swept << row.section(',', 0, 0);
    }
    QCOMPARE(swept, volumes);
    QCOMPARE(ctl.block(), factory);
}

// At each volume, H2 and H3 as the path's model gives them for the
// amplitude the DAC plays at, the level and path gain the analog gain
// gives, and with --map the pair that file names at or below the volume.
void TestSweep::figures()
{
    const double gainDb = -6;
    const QString analog = "noise=-160,h2l=1e-4,h2r=-1e-4,h3l=1e-2,h3r=-2e-2,k2=1e-6,k3=1e-6,"
                           "map=volume,gain=-6";
    // -45 dB lies below every volume of the map: no pair there.
    const QStringList pairs{"", "thd_range0", "thd_range1", "thd_range2"};

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    {
        QFile file(ctl.path("map.json"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(volumeMap.toUtf8()) > 0);
    }
    const SimCtl::Run run =
        ctl.run({"sweep", "--json", "--volumes", "-45:0:15", "--map", ctl.path("map.json")},
                {"SONVALE_SIM_ANALOG=" + analog});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QJsonArray points = QJsonDocument::fromJson(run.out.toUtf8())["points"].toArray();
    QCOMPARE(points.size(), 4);
    const double h[2][2] = {{1e-4, 1e-2}, {-1e-4, -2e-2}}; // [output][H2, H3]
    for (int p = 0; p < 4; ++p) {
        const QJsonObject point = points[p].toObject();
        const double volume = -45 + 15 * p;
        QCOMPARE(point["volume_db"].toDouble(), volume);
        for (int output = 0; output < 2; ++output) {
            const QJsonObject channel = point["channels"][output].toObject();
            const QString where = QString("%1 dB, output %2: ").arg(volume).arg(output);
            QVERIFY2(std::abs(channel["level_dbfs"].toDouble() - (-3 + volume + gainDb)) < 0.1,
                     qPrintable(where + QString::number(channel["level_dbfs"].toDouble())));
            QVERIFY(std::abs(channel["path_gain_db"].toDouble() - gainDb) < 0.1);
            const int pair = simPair(volume);
            for (int order = 2; order <= 3; ++order) {
                const double a = h[output][order - 2] + 1e-6 * factoryValues[pair][order - 2];
                const double expected = modelDbc(order, a, -3 + volume);
                const double measured = channel["harmonics"][order - 2]["dbc"].toDouble();
                // Further down the rounding of the path's 32-bit float
                // samples shows.
                if (expected < -130)
                    continue;
                const QString said = QString("H%1 %2 dBc, the model %3").arg(order).arg(measured);
                QVERIFY2(std::abs(measured - expected) < 0.5,
                         qPrintable(where + said.arg(expected)));
            }
            // measure --json's channel, and the pair with --map.
            const QStringList keys{
                "channel", "expected_level_dbfs", "frequency", "harmonics", "level_dbfs",
                "pair",    "path_gain_db",        "problems",  "thd_db",    "thd_percent",
                "thdn_db"};
            QCOMPARE(channel.keys(), keys);
            QCOMPARE(channel["pair"].toString(), pairs[p]);
        }
    }
}

// Whatever ends a sweep, the volume held before is back (or the last line
// says how to get it back), read from the DAC's block.
void TestSweep::putBack_data()
{
    QTest::addColumn<int>("signal"); // 0: none, sent
    QTest::addColumn<QString>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err"); // the last line
    QTest::addColumn<QStringList>("volumeRequests");

    const QString back = "; the DAC's volume was put back";
    const QStringList all{"06 00 02 50 50 00 00", "06 00 02 28 28 00 00", "06 00 02 00 00 00 00",
                          "06 00 02 19 19 00 00"};
    QTest::newRow("done") << 0 << "" << 0 << "" << all;
    QTest::newRow("no signal at any volume")
        << 0 << "SONVALE_SIM_ANALOG=input=silent" << 1
        << "sonvalectl: a capture does not tell the DAC's distortion: at -40.0 dB no signal; at "
           "-20.0 dB no signal; at 0.0 dB no signal"
        << all;
    QTest::newRow("the DAC unplugged")
        << 0 << "SONVALE_SIM_UNPLUG_AFTER=14" << 3
        << "sonvalectl: the DAC was disconnected; the DAC's volume held before could not be put "
           "back (the DAC was disconnected): 'sonvalectl undo' puts the block kept in the history "
           "back once the DAC answers again"
        << all.mid(0, 2);
#ifdef Q_OS_UNIX
    const QStringList stopped{all[0], all[3]};
    QTest::newRow("Ctrl-C") << int(SIGINT) << "SONVALE_SIM_ANALOG=pace=realtime" << 1
                            << "sonvalectl: interrupted (Ctrl-C)" + back << stopped;
    QTest::newRow("SIGTERM") << int(SIGTERM) << "SONVALE_SIM_ANALOG=pace=realtime" << 1
                             << "sonvalectl: terminated (SIGTERM)" + back << stopped;
#endif
}

void TestSweep::putBack()
{
    QFETCH(int, signal);
    QFETCH(QString, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QFETCH(QStringList, volumeRequests);

    SimCtl ctl(SONVALECTL_SIM);
    QVERIFY(ctl.setBlock(factory));
    const QStringList arguments{"sweep", "--volumes", "-40:0:20", "--seconds", signal ? "20" : "1"};
    SimCtl::Run run;
    if (signal) {
#ifdef Q_OS_UNIX
        ChildProcess& process = ctl.start(arguments, {environment});
        QVERIFY(ctl.waitForRequest("06 00 02"));
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        run = ctl.finish();
#endif
    } else {
        run = ctl.run(arguments, environment.isEmpty() ? QStringList() : QStringList{environment});
    }
    QCOMPARE(lastLine(run.err), err);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.requests.filter(QRegularExpression("^06 ")), volumeRequests);
    QVERIFY(
        run.out.contains("\nvolume    channel level         path gain  H2           H3           "
                         "THD         THD+N\n"));
    // Back as it was, or left at the volume reached, which undo puts back.
    if (exitCode != 3) {
        QCOMPARE(ctl.block(), factory);
        QCOMPARE(run.out.endsWith("the DAC's volume is back as it was\n"), true);
    } else {
        QCOMPARE(ctl.block(), patched(factory, 4, "28 28"));
        QCOMPARE(ctl.run({"undo"}).exitCode, 0);
        QCOMPARE(ctl.block(), factory);
    }
}

QTEST_GUILESS_MAIN(TestSweep)
#include "tst_sweep.moc"
