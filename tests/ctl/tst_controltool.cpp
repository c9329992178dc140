// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl run as a process against the simulated DAC: what reaches the
// device (every request, in order), the block it holds afterwards, what the
// user reads on standard output and standard error, and the exit status.

#include "base/version.h"
#include "childprocess.h"
#include "testbytes.h"
#include "virtualdac.h"

#include <QDateTime>
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

namespace {

using namespace TestBytes;

const QByteArray factory = bytesOf(VirtualDac::factoryBlock());

// The show text of the factory block.
const QString factoryText = "hwType=s\n"
                            "version=2\n"
                            "mute=0\n"
                            "standby=0\n"
                            "volume[left,right,max,min]: 0x19 0x19 0x0 0xff\n"
                            "thd_vol_thresholds: 0x3c 0x0\n"
                            "thd_range0: 2nd=-300 3rd=260\n"
                            "thd_range1: 2nd=45 3rd=-120\n"
                            "thd_range2: 2nd=-4 3rd=25\n"
                            "pcm_mclk[44.1 ...]: 15 7 15 15 15 15 15 15\n"
                            "dsd_mclk[64 ...]: 0 0 0\n"
                            "pcm_filter[44.1 ...]: 0xa0 0x20 0x20 0x20 0x20 0x20 0x20 0x20\n"
                            "dsd_filter[64 ...]: 0x20 0x20 0x20\n"
                            "volume: -12.5dB\n"
                            "pcm_filter shapes[44.1 ...]: Min phase fast, Linear phase apo, Linear phase apo, "
                            "Linear phase apo, Linear phase apo, Linear phase apo, Linear phase apo, Linear phase apo\n";

QString read(int address)
{
    return QString::asprintf("04 %02X 04 00 00 00 00", address);
}

QStringList fullRead()
{
    QStringList requests;
    for (int address = 0; address < 48; address += 4)
        requests << read(address);
    return requests;
}

// The twelve writes and the commit of a whole block.
QStringList writeAll(const QByteArray& block)
{
    QStringList requests;
    for (int address = 0; address < 48; address += 4)
        requests << QString::asprintf("03 %02X 04 ", address) + spacedHex(block.mid(address, 4));
    return requests << "05 00 00 00 00 00 00";
}

// A block the device may hold before a command, unlike the factory block.
const QByteArray earlier = patched(factory, 25, "01");

struct Run {
    int exitCode;
    QString out;
    QString err;
    QStringList requests;   // what the device received
};

} // namespace

class TestControlTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void helpAndVersion();
    void badCommandLine_data();
    void badCommandLine();
    void status_data();
    void status();
    void show();
    void showJson();
    void get_data();
    void get();
    void set_data();
    void set();
    void recorded_data();
    void recorded();
    void undoTwice();
    void historyKeepsTheNewest100();
    void historyOtherFiles_data();
    void historyOtherFiles();
    void diff_data();
    void diff();
    void loadRefused_data();
    void loadRefused();
    void loadForced();
    void saveAndRestore();
    void factoryRestore();
    void faults_data();
    void faults();

private:
    Run ctl(const QStringList& arguments, const QStringList& environment = {});
    QByteArray deviceBlock() const { return readFile(path("dac.block")); }
    QString path(const QString& name) const { return dir->filePath(name); }
    QStringList files() const { return QDir(dir->path()).entryList(QDir::Files | QDir::Hidden); }
    QStringList entries() const   // the simulated DAC's history, newest first
    {
        QStringList names;
        const QDir dir(history);
        for (const QFileInfo& entry : dir.entryInfoList({"*.sonvale"}, QDir::Files, QDir::Name | QDir::Reversed))
            names << entry.filePath();
        return names;
    }

    QScopedPointer<QTemporaryDir> dir;
    QString history;
};

// Each case starts with the factory block on the device and an empty
// history: on Linux in the case's folder (XDG_DATA_HOME, which the tool
// inherits); on Windows the data folder is the wine prefix's own, and the
// simulated DAC's history there is emptied.
void TestControlTool::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(writeFile(path("dac.block"), factory));
    qputenv("XDG_DATA_HOME", QFile::encodeName(path("data")));
    history = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
              + "/sonvale/history/2fc6-6013-SV9038-0001";
    QDir(history).removeRecursively();
    QFile::remove(history);
}

void TestControlTool::cleanup()
{
    QDir(history).removeRecursively();
    QFile::remove(history);
}

