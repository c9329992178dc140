// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvale-preset run as a process: the files it writes are read back by the
// program's own reader, and refusals, messages and exit codes are what a
// user sees.

#include "base/version.h"
#include "childprocess.h"
#include "settings/settingsblock.h"
#include "testbytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

using namespace TestBytes;

// The default block in device order, then its checksum bytes A and B.
const QByteArray defaultPreset =
    hex("73 01 01 01 00 00 00 FF 3C 00 00 00 00 82 00 00 00 82 FF FC 00 19 00 00")
    + QByteArray(8, 0x0F) + QByteArray(4, 0x00) + QByteArray(12, 0x20) + hex("C1 42");

struct Run {
    int exitCode;
    QString out;
    QString err;
};

// The tool run in `folder` (the test's own when empty).
Run tool(const QStringList& arguments, const QString& folder = QString())
{
    const QTemporaryDir console;
    ChildProcess process(QStringLiteral(SONVALE_PRESET_TOOL), arguments);
    process.setWorkingDirectory(folder);
    process.setOutputFiles(QDir(console.path()).filePath("out"),
                           QDir(console.path()).filePath("err"));
    const bool ended = process.start() && process.waitForFinished(30000);
    if (!ended || process.exitCode() < 0)
        qWarning("sonvale-preset %s: %s", qPrintable(arguments.join(' ')), qPrintable(process.why()));
    return {ended ? process.exitCode() : -1, consoleText(process.output()),
            consoleText(process.errors())};
}

} // namespace

class TestPresetTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void newMakesTheDefaultPreset();
    void newRoundTrip_data();
    void newRoundTrip();
    void refusal_data();
    void refusal();
    void setKeepsOtherBytes();
    void check_data();
    void check();
    void showPrintsTheBlock();
    void diff_data();
    void diff();
    void helpAndVersion_data();
    void helpAndVersion();
    void nonAsciiNames_data();
    void nonAsciiNames();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString path(const char* name) const { return dir->filePath(QString::fromUtf8(name)); }
};

void TestPresetTool::init()
{
    dir.reset(new QTemporaryDir);
}

void TestPresetTool::newMakesTheDefaultPreset()
{
    const Run run = tool({"new", path("default.sonvale")});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(path("default.sonvale")).toHex(' '), defaultPreset.toHex(' '));
}

void TestPresetTool::newRoundTrip_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QByteArray>("expected");   // the block the program's reader returns

    SettingsBlock b;
    b.hwType = 'x', b.version = 2, b.mute = 0, b.standby = 0x10;
    QTest::newRow("single bytes") << QStringList{"hwType=x", "version=2", "mute=0", "standby=0x10"} << bytesOf(b);

    b = SettingsBlock();
    b.volume[0] = b.volume[1] = 20, b.volume[2] = 10, b.volume[3] = 200, b.thd_vol_thresholds[1] = 0x40;
    QTest::newRow("volume, thresholds")
        << QStringList{"volume[0]=20", "volume[1]=20", "volume[2]=10", "volume[3]=200", "thd_vol_thresholds[1]=0x40"}
        << bytesOf(b);

    b = SettingsBlock();
    b.thd_range0[0] = -20, b.thd_range1[1] = 32767, b.thd_range2[0] = -32768, b.thd_range2[1] = 256;
    QTest::newRow("THD values")
        << QStringList{"thd_range0[0]=-20", "thd_range1[1]=0x7fff", "thd_range2[0]=-32768", "thd_range2[1]=256"}
        << bytesOf(b);

    b = SettingsBlock();
    b.pcm_mclk[0] = 0, b.pcm_mclk[7] = 15, b.dsd_mclk[2] = 255, b.dsd_filter[0] = 0x1F;
    QTest::newRow("clocks, dsd filter")
        << QStringList{"pcm_mclk[0]=0", "pcm_mclk[7]=15", "dsd_mclk[2]=255", "dsd_filter[0]=0x1f"} << bytesOf(b);

    b = SettingsBlock();
    b.pcm_filter[0] = 0x00, b.pcm_filter[2] = 0x80, b.pcm_filter[3] = 0xE0, b.pcm_filter[7] = 0xE1;
    QTest::newRow("filter shapes by name")
        << QStringList{"pcm_filter[0]=Min phase", "pcm_filter[2]=Linear phase slow",
                       "pcm_filter[3]=min PH slow low disp", "pcm_filter[7]=0xE1"}
        << bytesOf(b);

    b = SettingsBlock();
    b.volume[0] = 2;
    QTest::newRow("last one wins") << QStringList{"volume[0]=1", "volume[0]=2"} << bytesOf(b);
}

