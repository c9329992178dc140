// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// check-interface run as a process on the simulated interface, its outputs
// wired to its inputs (sim/audiosim.h): the figures against the model's and
// the profile it keeps; and that profile beside the DAC's figures in
// measure, with its warnings.

#include "simctl.h"
#include "testbytes.h"
#include "virtualdac.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

namespace {

using TestBytes::readFile;
using TestBytes::writeFile;

const QString kInterface = "Sonvale loopback interface";

QJsonObject harmonicOf(const QJsonObject& document, int channel, int order)
{
    return document["channels"]
        .toArray()
        .at(channel)["harmonics"]
        .toArray()
        .at(order - 2)
        .toObject();
}

// A profile file holding one profile of the simulated interface at 48 kHz:
// the fundamental arrived at `arrived` on both inputs, with these H2, H3.
QByteArray profileFile(double arrived, const double (&h2)[2], const double (&h3)[2])
{
    QJsonArray channels;
    for (int c = 0; c < 2; ++c) {
        const QJsonArray harmonics{QJsonObject{{"order", 2}, {"dbc", h2[c]}, {"phase_deg", 0}},
                                   QJsonObject{{"order", 3}, {"dbc", h3[c]}, {"phase_deg", 180}}};
        channels.append(QJsonObject{{"input", c + 1},
                                    {"level_dbfs", arrived},
                                    {"thd_db", -100},
                                    {"thdn_db", -100},
                                    {"noise_dbc", -150},
                                    {"harmonics", harmonics}});
    }
    const QJsonObject profile{{"input", kInterface},
                              {"rate", 48000},
                              {"level_dbfs", arrived},
                              {"measured", "2026-12-08T21:00:00Z"},
                              {"channels", channels}};
    return QJsonDocument(QJsonObject{{"format", "sonvale interface profiles"},
                                     {"version", 1},
                                     {"profiles", QJsonArray{profile}}})
        .toJson();
}

} // namespace

class TestInterfaceCommand : public QObject {
    Q_OBJECT

private slots:
    void init();
    void checkInterface_data();
    void checkInterface();
    void profileKept_data();
    void profileKept();
    void floorInMeasure_data();
    void floorInMeasure();
    void tuneAtTheFloor();

private:
    QScopedPointer<SimCtl> ctl;
    QString config; // XDG_CONFIG_HOME, as SimCtl sets it
    QString file;   // the profiles
};

void TestInterfaceCommand::init()
{
#ifdef Q_OS_WIN
    QSKIP("the configuration folder is the user's %LOCALAPPDATA%, which no variable moves");
#endif
    ctl.reset(new SimCtl(SONVALECTL_SIM));
    config = ctl->path("config");
    file = config + "/sonvale/interface-profiles.json";
}

// The interface's own H2 and H3 as the model makes them: y = x + i2·x² +
// i3·x³ at its output, j = g·y, z = j + a2·j² + a3·j³ at its input; for a
// peak A, against the fundamental, H2 = (i2 + a2·g)·A/2 and H3 = (i3 +
// a3·g² + 2·i2·a2·g)·A²/4, in phase (0°) or opposed (180°).
void TestInterfaceCommand::checkInterface_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<double>("h2");
    QTest::addColumn<double>("h3");

    const double a3 = std::pow(10.0, -3.0 / 20); // -3 dBFS
    QTest::newRow("its output and its input, -3 dBFS")
        << QByteArray("iface2=1e-5,iface3=-2e-6,adc2=3e-6,noise=-140") << QStringList{}
        << (1e-5 + 3e-6) * a3 / 2 << (-2e-6 + 2 * 1e-5 * 3e-6) * a3 * a3 / 4;
    // The input's gain moves what its own distortion sees; the DAC's cable
    // (gain) and the DAC's distortion play no part; --output names it.
    const double a10 = std::pow(10.0, -10.0 / 20), g = std::pow(10.0, 6.0 / 20);
    QTest::newRow("its input's gain, -10 dBFS, named")
        << QByteArray("iface2=2e-5,adc3=1e-5,adcgain=6,gain=-30,h2l=1e-3,h2r=1e-3")
        << QStringList{"--level", "-10", "--output", "loopback"} << 2e-5 * a10 / 2
        << 1e-5 * g * g * a10 * a10 / 4;
}