// Runs sonvalectl-sim in the case's folder; the requests are those of this
// run alone.
Run TestControlTool::ctl(const QStringList& arguments, const QStringList& environment)
{
    QFile::remove(path("requests"));
    // The tool's output goes to files, not pipes: under wine a pipe may not
    // have handed over its bytes when the process has ended. They lie apart
    // from the case's folder, whose files the cases check.
    const QTemporaryDir console;
    const QString out = QDir(console.path()).filePath("stdout");
    const QString err = QDir(console.path()).filePath("stderr");
    int exitCode = -1;
    {
        ChildProcess process(QStringLiteral(SONVALECTL_SIM), arguments);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SONVALE_SIM_BLOCK", path("dac.block"));
        env.insert("SONVALE_SIM_REQUESTS", path("requests"));
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
    return {exitCode, consoleText(readFile(out)), consoleText(readFile(err)),
            requests.split('\n', Qt::SkipEmptyParts)};
}

void TestControlTool::helpAndVersion()
{
    const Run help = ctl({"--help"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.startsWith("Usage: sonvalectl [--device VID:PID] [--verbose] [--no-history] COMMAND "
                                 "[ARGUMENTS]\n"),
             qPrintable(help.out.left(200) + "|" + help.err));
    for (const char* command : {"status", "show [--json]", "get FIELD...", "set FIELD=VALUE...", "load FILE [--force]",
                                "save FILE", "factory --yes", "diff FILE", "history [--json]", "undo [N]",
                                "~/.local/share/sonvale/history", "%LOCALAPPDATA%\\sonvale\\history",
                                "pcm_filter[0..7]", "Exit status:"})
        QVERIFY2(help.out.contains(QLatin1String(command)), command);
    QCOMPARE(help.err, QString());
    QCOMPARE(ctl({"show", "--help"}).out, help.out);

    const Run version = ctl({"--version"});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("sonvalectl 0.1.0\n" SONVALE_LICENCE_LINES));
    QVERIFY(help.requests.isEmpty() && version.requests.isEmpty());
}

// A bad command line sends nothing and writes nothing.
void TestControlTool::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no command") << QStringList{} << "missing command";
    QTest::newRow("unknown command") << QStringList{"read"} << "unknown command 'read'";
    QTest::newRow("unknown option") << QStringList{"--quiet", "show"} << "unknown option '--quiet'";
    QTest::newRow("global option late") << QStringList{"show", "--verbose"} << "unknown option '--verbose'";
    QTest::newRow("device, one id") << QStringList{"--device", "2fc6", "status"}
                                    << "--device takes two hexadecimal identifiers VID:PID (e.g. 2fc6:6013), not '2fc6'";
    QTest::newRow("device, not hex") << QStringList{"--device", "2fc6:60g3", "status"}
                                     << "--device takes two hexadecimal identifiers VID:PID (e.g. 2fc6:6013), not '2fc6:60g3'";
    QTest::newRow("device, too long") << QStringList{"--device", "12fc6:6013", "status"}
                                      << "--device takes two hexadecimal identifiers VID:PID (e.g. 2fc6:6013), not '12fc6:6013'";
    QTest::newRow("device, no value") << QStringList{"--device"} << "--device needs VID:PID, e.g. --device 2fc6:6013";
    QTest::newRow("status, argument") << QStringList{"status", "now"} << "status takes no arguments";
    QTest::newRow("show, argument") << QStringList{"show", "all"} << "show takes no arguments but --json";
    QTest::newRow("get, no field") << QStringList{"get"} << "get needs at least one FIELD, e.g. get pcm_mclk[0] volume";
    QTest::newRow("get, bad index") << QStringList{"get", "mute", "volume[4]"} << "index '4' of volume is out of range 0..3";
    QTest::newRow("set, unknown field") << QStringList{"set", "volumen[0]=1"}
                                        << "unknown field 'volumen' (sonvalectl --help lists the fields)";
    QTest::newRow("set, out of range") << QStringList{"set", "mute=1", "pcm_mclk[0]=16"}
                                       << "value 16 of pcm_mclk[0] is out of range 0..15";
    QTest::newRow("set, no field") << QStringList{"set"} << "set needs at least one FIELD=VALUE, e.g. set pcm_mclk[0]=7";
    QTest::newRow("load, no file") << QStringList{"load", "--force"} << "load takes exactly one FILE";
    QTest::newRow("load, bad option") << QStringList{"load", "a.sonvale", "--yes"} << "unknown option '--yes'";
    QTest::newRow("save, two files") << QStringList{"save", "a.sonvale", "b.sonvale"} << "save takes exactly one FILE";
    QTest::newRow("diff, no file") << QStringList{"diff"} << "diff takes exactly one FILE";
    QTest::newRow("history, argument") << QStringList{"history", "5"} << "history takes no arguments but --json";
    for (const char* number : {"0", "x", "-1", "1 2"}) {
        QTest::addRow("undo %s", number) << ("undo " + QString(number)).split(' ')
                                         << "undo takes the number of an entry of 'sonvalectl history' (1, the "
                                            "newest, if none)";
    }
    QTest::newRow("factory without --yes")
        << QStringList{"factory"}
        << "factory replaces every setting on the DAC with its factory settings; keep them first with "
           "'sonvalectl save FILE', then run 'sonvalectl factory --yes'";
}