void TestPresetTool::newRoundTrip()
{
    QFETCH(QStringList, fields);
    QFETCH(QByteArray, expected);

    const Run run = tool(QStringList{"new", path("made.sonvale")} + fields);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);

    SettingsBlock block;
    QVERIFY(block.readPreset(QFile::encodeName(path("made.sonvale")).constData()));
    QCOMPARE(bytesOf(block).toHex(' '), expected.toHex(' '));
}

// Every row runs beside a valid preset "kept.sonvale"; afterwards the folder
// holds that file alone, unchanged.
void TestPresetTool::refusal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString kept = QStringLiteral("kept.sonvale");
    QTest::newRow("unknown field") << QStringList{"new", "new.sonvale", "volumen[0]=1"}
                                   << "unknown field 'volumen' (sonvale-preset --help lists the fields)";
    QTest::newRow("index too big") << QStringList{"new", "new.sonvale", "pcm_mclk[8]=1"}
                                   << "index '8' of pcm_mclk is out of range 0..7";
    QTest::newRow("index missing") << QStringList{"new", "new.sonvale", "volume=1"}
                                   << "field 'volume' needs an index 0..3, e.g. volume[0]";
    QTest::newRow("index not wanted") << QStringList{"new", "new.sonvale", "mute[0]=1"} << "field 'mute' takes no index";
    QTest::newRow("mclk above 15") << QStringList{"new", "new.sonvale", "pcm_mclk[0]=16"}
                                   << "value 16 of pcm_mclk[0] is out of range 0..15";
    QTest::newRow("byte above 255") << QStringList{"new", "new.sonvale", "volume[0]=0x100"}
                                    << "value 0x100 of volume[0] is out of range 0..255";
    QTest::newRow("THD below -32768") << QStringList{"new", "new.sonvale", "thd_range1[0]=-32769"}
                                      << "value -32769 of thd_range1[0] is out of range -32768..32767";
    QTest::newRow("not a number") << QStringList{"new", "new.sonvale", "volume[0]=12a"}
                                  << "value '12a' of volume[0] is not a number";
    QTest::newRow("unknown shape") << QStringList{"new", "new.sonvale", "pcm_filter[0]=Linear phase"}
                                   << "value 'Linear phase' of pcm_filter[0] is neither a number nor a filter shape name";
    QTest::newRow("no equals sign") << QStringList{"new", "new.sonvale", "mute"}
                                    << "malformed argument 'mute': expected FIELD=VALUE, e.g. pcm_mclk[0]=7";
    QTest::newRow("field for FILE") << QStringList{"new", "mute=0"}
                                    << "new needs a FILE before the fields, not 'mute=0'";
    QTest::newRow("unknown command") << QStringList{"make", "new.sonvale"} << "unknown command 'make'";
    QTest::newRow("set, bad value") << QStringList{"set", kept, "volume[0]=1", "standby=-1"}
                                    << "value -1 of standby is out of range 0..255";
    QTest::newRow("set, no field") << QStringList{"set", kept} << "set needs at least one FIELD=VALUE after kept.sonvale";
    QTest::newRow("diff, one file") << QStringList{"diff", kept} << "diff takes exactly two FILEs";
}

void TestPresetTool::refusal()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QVERIFY(writeFile(path("kept.sonvale"), defaultPreset));
    const Run run = tool(arguments, dir->path());
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err, "sonvale-preset: " + message + "\nTry 'sonvale-preset --help'.\n");
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.sonvale"});
    QCOMPARE(readFile(path("kept.sonvale")), defaultPreset);
}