void TestInterfaceCommand::checkInterface()
{
    QFETCH(QByteArray, analog);
    QFETCH(QStringList, arguments);
    QFETCH(double, h2);
    QFETCH(double, h3);

    const SimCtl::Run run = ctl->run(QStringList{"check-interface", "--json"} + arguments,
                                     {"SONVALE_SIM_ANALOG=" + analog});
    QCOMPARE(run.err, "sonvalectl: the interface's output must be connected to its own input: what "
                      "it plays is recorded as the interface's own distortion\n");
    QCOMPARE(run.exitCode, 0);
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8()).object();
    QCOMPARE(document["output"].toString(), "1 \"" + kInterface + "\"");
    QCOMPARE(document["profile"].toString(), file);
    const QJsonObject kept = QJsonDocument::fromJson(readFile(file)).object();
    const QJsonObject profile = kept["profiles"].toArray().at(0).toObject();
    QCOMPARE(profile["input"].toString(), kInterface);
    QCOMPARE(profile["rate"].toInt(), 48000);
    QCOMPARE(profile["level_dbfs"].toDouble(), arguments.isEmpty() ? -3.0 : -10.0);
    for (int c = 0; c < 2; ++c) {
        const double expected[2] = {20 * std::log10(std::abs(h2)), 20 * std::log10(std::abs(h3))};
        const double phases[2] = {h2 > 0 ? 0.0 : 180.0, h3 > 0 ? 0.0 : 180.0};
        for (int order = 2; order <= 3; ++order) {
            const QJsonObject measured = harmonicOf(document, c, order);
            const double dbc = measured["dbc"].toDouble();
            QVERIFY2(std::abs(dbc - expected[order - 2]) < 0.1,
                     qPrintable(QString("H%1: %2 dBc, expected %3")
                                    .arg(order)
                                    .arg(dbc)
                                    .arg(expected[order - 2])));
            const double phase =
                std::remainder(measured["phase_deg"].toDouble() - phases[order - 2], 360.0);
            QVERIFY2(std::abs(phase) < 1,
                     qPrintable(QString("H%1 phase off by %2").arg(order).arg(phase)));
            const QJsonObject held =
                profile["channels"].toArray().at(c)["harmonics"].toArray().at(order - 2).toObject();
            QCOMPARE(held["dbc"].toDouble(), dbc);
        }
    }
}

// What becomes of the file that holds the profiles: check-interface says
// where it keeps them, replaces a file that is none (named first) and
// leaves the file as it was when it cannot write the new one (exit 3);
// measure never writes it.
void TestInterfaceCommand::profileKept_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("blocked"); // a file where the folder would be
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");

    const QByteArray damaged = "{\"format\": \"sonvale interface profiles\", \"version\": 9}";
    QTest::newRow("kept") << "check-interface" << QByteArray() << false << 0 << "profile: %1";
    QTest::newRow("a damaged file replaced")
        << "check-interface" << damaged << false << 0 << "profile: %1";
    QTest::newRow("the folder cannot be made")
        << "check-interface" << QByteArray() << true << 3 << "sonvalectl: %1: %2";
    QTest::newRow("measure leaves a damaged file")
        << "measure" << damaged << false << 0 << "problems: none";
}

void TestInterfaceCommand::profileKept()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, before);
    QFETCH(bool, blocked);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);

    QDir().mkpath(QFileInfo(file).absolutePath());
    if (blocked)
        QVERIFY(QDir(QFileInfo(file).absolutePath()).removeRecursively()
                && writeFile(config + "/sonvale", "x"));
    if (!before.isEmpty())
        QVERIFY(writeFile(file, before));
    const SimCtl::Run run = ctl->run({command}, {"SONVALE_SIM_ANALOG=noise=-150"});
    QCOMPARE(run.exitCode, exitCode);
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    const QStringList errors = run.err.split('\n', Qt::SkipEmptyParts);
    if (blocked) {
        QVERIFY(errors.last().startsWith(lastLine.arg(file, "")));
        QCOMPARE(lines.last(), QString("problems: none"));
        QCOMPARE(readFile(config + "/sonvale"), QByteArray("x"));
        // No file, not even a partial one, beside what was there.
        QCOMPARE(QDir(config).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"sonvale"});
        return;
    }
    QCOMPARE(lines.last(), lastLine.arg(file));
    if (!before.isEmpty()) {
        QVERIFY(errors.contains(
            "sonvalectl: " + file
            + ": version 9 of the interface profiles; this "
              "program reads version 1: the interface's profiles in it are ignored"));
    }
    const QByteArray after = readFile(file);
    if (command == "measure")
        QCOMPARE(after, before);
    else
        QCOMPARE(QJsonDocument::fromJson(after)["profiles"].toArray().size(), 1);
}