void TestControlTool::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = ctl(arguments);
    QCOMPARE(run.err, "sonvalectl: " + message + " (sonvalectl --help shows the usage)\n");
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.requests, QStringList());
    QCOMPARE(files(), QStringList{"dac.block"});
    QCOMPARE(deviceBlock(), factory);
}

void TestControlTool::status_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    const QString identity = "device: 2fc6:6013\n"
                             "manufacturer: Sonvale Labs\n"
                             "product: Sonvale ES9038 USB DAC\n"
                             "serial number: SV9038-0001\n";
    QTest::newRow("found") << QStringList{"status"} << QStringList{} << 0 << identity << QString();
    QTest::newRow("verbose") << QStringList{"--verbose", "status"} << QStringList{} << 0 << identity
                             << "Manufacturer:\tSonvale Labs\nProduct:\tSonvale ES9038 USB DAC\n"
                                "Serial number:\tSV9038-0001\n";
    QTest::newRow("other identifiers") << QStringList{"--device", "0x1234:ABCD", "status"} << QStringList{} << 1
                                       << QString() << "sonvalectl: no DAC 1234:abcd is connected\n";
#ifdef Q_OS_WIN
    QTest::newRow("no permission")
        << QStringList{"status"} << QStringList{"SONVALE_SIM_OPEN_ERROR=-3"} << 1 << QString()
        << "sonvalectl: the DAC 2fc6:6013 cannot be opened for lack of access (LIBUSB_ERROR_ACCESS): its interface 0 "
           "needs a driver libusb can use (the system HID driver, WinUSB, libusbK or UsbDk; Zadig installs WinUSB), "
           "and no other program may hold it\n";
#else
    QTest::newRow("no permission")
        << QStringList{"status"} << QStringList{"SONVALE_SIM_OPEN_ERROR=-3"} << 1 << QString()
        << "sonvalectl: the DAC 2fc6:6013 cannot be opened for lack of permission (LIBUSB_ERROR_ACCESS): install the "
           "udev rule 70-sonvale.rules that Sonvale installs, run 'udevadm control --reload-rules' as root, then "
           "unplug the DAC and plug it in again\n";
    // Only Linux claims the interface (from the kernel's HID driver).
    QTest::newRow("interface held") << QStringList{"status"} << QStringList{"SONVALE_SIM_CLAIM_ERROR=-6"} << 0
                                    << identity + "note: its interface 0 could not be claimed (LIBUSB_ERROR_BUSY): is "
                                                  "another program, such as Sonvale's window, using the DAC?\n"
                                    << QString();
#endif
    QTest::newRow("other open error") << QStringList{"status"} << QStringList{"SONVALE_SIM_OPEN_ERROR=-12"} << 1
                                      << QString()
                                      << "sonvalectl: the DAC 2fc6:6013 cannot be opened (LIBUSB_ERROR_NOT_SUPPORTED)\n";
}

void TestControlTool::status()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const Run run = ctl(arguments, environment);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, err);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.requests, QStringList());
}

// The diagnostics reach standard error with --verbose and nowhere without.
void TestControlTool::show()
{
    const Run run = ctl({"show"});
    QCOMPARE(run.out, factoryText);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, fullRead());

    const Run verbose = ctl({"--verbose", "show"});
    QCOMPARE(verbose.out, factoryText);
    QVERIFY(verbose.err.contains("Response: id=84 addr=0 length=4 data: 73 2 0 0\n"));
    QVERIFY(verbose.err.endsWith("Response: id=84 addr=2c length=4 data: 20 20 20 20\n"));
}

void TestControlTool::showJson()
{
    const QByteArray block = patched(factory, 18, "80 00 7F FF");   // thd_range2: -32768, 32767
    QVERIFY(writeFile(path("dac.block"), block));
    const Run run = ctl({"show", "--json"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, fullRead());

    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject expected = QJsonDocument::fromJson(R"({
        "hwType": 115, "version": 2, "mute": 0, "standby": 0, "volume": [25, 25, 0, 255],
        "thd_vol_thresholds": [60, 0], "thd_range0": [-300, 260], "thd_range1": [45, -120],
        "thd_range2": [-32768, 32767], "pcm_mclk": [15, 7, 15, 15, 15, 15, 15, 15], "dsd_mclk": [0, 0, 0],
        "pcm_filter": [160, 32, 32, 32, 32, 32, 32, 32], "dsd_filter": [32, 32, 32]})").object();
    QCOMPARE(json.value("settings").toObject(), expected);
    QCOMPARE(json.value("device").toString(), QStringLiteral("2fc6:6013"));
    QCOMPARE(json.value("serial").toString(), QStringLiteral("SV9038-0001"));
    QCOMPARE(json.value("volume_db").toDouble(), -12.5);
    QCOMPARE(json.value("pcm_filter_shapes").toArray().first().toString(), QStringLiteral("Min phase fast"));
}