void TestPresetTool::setKeepsOtherBytes()
{
    QByteArray before = defaultPreset;
    before[22] = 0x11, before[23] = 0x22, before[35] = 0x33, before[47] = 0x44;
    before.replace(48, 2, hex("4B 09"));
    before += "TRAILING";
    QVERIFY(writeFile(path("edit.sonvale"), before));
    QCOMPARE(tool({"check", path("edit.sonvale")}).out, QStringLiteral("ok\n"));

    const Run run = tool({"set", path("edit.sonvale"), "thd_range2[1]=-300", "pcm_mclk[7]=3"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);

    QByteArray after = before;
    after.replace(20, 2, hex("FE D4"));
    after[31] = 0x03;
    after.replace(48, 2, hex("F8 BE"));
    QCOMPARE(readFile(path("edit.sonvale")).toHex(' '), after.toHex(' '));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"edit.sonvale"});
}

void TestPresetTool::check_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    QTest::newRow("valid") << defaultPreset << 0 << "ok\n";
    QTest::newRow("60 bytes") << defaultPreset + QByteArray(10, 0x55) << 0 << "ok\n";
    QTest::newRow("49 bytes") << defaultPreset.left(49) << 1 << "shorter than 50 bytes (it has 49)\n";
    QTest::newRow("empty") << QByteArray("") << 1 << "shorter than 50 bytes (it has 0)\n";
    QTest::newRow("A wrong") << defaultPreset.left(48) + hex("C0 42") << 1
                             << "checksum byte A (offset 48) is wrong: expected 0xC1, found 0xC0\n";
    QTest::newRow("B wrong") << defaultPreset.left(48) + hex("C1 43") << 1
                             << "checksum byte B (offset 49) is wrong: expected 0x42, found 0x43\n";
    QTest::newRow("A and B exchanged") << defaultPreset.left(48) + hex("42 C1") << 1
                                       << "checksum byte A (offset 48) is wrong: expected 0xC1, found 0x42\n";
    QTest::newRow("missing") << QByteArray() << 1 << "cannot open FILE: No such file or directory\n";
}

// check accepts exactly what the program's reader accepts.
void TestPresetTool::check()
{
    QFETCH(QByteArray, file);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    const QString name = path("checked.sonvale");
    if (!file.isNull())
        QVERIFY(writeFile(name, file));
    const Run run = tool({"check", name});
    QCOMPARE(run.out, output.replace(QStringLiteral("FILE"), name));
    QCOMPARE(run.exitCode, exitCode);

    SettingsBlock block;
    QCOMPARE(block.readPreset(QFile::encodeName(name).constData()), exitCode == 0);
}

void TestPresetTool::showPrintsTheBlock()
{
    QCOMPARE(tool({"new", path("shown.sonvale"), "pcm_filter[1]=Min phase slow", "thd_range1[0]=-7"}).exitCode, 0);
    const Run run = tool({"show", path("shown.sonvale")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("hwType=s\n"
                                     "version=1\n"
                                     "mute=1\n"
                                     "standby=1\n"
                                     "volume[left,right,max,min]: 0x0 0x0 0x0 0xff\n"
                                     "thd_vol_thresholds: 0x3c 0x0\n"
                                     "thd_range0: 2nd=0 3rd=130\n"
                                     "thd_range1: 2nd=-7 3rd=130\n"
                                     "thd_range2: 2nd=-4 3rd=25\n"
                                     "pcm_mclk[44.1 ...]: 15 15 15 15 15 15 15 15\n"
                                     "dsd_mclk[64 ...]: 0 0 0\n"
                                     "pcm_filter[44.1 ...]: 0x20 0xc0 0x20 0x20 0x20 0x20 0x20 0x20\n"
                                     "dsd_filter[64 ...]: 0x20 0x20 0x20\n"));
}

// diff: each value where two presets differ, byte 0 left out as a load
// leaves it; 0 the same, 1 different, 3 a file that is no preset.
void TestPresetTool::diff_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");    // standard output, then standard error

    QByteArray other = defaultPreset.left(48);
    other.replace(0, 1, "x").replace(18, 2, hex("80 00")).replace(31, 1, hex("03")).replace(47, 1, hex("09"));
    QTest::newRow("the same") << defaultPreset + "tail" << 0 << QString();
    QTest::newRow("different") << presetFile(other) << 1
                               << "thd_range2[0]: %1 -4, %2 -32768\npcm_mclk[7]: %1 15, %2 3\nbyte 47: %1 32, %2 9\n";
    QTest::newRow("no preset") << defaultPreset.left(49) << 3
                               << "sonvale-preset: %2: shorter than 50 bytes (it has 49)\n";
}