// measure beside a profile: the interface's H2 and H3 beside the DAC's, and
// a warning for each of the DAC's that lies less than 10 dB above the
// interface's, or below it. The DAC's own distortion set to give, at the
// factory block's -12.5 dB (the tone at -15.50 dBFS), H2 -120.00 and
// -125.00 dBc, H3 -130.01 and -140.04 dBc (left, right).
void TestInterfaceCommand::floorInMeasure_data()
{
    QTest::addColumn<double>("arrived");
    QTest::addColumn<QList<double>>("floor"); // H2 left, right, H3 left, right
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("above the DAC's, within 10 dB, or not")
        << -15.0 << QList<double>{-110, -140, -150, -145}
        << QStringList{
               "left: H2 at -120.00 dBc is not 10 dB above the interface's own -110.00 dBc: it "
               "may be the interface's distortion, not the DAC's",
               "right: H3 at -140.04 dBc is not 10 dB above the interface's own -145.00 dBc: it "
               "may be the interface's distortion, not the DAC's"};
    QTest::newRow("20 dB below, nearly 3 dB off")
        << -18.4 << QList<double>{-140, -145, -150, -160} << QStringList{};
    // More than 3 dB from the -15.50 dBFS that arrives: no profile applies.
    QTest::newRow("at another level")
        << -19.0 << QList<double>{-100, -100, -100, -100} << QStringList{};
}

void TestInterfaceCommand::floorInMeasure()
{
    QFETCH(double, arrived);
    QFETCH(QList<double>, floor);
    QFETCH(QStringList, warnings);

    QVERIFY(QDir().mkpath(config + "/sonvale"));
    QVERIFY(writeFile(file, profileFile(arrived, {floor[0], floor[1]}, {floor[2], floor[3]})));
    const bool applies = arrived > -18.6;
    const QStringList environment{
        "SONVALE_SIM_ANALOG=noise=-200,k2=0,k3=0,h2l=1.19132e-5,h2r=6.69931e-6,"
        "h3l=4.48807e-5,h3r=1.41925e-5"};
    const SimCtl::Run text = ctl->run({"measure"}, environment);
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.err, QString());
    QStringList said;
    for (const QString& line : text.out.split('\n'))
        if (line.startsWith("warning: "))
            said.append(line.mid(9));
    QCOMPARE(said, warnings);
    const QString h2 = QString("  (interface %1 dBc)").arg(floor[0], 0, 'f', 2);
    QCOMPARE(text.out.contains("-120.00 dBc    0.0 deg" + h2 + "\n"), applies);

    const SimCtl::Run json = ctl->run({"measure", "--json"}, environment);
    const QJsonObject document = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(document.contains("warnings"), applies);
    QCOMPARE(document["warnings"].toVariant().toStringList(), warnings);
    const QJsonObject right = document["channels"].toArray().at(1).toObject();
    QCOMPARE(right.contains("interface_floor"), applies);
    if (applies) {
        QCOMPARE(right["interface_floor"]["h2_dbc"].toDouble(), floor[1]);
        QCOMPARE(right["interface_floor"]["h3_dbc"].toDouble(), floor[3]);
    }
}

// tune-thd beside a profile: the solver knows the interface's floor at the
// level the first capture arrived at, and a DAC within 10 dB of it is
// reported there, the values put back; the tables warn as measure does.
void TestInterfaceCommand::tuneAtTheFloor()
{
    QVERIFY(QDir().mkpath(config + "/sonvale"));
    QVERIFY(writeFile(file, profileFile(-15.5, {-110, -160}, {-160, -160})));
    // The left H2 at -120.00 dBc: a2 = h2l + k2·c2 = 4.19132e-5 - 300e-7.
    const SimCtl::Run run =
        ctl->run({"tune-thd"}, {"SONVALE_SIM_ANALOG=noise=-200,h2l=4.19132e-5"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(
        run.err.split('\n', Qt::SkipEmptyParts).last(),
        QString(
            "sonvalectl: nothing could be improved: the DAC's distortion (-120.0 dBc) lies at the "
            "interface's floor: the interface's own (-110.0 dBc) is not 10 dB below it, and a null "
            "would cancel the interface's, not the DAC's; the values held before were written back"));
    QVERIFY(run.out.contains(
        "\nwarning: left: H2 at -120.00 dBc is not 10 dB above the interface's own "
        "-110.00 dBc: it may be the interface's distortion, not the DAC's\nproblems: none\n"));
    QCOMPARE(ctl->block(), TestBytes::bytesOf(VirtualDac::factoryBlock()));
}

QTEST_GUILESS_MAIN(TestInterfaceCommand)
#include "tst_interfacecommand.moc"