// get reads only the windows that hold the fields named.
void TestControlTool::get_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("requests");

    QTest::newRow("one byte") << QStringList{"pcm_mclk[1]"} << "7\n" << QStringList{read(24)};
    QTest::newRow("character, THD") << QStringList{"hwType", "thd_range0[0]", "thd_range1"} << "115\n-300\n45 -120\n"
                                    << QStringList{read(0), read(8), read(12), read(16)};
    QTest::newRow("whole arrays") << QStringList{"volume", "pcm_filter"} << "25 25 0 255\n160 32 32 32 32 32 32 32\n"
                                  << QStringList{read(4), read(36), read(40)};
}

void TestControlTool::get()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, out);
    QFETCH(QStringList, requests);

    const Run run = ctl(QStringList{"get"} + fields);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, requests);
}

// set reads the block, sends what changes as the window sends its edits,
// reads the block back.
void TestControlTool::set_data()
{
    QTest::addColumn<QStringList>("assignments");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QByteArray>("block");

    QTest::newRow("mclk entry") << QStringList{"pcm_mclk[5]=3"} << QStringList{"03 1C 04 0F 03 0F 0F"}
                                << patched(factory, 29, "03");
    QTest::newRow("left volume keeps the right")
        << QStringList{"volume[0]=10"} << QStringList{"06 00 02 0A 19 00 00"} << patched(factory, 4, "0A");
    QTest::newRow("both volumes") << QStringList{"volume[0]=40", "volume[1]=0x28"}
                                  << QStringList{"06 00 02 28 28 00 00"} << patched(factory, 4, "28 28");
    QTest::newRow("THD, its range's window")
        << QStringList{"thd_range1[1]=-7", "thd_range2[0]=256"}
        << QStringList{"03 0E 04 00 2D FF F9", "03 12 04 01 00 00 19"} << patched(factory, 16, "FF F9 01 00");
    QTest::newRow("dB scale ends") << QStringList{"volume[3]=200", "volume[2]=4"} << QStringList{"03 04 04 19 19 04 C8"}
                                   << patched(factory, 6, "04 C8");
    QTest::newRow("shapes, dsd filter, hwType")
        << QStringList{"pcm_filter[1]=Min phase slow", "pcm_filter[2]=min PHASE", "dsd_filter[2]=1", "hwType=x"}
        << QStringList{"03 00 04 78 02 00 00", "03 24 04 A0 C0 00 20", "03 2C 04 20 20 01 20"}
        << patched(patched(patched(factory, 0, "78"), 37, "C0 00"), 46, "01");
    QTest::newRow("two windows of one array")
        << QStringList{"pcm_mclk[0]=1", "pcm_mclk[3]=2", "pcm_mclk[4]=0"}
        << QStringList{"03 18 04 01 07 0F 02", "03 1C 04 00 0F 0F 0F"} << patched(factory, 24, "01 07 0F 02 00");
}

void TestControlTool::set()
{
    QFETCH(QStringList, assignments);
    QFETCH(QStringList, writes);
    QFETCH(QByteArray, block);

    const Run run = ctl(QStringList{"set"} + assignments);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.requests, fullRead() + writes + fullRead());
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(block));

    // Set again, nothing changes: nothing is sent, read back or kept.
    const Run again = ctl(QStringList{"set"} + assignments);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.requests, fullRead());
    QCOMPARE(entries().size(), 1);
}

// Before set, load and factory change the DAC, its whole block is read and
// kept in the history with the command; load sends the file's bytes 1 to 47
// as the window's import does. Without the history, load reads byte 0 only.
void TestControlTool::recorded_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("command");    // as kept; empty: nothing kept

    const QByteArray warm = patched(patched(patched(factory, 0, "73 05 01 01 30 30 10 F0"), 22, "AB CD"), 36, "E0 80");
    const QByteArray shape = patched(earlier, 37, "C0");
    QTest::newRow("set") << QStringList{"set", "pcm_filter[1]=Min phase slow"}
                         << fullRead() + QStringList{"03 24 04 A0 C0 20 20"} + fullRead() << shape
                         << "set \"pcm_filter[1]=Min phase slow\"";
    QTest::newRow("load") << QStringList{"load", "warm.sonvale"} << fullRead() + writeAll(warm) + fullRead() << warm
                          << "load warm.sonvale";
    QTest::newRow("factory") << QStringList{"factory", "--yes"}
                             << fullRead() + QStringList{"09 00 00 00 00 00 00"} + fullRead() << factory
                             << "factory --yes";
    QTest::newRow("load, no history") << QStringList{"--no-history", "load", "warm.sonvale"}
                                      << QStringList{read(0)} + writeAll(warm) + fullRead() << warm << QString();
    QTest::newRow("factory, no history") << QStringList{"--no-history", "factory", "--yes"}
                                         << QStringList{"09 00 00 00 00 00 00"} + fullRead() << factory << QString();
}