void TestPresetTool::diff()
{
    QFETCH(QByteArray, second);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QVERIFY(writeFile(path("a.sonvale"), defaultPreset) && writeFile(path("b.sonvale"), second));
    const Run run = tool({"diff", path("a.sonvale"), path("b.sonvale")});
    QCOMPARE(run.out + run.err, output.replace("%1", path("a.sonvale")).replace("%2", path("b.sonvale")));
    QCOMPARE(run.exitCode, exitCode);
}

// The man page is made from these two outputs: its synopsis from the usage
// lines, its header and footer from the version.
void TestPresetTool::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("beginning");
    QTest::addColumn<QString>("ending");
    const QString usage = "Usage: sonvale-preset new FILE [FIELD=VALUE ...]\n"
                          "  or:  sonvale-preset show FILE\n"
                          "  or:  sonvale-preset check FILE\n"
                          "  or:  sonvale-preset set FILE FIELD=VALUE ...\n"
                          "  or:  sonvale-preset diff FILE1 FILE2\n"
                          "  or:  sonvale-preset --help | --version\n";
    const QString exitStatus = "Exit status: 0 done (check: the file is valid); 1 the file is not a valid\n"
                               "preset or cannot be read or written; 2 bad command line, nothing written.\n"
                               "diff, as diff(1) does: 0 the same, 1 different, 2 bad command line, 3 a file\n"
                               "is not a valid preset or cannot be read.\n";
    QTest::newRow("--version") << "--version" << "sonvale-preset " SONVALE_VERSION "\n" SONVALE_LICENCE_LINES << QString();
    QTest::newRow("--help") << "--help" << usage << exitStatus;
    QTest::newRow("-h") << "-h" << usage << exitStatus;
}

void TestPresetTool::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, beginning);
    QFETCH(QString, ending);
    const Run run = tool({option});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.left(beginning.size()), beginning);
    QVERIFY2(run.out.endsWith(ending), qPrintable(run.out.right(200)));
    if (ending.isEmpty())
        QCOMPARE(run.out, beginning);
    else
        QVERIFY(run.out.contains("'sonvalectl load FILE' puts one on the DAC"));   // not the greyed-out menu
}

// Names outside the ANSI code page reach the tool whole, on Windows through
// its UTF-16 command line, and name the same file for the program's reader.
void TestPresetTool::nonAsciiNames_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");

    QTest::newRow("Japanese and Greek")
        << QString() << QStringLiteral("\u30D7\u30EA\u30BB\u30C3\u30C8-\u03A9.sonvale");
    QTest::newRow("Latin-1, in a Cyrillic folder")
        << QStringLiteral("\u041F\u0440\u0435\u0441\u0435\u0442\u044B")
        << QStringLiteral("R\u00E9glage \u00FC.sonvale");
}

void TestPresetTool::nonAsciiNames()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);

    QVERIFY(QDir(dir->path()).mkpath(folder.isEmpty() ? QStringLiteral(".") : folder));
    const QString file = QDir(dir->filePath(folder)).filePath(name);

    Run run = tool({"new", file, "volume[0]=40"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QByteArray block = defaultPreset.left(48);
    block[4] = 40;
    QCOMPARE(readFile(file).toHex(' '), presetFile(block).toHex(' '));

    QCOMPARE(tool({"set", file, "volume[1]=40"}).exitCode, 0);
    QCOMPARE(tool({"check", file}).out, QStringLiteral("ok\n"));
    run = tool({"show", file});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("volume[left,right,max,min]: 0x28 0x28 0x0 0xff\n")),
             qPrintable(run.out));

    SettingsBlock read;
    QVERIFY(read.readPreset(file.toUtf8().constData()));
    QCOMPARE(read.volume[1], uint8_t(40));

    const QString missing = QDir(dir->filePath(folder)).filePath(QStringLiteral("\u03A9-") + name);
    QCOMPARE(tool({"check", missing}).out, "cannot open " + missing + ": No such file or directory\n");
    QCOMPARE(QDir(dir->filePath(folder)).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

QTEST_GUILESS_MAIN(TestPresetTool)
#include "tst_presettool.moc"