void TestControlTool::recorded()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, requests);
    QFETCH(QByteArray, block);
    QFETCH(QString, command);

    // A preset of another hwType, with bytes after its checksum.
    QVERIFY(writeFile(path("dac.block"), earlier));
    QVERIFY(writeFile(path("warm.sonvale"), presetFile(patched(block, 0, "78")) + "tail"));

    const Run run = ctl(arguments);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, requests);
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(block));
    if (command.isEmpty()) {
        QCOMPARE(entries(), QStringList());
        return;
    }
    QCOMPARE(entries().size(), 1);
    const QByteArray entry = readFile(entries()[0]);
    QCOMPARE(spacedHex(entry.left(50)), spacedHex(presetFile(earlier)));
    const QRegularExpression record("^sonvalectl history\n"
                                    "time: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(?:Z|[+-]\\d\\d:\\d\\d)\n"
                                    "device: 2fc6:6013\nserial: SV9038-0001\ncommand: (.*)\n$");
    const QRegularExpressionMatch match = record.match(QString::fromUtf8(entry.mid(50)));
    QVERIFY2(match.hasMatch(), entry.mid(50).constData());
    QCOMPARE(match.captured(1), command);
}

// undo loads an entry as load does, hwType included, and is itself kept, so
// a second undo returns to what the first replaced.
void TestControlTool::undoTwice()
{
    const QByteArray warm = patched(factory, 36, "E0 80");
    QVERIFY(writeFile(path("warm.sonvale"), presetFile(warm)));
    QCOMPARE(ctl({"set", "pcm_mclk[5]=3", "hwType=x"}).exitCode, 0);
    const QByteArray changed = patched(patched(factory, 29, "03"), 0, "78");
    QCOMPARE(ctl({"load", "warm.sonvale"}).exitCode, 0);

    const Run undo = ctl({"undo"});
    QCOMPARE(undo.err, QString());
    QCOMPARE(undo.exitCode, 0);
    QCOMPARE(undo.requests, fullRead() + writeAll(changed) + fullRead());
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(changed));
    QCOMPARE(ctl({"undo", "1"}).exitCode, 0);
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(patched(warm, 0, "78")));
    QCOMPARE(ctl({"undo", "4"}).exitCode, 0);   // back before the set, hwType too
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(factory));

    const Run list = ctl({"history"});
    QCOMPARE(list.requests, QStringList());
    const QRegularExpression lines("^  1  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  undo 4\n  2  .*  undo 1\n  3  .*  undo\n"
                                   "  4  .*  load warm.sonvale\n  5  .*  set pcm_mclk\\[5\\]=3 hwType=x\n$");
    QVERIFY2(lines.match(list.out).hasMatch(), qPrintable(list.out));
    const QJsonArray kept = QJsonDocument::fromJson(ctl({"history", "--json"}).out.toUtf8())["entries"].toArray();
    QCOMPARE(kept[4]["command"].toString(), QStringLiteral("set pcm_mclk[5]=3 hwType=x"));
    QCOMPARE(kept[4]["number"].toInt(), 5);

    const Run beyond = ctl({"undo", "7"});
    QCOMPARE(beyond.err, "sonvalectl: the history of the DAC 2fc6:6013 holds 5 entries, not 7 (" + history + ")\n");
    QCOMPARE(beyond.exitCode, 1);
    QCOMPARE(beyond.requests, QStringList());
}

// The 101st entry takes the place of the oldest.
void TestControlTool::historyKeepsTheNewest100()
{
    QCOMPARE(ctl({"set", "mute=1"}).exitCode, 0);
    QVERIFY2(!entries().isEmpty(), qPrintable("set mute=1 kept no entry in " + history));
    for (int number = 2; number <= 100; ++number)
        QVERIFY(QFile::copy(entries().last(), history + QString::asprintf("/%08d-20260101T000000Z.sonvale", number)));
    QCOMPARE(ctl({"set", "mute=0"}).exitCode, 0);
    QCOMPARE(entries().size(), 100);
    QCOMPARE(QFileInfo(entries().first()).fileName().left(9) + QFileInfo(entries().last()).fileName().left(9),
             QStringLiteral("00000101-00000002-"));
}

// Only the tool's own entries count: a write under way, or a file a user
// put in the folder, is neither listed nor numbered among them.
void TestControlTool::historyOtherFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("next");   // the prefix of the entry kept next

    QTest::newRow("an entry") << "00000007-20260101T000000Z.sonvale" << "00000008-";
    QTest::newRow("a write under way on Windows") << "00000007-20260101T000000Z.sonvale.tmp4242" << "00000001-";
    QTest::newRow("a write under way on Linux") << "00000007-20260101T000000Z.sonvale.Ab12Cd" << "00000001-";
    QTest::newRow("a dot in the name") << "00000007-before.load.sonvale" << "00000001-";
    QTest::newRow("a word before the number") << "copy00000007-20260101T000000Z.sonvale" << "00000001-";
    QTest::newRow("no dash") << "00000007.sonvale" << "00000001-";
}

void TestControlTool::historyOtherFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, next);

    QVERIFY(QDir().mkpath(history));
    QVERIFY(writeFile(history + "/" + name, presetFile(factory)));
    QCOMPARE(ctl({"set", "mute=1"}).exitCode, 0);
    const QJsonDocument kept = QJsonDocument::fromJson(ctl({"history", "--json"}).out.toUtf8());
    QStringList listed;
    for (const QJsonValue& entry : kept["entries"].toArray())
        listed << QFileInfo(entry["file"].toString()).fileName();
    QVERIFY(!listed.isEmpty());
    QCOMPARE(listed.first().left(9), next);
    QCOMPARE(listed.mid(1), next == "00000001-" ? QStringList() : QStringList{name});
}

// diff: each value where the DAC and the file differ, byte 0 left out; 0
// the same, 1 different, 3 the device or the file failed.
void TestControlTool::diff_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");    // standard output, then standard error

    QTest::newRow("the same") << presetFile(factory) << QString() << 0 << QString();
    QTest::newRow("hwType only") << presetFile(patched(factory, 0, "78")) << QString() << 0 << QString();
    QTest::newRow("fields and an unnamed byte")
        << presetFile(patched(patched(patched(factory, 26, "07"), 14, "FF F0"), 22, "01")) << QString() << 1
        << "thd_range1[0]: DAC 45, file -16\nbyte 22: DAC 0, file 1\npcm_mclk[2]: DAC 15, file 7\n";
    QTest::newRow("no preset") << presetFile(factory).left(49) << QString() << 3
                               << "sonvalectl: FILE: shorter than 50 bytes (it has 49)\n";
    QTest::newRow("no DAC") << presetFile(factory) << "SONVALE_SIM_OPEN_ERROR=-4" << 3
                            << "sonvalectl: the DAC 2fc6:6013 cannot be opened (LIBUSB_ERROR_NO_DEVICE)\n";
}

void TestControlTool::diff()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QVERIFY(writeFile(path("other.sonvale"), file));
    const Run run = ctl({"diff", path("other.sonvale")}, fault.isEmpty() ? QStringList() : QStringList{fault});
    QCOMPARE(run.out + run.err, output.replace("FILE", path("other.sonvale")));
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.requests, fault.isEmpty() && exitCode != 3 ? fullRead() : QStringList());
}

// A refused file sends nothing at all.
void TestControlTool::loadRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    const QByteArray valid = presetFile(factory);
    QTest::newRow("missing") << QByteArray() << "cannot open FILE: No such file or directory";
    QTest::newRow("49 bytes") << valid.left(49) << "shorter than 50 bytes (it has 49)";
    QTest::newRow("checksum A") << patched(valid, 48, "00")
                                << "checksum byte A (offset 48) is wrong: expected 0x" + spacedHex(valid.mid(48, 1))
                                       + ", found 0x00";
    QTest::newRow("checksum B") << patched(valid, 49, "00")
                                << "checksum byte B (offset 49) is wrong: expected 0x" + spacedHex(valid.mid(49, 1))
                                       + ", found 0x00";
    QTest::newRow("mclk above 15") << presetFile(patched(factory, 27, "10"))
                                   << "it holds values the window never sets (pcm_mclk[3]=16; pcm_mclk goes to 15, "
                                      "pcm_filter uses bits 7..5 only); --force loads it unchanged";
    QTest::newRow("filter bits 4..0") << presetFile(patched(patched(factory, 36, "21"), 43, "E1"))
                                      << "it holds values the window never sets (pcm_filter[0]=33, pcm_filter[7]=225; "
                                         "pcm_mclk goes to 15, pcm_filter uses bits 7..5 only); --force loads it unchanged";
}

void TestControlTool::loadRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    const QString name = path("odd.sonvale");
    if (!file.isNull())
        QVERIFY(writeFile(name, file));
    const Run run = ctl({"load", name});
    QCOMPARE(run.err, "sonvalectl: " + name + ": " + reason.replace("FILE", name) + "\n");
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.requests, QStringList());
    QCOMPARE(deviceBlock(), factory);
}

void TestControlTool::loadForced()
{
    const QByteArray block = patched(factory, 24, "10 FF 07 07 07 07 07 07 00 00 00 00 3F");
    QVERIFY(writeFile(path("odd.sonvale"), presetFile(block)));
    const Run run = ctl({"load", "--force", "odd.sonvale"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, fullRead() + writeAll(block) + fullRead());
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(block));
}

// What save writes, sonvale-preset accepts and load puts back.
void TestControlTool::saveAndRestore()
{
    const Run save = ctl({"save", "kept.sonvale"});
    QCOMPARE(save.err, QString());
    QCOMPARE(save.exitCode, 0);
    QCOMPARE(save.requests, fullRead());
    QCOMPARE(spacedHex(readFile(path("kept.sonvale"))), spacedHex(presetFile(factory)));

    const QTemporaryDir console;
    ChildProcess check(QStringLiteral(SONVALE_PRESET_TOOL), {"check", path("kept.sonvale")});
    check.setOutputFiles(QDir(console.path()).filePath("out"),
                         QDir(console.path()).filePath("err"));
    QVERIFY(check.start() && check.waitForFinished(30000));
    QCOMPARE(consoleText(check.output()), QStringLiteral("ok\n"));

    QCOMPARE(ctl({"set", "pcm_mclk[0]=2", "volume[0]=0", "thd_range0[0]=9"}).exitCode, 0);
    QVERIFY(deviceBlock() != factory);
    QCOMPARE(ctl({"load", "kept.sonvale"}).exitCode, 0);
    QCOMPARE(spacedHex(deviceBlock()), spacedHex(factory));

    const Run nowhere = ctl({"save", "missing/kept.sonvale"});
    QCOMPARE(nowhere.exitCode, 1);
    QVERIFY2(nowhere.err.startsWith("sonvalectl: cannot create a temporary file beside missing/kept.sonvale: "),
             qPrintable(nowhere.err));
}

void TestControlTool::factoryRestore()
{
    QVERIFY(writeFile(path("dac.block"), QByteArray(48, 0x11)));
    const Run run = ctl({"factory", "--yes"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.requests, fullRead() + QStringList{"09 00 00 00 00 00 00"} + fullRead());
    QCOMPARE(run.out, factoryText);
    QCOMPARE(deviceBlock(), factory);
}

// The DAC goes away mid-command (as Linux and as Windows show it), fails its
// requests while it stays, or keeps its block whatever it is sent: exit
// status 1, one line naming the cause, and no file from a failed read.
void TestControlTool::faults_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fault");      // the simulated DAC's variables, space-separated
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("kept");      // entries in the history

    for (const QString way : {"", " SONVALE_SIM_WINDOWS_UNPLUG=1"}) {
        QTest::addRow("unplugged during show%s", qPrintable(way))
            << QStringList{"show"} << "SONVALE_SIM_UNPLUG_AFTER=5" + way << "the DAC was disconnected" << 5 << 0;
        QTest::addRow("unplugged during save%s", qPrintable(way)) << QStringList{"save", "kept.sonvale"}
            << "SONVALE_SIM_UNPLUG_AFTER=11" + way << "the DAC was disconnected" << 11 << 0;
        QTest::addRow("unplugged during load%s", qPrintable(way)) << QStringList{"load", "kept.sonvale"}
            << "SONVALE_SIM_UNPLUG_AFTER=4" + way << "the DAC was disconnected" << 4 << 0;
        QTest::addRow("unplugged during get%s", qPrintable(way)) << QStringList{"get", "volume", "dsd_filter"}
            << "SONVALE_SIM_UNPLUG_AFTER=1" + way << "the DAC was disconnected" << 1 << 0;
    }
    QTest::newRow("I/O error during get") << QStringList{"get", "mute"} << "SONVALE_SIM_TRANSFER_ERROR=-1"
                                          << "the DAC did not answer the read at 0 (LIBUSB_ERROR_IO)" << 0 << 0;
    QTest::newRow("silent during save") << QStringList{"save", "kept.sonvale"} << "SONVALE_SIM_SILENT=1"
                                        << "the read was incomplete: 12 of the 12 windows did not arrive (at 0, 4, 8, "
                                           "12, 16, 20, 24, 28, 32, 36, 40, 44)"
                                        << 12 << 0;
#ifndef Q_OS_WIN   // only Linux claims the interface
    QTest::newRow("interface held") << QStringList{"get", "mute"} << "SONVALE_SIM_CLAIM_ERROR=-6"
                                    << "the DAC did not answer the read at 0 (LIBUSB_ERROR_BUSY); its interface 0 could "
                                       "not be claimed (LIBUSB_ERROR_BUSY): is another program, such as Sonvale's "
                                       "window, using the DAC?"
                                    << 0 << 0;
#endif
    QTest::newRow("silent during get") << QStringList{"get", "mute"} << "SONVALE_SIM_SILENT=1"
                                       << "the DAC did not answer the read at 0 (LIBUSB_ERROR_TIMEOUT)" << 1 << 0;
    QTest::newRow("set not taken") << QStringList{"set", "pcm_mclk[7]=1", "thd_range2[1]=-1", "volume[1]=0"}
                                   << "SONVALE_SIM_KEEP_BLOCK=1"
                                   << "the block read back differs from what was sent: the DAC holds volume[1]=25 "
                                      "(sent 0), thd_range2[1]=25 (sent -1), pcm_mclk[7]=15 (sent 1)"
                                   << 27 << 1;
    QTest::newRow("load not taken") << QStringList{"load", "kept.sonvale"} << "SONVALE_SIM_KEEP_BLOCK=1"
                                    << "the block read back differs from what was sent: the DAC holds mute=0 (sent 1)"
                                    << 37 << 1;
    // The entry is written before anything that changes the DAC is sent, and
    // nothing is sent when it cannot be ("history": the folder is a file).
    const QString notKept = "the DAC's settings cannot be kept in its history, so the DAC was left as it was: cannot "
                            "create the folder HISTORY (--no-history does without the history)";
    for (const QStringList& command : {QStringList{"set", "mute=1"}, {"load", "kept.sonvale"}, {"factory", "--yes"}})
        QTest::addRow("history not kept, %s", qPrintable(command[0])) << command << "history" << notKept << 0 << 0;
    QTest::newRow("unplugged after the read of load") << QStringList{"load", "kept.sonvale"}
                                                      << "SONVALE_SIM_UNPLUG_AFTER=12" << "the DAC was disconnected"
                                                      << 12 << 1;
    QTest::newRow("unplugged during the writes of set")
        << QStringList{"set", "pcm_mclk[7]=1", "thd_range2[1]=-1", "volume[1]=0"} << "SONVALE_SIM_UNPLUG_AFTER=13"
        << "the DAC was disconnected" << 13 << 1;
    // The folder is there, but the entry cannot be written ("entry": every
    // name the entry may take is a folder already): the reads, then nothing.
    // undo finds the entry of an earlier set.
#ifdef Q_OS_WIN
    const QString replaced = " (Windows error 5)";
#else
    const QString replaced = ": Is a directory";
#endif
    const QString entryNotKept = "the DAC's settings cannot be kept in its history, so the DAC was left as it was: "
                                 "cannot replace HISTORY/0000000N-TIME.sonvale" + replaced
                                 + " (--no-history does without the history)";
    for (const QStringList& command : {QStringList{"set", "mute=1"},
                                       {"load", "kept.sonvale"},
                                       {"factory", "--yes"},
                                       {"undo"},
                                       {"tune-thd"}}) {
        QTest::addRow("entry not written, %s", qPrintable(command[0]))
            << command << "entry" << entryNotKept << 12 << (command[0] == "undo" ? 1 : 0);
    }
}

void TestControlTool::faults()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QFETCH(int, requests);
    QFETCH(int, kept);

    // A preset that differs from the device's block in one byte, for load;
    // save must leave it as it is.
    const QByteArray preset = presetFile(patched(factory, 2, "01"));
    QVERIFY(writeFile(path("kept.sonvale"), preset));
    if (fault == "history")
        QVERIFY(QDir().mkpath(QFileInfo(history).path()) && writeFile(history, "not a folder"));
    if (fault == "entry") {
        if (arguments[0] == "undo")
            QCOMPARE(ctl({"set", "mute=1"}).exitCode, 0);
        // An entry is named by its number and the second it is kept in: a
        // folder by each name it may take in the next two minutes.
        const QString number = QString::asprintf("%08lld", qlonglong(entries().size() + 1));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (int second = -2; second <= 120; ++second) {
            const QString time = now.addSecs(second).toString("yyyyMMdd'T'HHmmss'Z'");
            QVERIFY(QDir().mkpath(history + "/" + number + "-" + time + ".sonvale"));
        }
        message.replace("0000000N", number);
    }
    const QByteArray before = deviceBlock();
    const QStringList environment = fault == "history" || fault == "entry" ? QStringList() : fault.split(' ');
    const Run run = ctl(arguments, environment);
    QString err = run.err;
    err.replace(QRegularExpression("\\d{8}T\\d{6}Z(?=\\.sonvale)"), "TIME");
    if (err != "sonvalectl: " + message.replace("HISTORY", history) + "\n") {
        // Once under wine the entry was written; what the tool and the
        // folder showed then, for the next time.
        qWarning().noquote() << "exit" << run.exitCode << "out" << run.out << "requests" << run.requests.size()
                             << "history" << QDir(history).entryList(QDir::Files) << "test's clock"
                             << QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    }
    QCOMPARE(err, "sonvalectl: " + message + "\n");
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.requests.size(), requests);
    if (fault == "history" || fault == "entry") {
        QCOMPARE(run.requests.filter(QRegularExpression("^04 ")), run.requests);   // nothing but reads
        QCOMPARE(deviceBlock(), before);
    }
    QCOMPARE(readFile(path("kept.sonvale")), preset);
    QCOMPARE(files(), (QStringList{"dac.block", "kept.sonvale"}));
    QCOMPARE(entries().size(), kept);
    // What the DAC held before the command, or before the set that undo
    // would have undone.
    if (kept > 0)
        QCOMPARE(spacedHex(readFile(entries().first()).left(50)), spacedHex(presetFile(factory)));
}

QTEST_GUILESS_MAIN(TestControlTool)
#include "tst_controltool.moc"
