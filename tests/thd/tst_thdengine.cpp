// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD assistant's engine on a worker thread, as the window drives it:
// queued calls in, signals out, on the simulated DAC and analog path. What
// it reports is checked against the analog model, what it writes against
// the requests the DAC received, and what it leaves against the DAC's block.

#include "thd/thdengine.h"

#include "settings/settingsblock.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <libusb.h>

#include <cmath>
#include <complex>
#include <functional>

Q_DECLARE_METATYPE(std::function<void()>)
Q_DECLARE_METATYPE(ThdSolver::Outcome)

namespace {

using namespace TestBytes;

const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
// Both channels at 0 dB (attenuation 0 between max 0 and min 255).
const QByteArray fullVolume = patched(factory, 4, "00 00");

// The simulated path's model (sim/audiosim.h) and the factory block's pairs.
struct Model {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k2 = 1e-7, k3 = 1e-7;
    int pairs[3][2] = {{-300, 260}, {45, -120}, {-4, 25}};
    bool swapped = false;

    int pairOf(int output) const { return (output == 0) != swapped ? 0 : 1; }
    // a2 (which 0) or a3 (which 1) of an output at the factory values.
    double coefficient(int output, int which) const
    {
        const int pair = pairOf(output);
        return which == 0 ? h2[output] + k2 * pairs[pair][0] : h3[output] + k3 * pairs[pair][1];
    }
    // H2, H3 relative to the fundamental for a peak of `amplitude`:
    // a2·v² puts a2·A/2, a3·v³ puts a3·A²/4 beside it, in phase.
    double harmonic(int output, int order, double amplitude) const
    {
        return order == 2 ? coefficient(output, 0) * amplitude / 2
                          : coefficient(output, 1) * amplitude * amplitude / 4;
    }
    double optimum(int pair, int which) const
    {
        const int output = (pair == 0) != swapped ? 0 : 1;
        return which == 0 ? -h2[output] / k2 : -h3[output] / k3;
    }
};

Model modelOf(const QString& analog)
{
    Model model;
    for (const QString& item : analog.split(',', Qt::SkipEmptyParts)) {
        const QString key = item.section('=', 0, 0);
        const double value = item.section('=', 1).toDouble();
        if (key == "h2l") model.h2[0] = value;
        if (key == "h3l") model.h3[0] = value;
        if (key == "h2r") model.h2[1] = value;
        if (key == "h3r") model.h3[1] = value;
        if (key == "map") model.swapped = item.endsWith("swapped");
    }
    return model;
}

// What the DAC was sent, one request a line as "03 0A 04 FF 88 00 96".
QStringList sentRequests()
{
    QStringList lines;
    for (const UsbSim::Transfer& transfer : UsbSim::transfers()) {
        if (transfer.requestType == 0x21 && transfer.request == 0x09)
            lines << spacedHex(bytesOf(transfer.data));
    }
    return lines;
}

QStringList writes()
{
    QStringList lines;
    for (const QString& line : sentRequests()) {
        if (!line.startsWith("04 "))
            lines << line;
    }
    return lines;
}

ThdValues valuesIn(const QByteArray& block)
{
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(reinterpret_cast<const uint8_t*>(block.constData()));
    ThdValues values;
    const int16_t* pairs[] = {settings.thd_range0, settings.thd_range1, settings.thd_range2};
    for (std::size_t pair = 0; pair < 3; ++pair)
        values.pairs[pair] = {pairs[pair][0], pairs[pair][1]};
    return values;
}

QByteArray dacBlock()
{
    return bytesOf(UsbSim::block());
}

double dbOf(double ratio)
{
    return 20 * std::log10(std::abs(ratio));
}

} // namespace

class TestThdEngine : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void connectDac_data();
    void connectDac();
    void listDevices();
    void measure_data();
    void measure();
    void measureFindings_data();
    void measureFindings();
    void tune_data();
    void tune();
    void map_data();
    void map();
    void tuneNothingKept_data();
    void tuneNothingKept();
    void tuneRefused_data();
    void tuneRefused();
    void stopMidTune_data();
    void stopMidTune();
    void stoppedWhileQueued_data();
    void stoppedWhileQueued();
    void unplugged_data();
    void unplugged();
    void cancelLongCapture();
    void cancelPaced_data();
    void cancelPaced();

private:
    // Runs `slot` on the engine's thread and waits for `spy` to see a
    // signal; false when none came.
    bool arrived(QSignalSpy& spy, int before);
    bool call(const char* slot, QSignalSpy& spy);
    bool call(const char* slot, const ThdEngine::Request& request, QSignalSpy& spy);
    bool connectEngine();
    QString history() const;
    QStringList historyCommands() const;

    QScopedPointer<QTemporaryDir> data;
    QThread thread;
    ThdEngine* engine = nullptr;
};

void TestThdEngine::init()
{
    data.reset(new QTemporaryDir);
    qputenv("XDG_DATA_HOME", QFile::encodeName(data->filePath("data")));
    qunsetenv("SONVALE_SIM_ANALOG");
    UsbSim::reset();
    UsbSim::setBlock(blockOf(fullVolume));
    // Under wine the data folder is the prefix's own, whatever
    // XDG_DATA_HOME says: the simulated DAC's history there starts empty.
    QDir(history()).removeRecursively();
    QFile::remove(history());
    engine = new ThdEngine(0x2FC6, 0x6013);
    engine->moveToThread(&thread);
    thread.start();
}

void TestThdEngine::cleanup()
{
    QSignalSpy finished(engine, &ThdEngine::finished);
    QMetaObject::invokeMethod(engine, "shutdown", Qt::QueuedConnection);
    QVERIFY(arrived(finished, 0));
    thread.quit();
    thread.wait();
    delete engine;
    engine = nullptr;
    // No libusb context or handle is left behind by the engine.
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::liveContexts(), 0);
    qunsetenv("SONVALE_SIM_ANALOG");
    QDir(history()).removeRecursively();
    QFile::remove(history());
}

// The engine's thread may emit before the spy starts waiting: the count
// tells, not wait() alone. The bound only keeps a hung engine from hanging
// the suite.
bool TestThdEngine::arrived(QSignalSpy& spy, int before)
{
    QDeadlineTimer deadline(300000);
    while (spy.count() == before && !deadline.hasExpired())
        spy.wait(100);
    return spy.count() > before;
}

bool TestThdEngine::call(const char* slot, QSignalSpy& spy)
{
    const int before = spy.count();
    QMetaObject::invokeMethod(engine, slot, Qt::QueuedConnection);
    return arrived(spy, before);
}

bool TestThdEngine::call(const char* slot, const ThdEngine::Request& request, QSignalSpy& spy)
{
    const int before = spy.count();
    QMetaObject::invokeMethod(engine, slot, Qt::QueuedConnection, Q_ARG(ThdEngine::Request, request));
    return arrived(spy, before);
}

bool TestThdEngine::connectEngine()
{
    QSignalSpy connection(engine, &ThdEngine::connection);
    if (!call("connectDac", connection) || !connection.first().at(0).toBool())
        return false;
    UsbSim::clearLog();
    return true;
}

QString TestThdEngine::history() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + "/sonvale/history/2fc6-6013-SV9038-0001";
}

// The commands of the history's entries, oldest first; each entry holds
// the block kept (checked by the tests that need it).
QStringList TestThdEngine::historyCommands() const
{
    QStringList commands;
    const QStringList files = QDir(history()).entryList({"*.sonvale"}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
        const QByteArray text = readFile(QDir(history()).filePath(file)).mid(50);
        const int at = text.indexOf("command: ");
        commands << QString::fromUtf8(text.mid(at + 9).split('\n').first());
    }
    return commands;
}

// What the window says about the DAC: connected by name, or why not, and
// whether another program holds it (so that "Try again" makes sense).
void TestThdEngine::connectDac_data()
{
    QTest::addColumn<std::function<void()>>("fault");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("inUse");

    QTest::newRow("connected") << std::function<void()>([] {}) << true
                               << "Connected to the DAC 2fc6:6013 (SV9038-0001)" << false;
#ifndef Q_OS_WIN   // only Linux claims the interface (from the kernel's HID driver)
    QTest::newRow("held by another program")
        << std::function<void()>([] { UsbSim::failClaim(LIBUSB_ERROR_BUSY); }) << false
        << "The DAC 2fc6:6013 is in use by another program, such as Sonvale's window: close it, then try again. "
           "(The read was incomplete: 12 of the 12 windows did not arrive (at 0, 4, 8, 12, 16, 20, 24, 28, 32, "
           "36, 40, 44); its interface 0 could not be claimed (LIBUSB_ERROR_BUSY): is another program, such as "
           "Sonvale's window, using the DAC?)"
        << true;
#endif
    QTest::newRow("not plugged in") << std::function<void()>([] { UsbSim::setDevices({}); }) << false
                                    << "No DAC 2fc6:6013 is connected" << false;
}

void TestThdEngine::connectDac()
{
    QFETCH(std::function<void()>, fault);
    QFETCH(bool, open);
    QFETCH(QString, message);
    QFETCH(bool, inUse);

    fault();
    QSignalSpy connection(engine, &ThdEngine::connection);
    QVERIFY(call("connectDac", connection));
    QCOMPARE(connection.count(), 1);
    QCOMPARE(connection.first().at(1).toString(), message);
    QCOMPARE(connection.first().at(0).toBool(), open);
    QCOMPARE(connection.first().at(2).toBool(), inUse);
    // Connecting reads; it never writes.
    QCOMPARE(writes(), QStringList());
    if (open) {
        for (int i = 0; i < 12; ++i)
            QCOMPARE(sentRequests().at(i), QString::asprintf("04 %02X 04 00 00 00 00", i * 4));
    }
}

// The simulated DAC's own output is found as sonvalectl finds it, and the
// interface is the default input.
void TestThdEngine::listDevices()
{
    QVERIFY(connectEngine());
    QSignalSpy listed(engine, &ThdEngine::devicesListed);
    QVERIFY(listed.isValid());
    QVERIFY(call("listDevices", listed));
    const auto devices = listed.first().at(0).value<QList<ThdEngine::Device>>();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices[0].name, QString("Sonvale ES9038 USB DAC: USB Audio"));
    QVERIFY(devices[0].dac);
    QCOMPARE(devices[1].name, QString("Sonvale loopback interface"));
    QVERIFY(!devices[1].dac);
    QCOMPARE(listed.first().at(1).toInt(), 0);
    QCOMPARE(listed.first().at(2).toInt(), 1);
}

// One measurement: the figures the analog model gives, the spectrum's
// harmonics where the analysis puts them, and nothing sent but the read of
// the volumes.
void TestThdEngine::measure_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<double>("levelDbfs");
    QTest::addColumn<double>("volumeDb");

    QTest::newRow("defaults") << QString() << fullVolume << -3.0 << 0.0;
    QTest::newRow("swapped, other coefficients")
        << QString("h2l=-3e-5,h3l=1e-5,h2r=2.2e-5,h3r=-1.8e-5,map=swapped") << fullVolume << -6.0 << 0.0;
    // The factory volume, -12.5 dB, lowers what the interface should see.
    QTest::newRow("factory volume") << QString() << factory << -3.0 << -12.5;
}

void TestThdEngine::measure()
{
    QFETCH(QString, analog);
    QFETCH(QByteArray, block);
    QFETCH(double, levelDbfs);
    QFETCH(double, volumeDb);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    UsbSim::setBlock(blockOf(block));
    QVERIFY(connectEngine());
    ThdEngine::Request request;
    request.levelDbfs = levelDbfs;
    QSignalSpy measured(engine, &ThdEngine::measured);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QVERIFY(call("measure", request, measured));
    const ThdReport report = measured.first().at(0).value<ThdReport>();

    QCOMPARE(sentRequests(), QStringList{"04 04 04 00 00 00 00"});
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().at(0).toString(), QString("Measuring, capture 1 of 1"));
    QCOMPARE(report.kind, ThdReport::Kind::Measurement);
    QCOMPARE(report.outcome, ThdSolver::Outcome::Improved);
    QVERIFY(report.findings.isEmpty());
    QVERIFY(report.failure.isEmpty());
    QVERIFY(report.after.isEmpty());
    QCOMPARE(report.outputDevice, QString("0 \"Sonvale ES9038 USB DAC: USB Audio\""));
    QCOMPARE(report.inputDevice, QString("1 \"Sonvale loopback interface\""));
    const double played = std::min(levelDbfs, 0.0);
    QCOMPARE(report.levelDbfs, played);
    QCOMPARE(report.expectedLevelDbfs.size(), std::size_t(2));
    QCOMPARE(report.expectedLevelDbfs[0], played + volumeDb);
    // The block for "Save as preset…" is the DAC's.
    QVERIFY(report.blockKnown);
    QCOMPARE(bytesOf(report.block.data(), 48), block);
    QCOMPARE(report.values, valuesIn(block));

    const Model model = modelOf(analog);
    const double amplitude = std::pow(10.0, (played + volumeDb) / 20);
    const ThdCapture& capture = report.before;
    QCOMPARE(capture.analysis.channels.size(), std::size_t(2));
    QCOMPARE(capture.spectra.size(), std::size_t(2));
    QCOMPARE(capture.binHz, 1.0);
    QCOMPARE(capture.spectra[0].size(), std::size_t(24001));
    for (int output = 0; output < 2; ++output) {
        const ChannelAnalysis& channel = capture.analysis.channels[std::size_t(output)];
        QVERIFY(std::abs(channel.levelDbfs - (played + volumeDb)) < 0.05);
        const std::vector<float>& spectrum = capture.spectra[std::size_t(output)];
        // The tone sits on bin 997 (1 Hz bins): its level is the peak's.
        QVERIFY2(std::abs(spectrum[997] - channel.levelDbfs) < 0.1,
                 qPrintable(QString("%1 against %2").arg(spectrum[997]).arg(channel.levelDbfs)));
        for (int order = 2; order <= 3; ++order) {
            const double expected = model.harmonic(output, order, amplitude);
            const double dbc = channel.harmonicDbc(order);
            QVERIFY2(std::abs(dbc - dbOf(expected)) < 0.5,
                     qPrintable(QString("H%1 %2 dBc, model %3").arg(order).arg(dbc).arg(dbOf(expected))));
            const double phase = channel.harmonicPhaseDeg(order);
            QVERIFY2(std::abs(std::abs(phase) - (expected > 0 ? 0 : 180)) < 5, qPrintable(QString::number(phase)));
            // The harmonic's bin reads its level in dBFS: the fundamental's
            // plus its dBc.
            const float bin = spectrum[std::size_t(997 * order)];
            QVERIFY2(std::abs(bin - (channel.levelDbfs + dbc)) < 0.5,
                     qPrintable(QString("H%1's bin %2 dBFS, analysis %3").arg(order).arg(bin).arg(channel.levelDbfs + dbc)));
        }
        // Away from the harmonics, the noise floor (-130 dBFS of white
        // noise, spread over 24000 bins).
        QVERIFY2(spectrum[1500] < -150, qPrintable(QString::number(spectrum[1500])));
    }
    QCOMPARE(dacBlock(), block);
}

// Captures with a problem: said in words with what to do, no figures taken
// as the DAC's, nothing written.
void TestThdEngine::measureFindings_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<double>("levelDbfs");
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QStringList>("findings");

    const QString noSignal = "No signal reached the input: connect the DAC's output to the interface's input and "
                             "choose that input.";
    const QString clipping = "The input clips: turn the level down or the interface's input gain down.";
    const QString dropout = "Samples were lost during the capture: close other audio programs and measure again.";
    const QString weak =
        "The tone arrives so low that the input's noise hides the harmonics: raise the "
        "interface's input gain.";
    QTest::newRow("cable come loose") << QString("input=silent") << -3.0 << true << QStringList{noSignal};
    // More than full scale is played at full scale, which the input clips.
    QTest::newRow("above full scale") << QString() << 3.0 << true << QStringList{clipping};
    QTest::newRow("dropout") << QString("dropout=0.5") << -3.0 << true << QStringList{dropout};
    // The interface's input gain turned far down: its noise covers the
    // harmonics, whatever level arrives.
    QTest::newRow("weak signal") << QString("gain=-50,noise=-120") << -3.0 << false
                                 << QStringList{weak};
}

void TestThdEngine::measureFindings()
{
    QFETCH(QString, analog);
    QFETCH(double, levelDbfs);
    QFETCH(bool, connect);
    QFETCH(QStringList, findings);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    if (connect) {
        QVERIFY(connectEngine());
    } else {
        UsbSim::setBlock(VirtualDac::factoryBlock());
    }
    ThdEngine::Request request;
    request.levelDbfs = levelDbfs;
    request.output = 0;
    QSignalSpy measured(engine, &ThdEngine::measured);
    QVERIFY(call("measure", request, measured));
    const ThdReport report = measured.first().at(0).value<ThdReport>();
    QCOMPARE(report.outcome, ThdSolver::Outcome::Failed);
    QCOMPARE(report.findings.join("\n"), findings.join("\n"));
    QCOMPARE(report.levelDbfs, std::min(levelDbfs, 0.0));
    QCOMPARE(report.blockKnown, connect);
    QCOMPARE(writes(), QStringList());
    QCOMPARE(dacBlock(), connect ? fullVolume : factory);
}

// A tuning: the values the engine chose are the model's nulls and are what
// the DAC holds; only THD windows were written; before and after reported;
// each capture announced in words; the history keeps the block from before,
// and undo puts it back.
void TestThdEngine::tune_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QStringList>("steps");

    // thd_range2 moves nothing: its probe is tried again with a larger step.
    // The interface's noise far down, so that the first values solved for
    // already lie within half a unit of the null: no refinement follows,
    // whatever the noise drew.
    const QStringList straight{
        "Measuring the start, capture 1 of 7",
        "Probing thd_range0 (the 2nd and 3rd harmonic), capture 2 of 7",
        "Probing thd_range1 (the 2nd and 3rd harmonic), capture 3 of 7",
        "Probing thd_range2 (the 2nd and 3rd harmonic), capture 4 of 7",
        "Probing thd_range2 again with a larger step, capture 5 of 8",
        "Probing thd_range2 again with a larger step, capture 6 of 9",
        "Measuring the values found, capture 7 of 9",
    };
    QTest::newRow("straight") << QString("noise=-170") << straight;
    QTest::newRow("swapped") << QString("noise=-170,map=swapped") << straight;
}

void TestThdEngine::tune()
{
    QFETCH(QString, analog);
    QFETCH(QStringList, steps);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QSignalSpy undoAvailable(engine, &ThdEngine::undoAvailable);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();

    QStringList said;
    for (const QList<QVariant>& step : progress) {
        said << step.at(0).toString();
        QVERIFY(step.at(1).toInt() <= step.at(2).toInt());
    }
    QCOMPARE(said, steps);
    QCOMPARE(report.kind, ThdReport::Kind::Tuning);
    QCOMPARE(report.outcome, ThdSolver::Outcome::Improved);
    QVERIFY2(report.failure.isEmpty(), qPrintable(report.failure));
    QCOMPARE(report.captures, steps.size());

    // The values found null the model's distortion; the DAC holds them.
    const Model model = modelOf(analog);
    QVERIFY(report.valuesKnown);
    QCOMPARE(report.start, valuesIn(fullVolume));
    QCOMPARE(valuesIn(dacBlock()), report.values);
    QCOMPARE(bytesOf(report.block.data(), 48), dacBlock());
    for (int pair = 0; pair < 2; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const double optimum = model.optimum(pair, which);
            const int value = report.values.pairs[std::size_t(pair)][std::size_t(which)];
            QVERIFY2(std::abs(value - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                     qPrintable(QString("thd_range%1[%2]=%3, optimum %4").arg(pair).arg(which).arg(value).arg(optimum)));
        }
    }
    QCOMPARE(report.values.pairs[2], valuesIn(fullVolume).pairs[2]);
    QCOMPARE(report.drives[0], std::vector<int>{model.swapped ? 1 : 0});
    QCOMPARE(report.drives[1], std::vector<int>{model.swapped ? 0 : 1});
    QCOMPARE(report.drives[2], std::vector<int>());

    // The whole block read first, then only the THD ranges written, each
    // in its own window, and read back.
    const QStringList sent = sentRequests();
    for (int i = 0; i < 12; ++i)
        QCOMPARE(sent.at(i), QString::asprintf("04 %02X 04 00 00 00 00", i * 4));
    for (const QString& line : sent.mid(12)) {
        QVERIFY2(line.startsWith("03 0A 04 ") || line.startsWith("03 0E 04 ") || line.startsWith("03 12 04 ")
                     || line.startsWith("04 08 04 ") || line.startsWith("04 0C 04 ") || line.startsWith("04 10 04 ")
                     || line.startsWith("04 14 04 "),
                 qPrintable(line));
    }

    // Before and after, with their spectra: H2 and H3 fall far.
    QVERIFY(!report.before.isEmpty());
    QVERIFY(!report.after.isEmpty());
    QCOMPARE(report.after.spectra.size(), std::size_t(2));
    for (std::size_t output = 0; output < 2; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const double before = report.before.analysis.channels[output].harmonicDbc(order);
            const double after = report.after.analysis.channels[output].harmonicDbc(order);
            QVERIFY2(after < std::min(before - 10, -135.0), qPrintable(QString("H%1 %2 -> %3").arg(order).arg(before).arg(after)));
            const double model = dbOf(Model(modelOf(analog)).harmonic(int(output), order, std::pow(10.0, -3.0 / 20)));
            QVERIFY(std::abs(before - model) < 0.5);
        }
    }

    // Kept before anything changed; undo writes it back whole and says so.
    QCOMPARE(historyCommands(), QStringList{"sonvale-thd tune"});
    QCOMPARE(undoAvailable.count(), 1);
    QCOMPARE(undoAvailable.first().at(0).toBool(), true);
    QSignalSpy undone(engine, &ThdEngine::undone);
    UsbSim::clearLog();
    QVERIFY(call("undo", undone));
    QCOMPARE(undone.first().at(1).toString(), QString("The settings held before the last tuning are back on the DAC."));
    QCOMPARE(undone.first().at(0).toBool(), true);
    QCOMPARE(dacBlock(), fullVolume);
    QCOMPARE(historyCommands(), (QStringList{"sonvale-thd tune", "sonvale-thd undo"}));
    QStringList undoWrites;
    for (int address = 0; address < 48; address += 4)
        undoWrites << "03 " + spacedHex(QByteArray(1, char(address))) + " 04 " + spacedHex(fullVolume.mid(address, 4));
    undoWrites << "05 00 00 00 00 00 00";   // the commit
    QCOMPARE(writes(), undoWrites);
    QCOMPARE(undoAvailable.last().at(0).toBool(), false);

    // Nothing left to undo.
    undone.clear();
    QVERIFY(call("undo", undone));
    QCOMPARE(undone.first().at(0).toBool(), false);
    QCOMPARE(undone.first().at(1).toString(), QString("No tuning of this session to undo."));
}

// What sonvalectl thd-map does: which pair moves each output at 0, -15 and
// -35 dB, the block kept in the history first, each volume set in turn and
// the one held put back last, the values as they were.
void TestThdEngine::map_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<QVector<int>>("pairs"); // the left's and the right's at each volume
    // At -35 dB a probe's first step moves H2 by about ten times the noise
    // of -140 dBFS, where the solver's threshold lies: the interface's
    // noise lies lower, so that each output's pair is found every time.

    QTest::newRow("straight") << QString("noise=-150") << QVector<int>{0, 1, 0, 1, 0, 1};
    QTest::newRow("the pairs follow the volume")
        << QString("noise=-150,map=volume") << QVector<int>{2, 2, 1, 1, 0, 0};
}

void TestThdEngine::map()
{
    QFETCH(QString, analog);
    QFETCH(QVector<int>, pairs);
    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    UsbSim::setBlock(blockOf(factory));
    QVERIFY(connectEngine());
    QSignalSpy mapped(engine, &ThdEngine::mapped);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QVERIFY(call("map", ThdEngine::Request(), mapped));
    const ThdReport report = mapped.first().at(0).value<ThdReport>();

    QCOMPARE(report.kind, ThdReport::Kind::Map);
    QVERIFY2(report.failure.isEmpty(), qPrintable(report.failure));
    QCOMPARE(report.outcome, ThdSolver::Outcome::Improved);
    QVector<int> found;
    QVector<double> volumes;
    for (const ThdReport::PairsAt& at : report.map) {
        volumes << at.volumeDb;
        found << QVector<int>(at.pairs.begin(), at.pairs.end());
    }
    QCOMPARE(volumes, (QVector<double>{0, -15, -35}));
    QCOMPARE(found, pairs);
    QVERIFY(report.restored);
    QVERIFY(report.volumeRestored);
    QCOMPARE(dacBlock(), factory);
    QCOMPARE(historyCommands(), QStringList{"sonvale-thd map"});
    // 0 dB, -15 dB (0x1E), -35 dB (0x46), and the -12.5 dB held (0x19).
    QCOMPARE(writes().filter(QRegularExpression("^06 ")),
             (QStringList{"06 00 02 00 00 00 00", "06 00 02 1E 1E 00 00", "06 00 02 46 46 00 00",
                          "06 00 02 19 19 00 00"}));
    // Counted across the volumes, ending where the count planned.
    QCOMPARE(progress.first().at(0).toString(),
             QString("At 0.0 dB: Measuring the start, capture 1 of 12"));
    QCOMPARE(progress.last().at(1).toInt(), progress.last().at(2).toInt());
    QCOMPARE(progress.last().at(1).toInt(), report.captures);
}

// A tuning that finds nothing to keep says why and leaves the DAC as it
// was: a silent input writes nothing at all; a distortion no value can
// null is probed and then written back.
void TestThdEngine::tuneNothingKept_data()
{
    QTest::addColumn<QString>("analog");
    QTest::addColumn<ThdSolver::Outcome>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("findings");
    QTest::addColumn<bool>("wrote");

    QTest::newRow("silent input")
        << QString("input=silent") << ThdSolver::Outcome::Failed
        << "The capture at the start values: no signal"
        << QStringList{"No signal reached the input: connect the DAC's output to the interface's input "
                       "and choose that input."}
        << false;
    QTest::newRow("the interface's own distortion dominates")
        << QString("adc2=5e-3") << ThdSolver::Outcome::NotImproved
        << "The values that would null it lie beyond their range: the distortion measured is most likely not the "
           "DAC's (the audio interface's own, or an overloaded input)"
        << QStringList() << true;
    // The interface's input knob turned 3 dB down after the first capture:
    // the path gain it fixed no longer holds.
    const QString moved = "The level at the input changed by 3.0 dB since the first capture: was a "
                          "knob or cable moved?";
    QTest::newRow("a knob turned") << QString("adcgain=0,-3") << ThdSolver::Outcome::Failed << moved
                                   << QStringList{"Left: " + moved, "Right: " + moved} << true;
}

void TestThdEngine::tuneNothingKept()
{
    QFETCH(QString, analog);
    QFETCH(ThdSolver::Outcome, outcome);
    QFETCH(QString, reason);
    QFETCH(QStringList, findings);
    QFETCH(bool, wrote);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();
    QCOMPARE(report.outcome, outcome);
    QCOMPARE(report.failure.isEmpty() ? report.reason : report.failure, reason);
    QCOMPARE(report.findings, findings);
    QVERIFY(report.after.isEmpty());
    QCOMPARE(report.wrote, wrote);
    QVERIFY(report.restored);
    QCOMPARE(report.values, valuesIn(fullVolume));
    QCOMPARE(dacBlock(), fullVolume);
    if (!wrote)
        QCOMPARE(writes(), QStringList());
}

// A tuning that cannot start sends nothing that changes the DAC.
void TestThdEngine::tuneRefused_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("analog");
    QTest::addColumn<bool>("blockHistory");
    QTest::addColumn<ThdEngine::Request>("request");
    QTest::addColumn<QString>("message");

    const ThdEngine::Request plain;
    QTest::newRow("not connected") << false << QString() << false << plain
                                   << "The DAC is not connected: connect it before tuning.";
    QTest::newRow("history cannot be kept")
        << true << QString() << true << plain
        << "The DAC's settings cannot be kept in its history, so the DAC was left as it was: ";
    QTest::newRow("audio refused")
        << true << QString("k2=much") << false << plain
        << "The audio system cannot start: SONVALE_SIM_ANALOG: bad value 'much' for k2";
    ThdEngine::Request third = plain;
    third.inputChannels = {0, 2};
    ThdEngine::Request quiet = plain;
    quiet.volumeDb = -130;
    QTest::newRow("a volume the block does not hold")
        << true << QString() << false << quiet
        << "The DAC's block holds no volume of -130.0 dB: from -127.5 dB to 0 dB in steps of 0.5 dB.";
    QTest::newRow("an input the interface lacks")
        << true << QString() << false << third
        << "The input device 1 \"Sonvale loopback interface\" has 2 inputs, not 3";
}

void TestThdEngine::tuneRefused()
{
    QFETCH(bool, connect);
    QFETCH(QString, analog);
    QFETCH(bool, blockHistory);
    QFETCH(ThdEngine::Request, request);
    QFETCH(QString, message);

    qputenv("SONVALE_SIM_ANALOG", analog.toUtf8());
    if (connect)
        QVERIFY(connectEngine());
    if (blockHistory) {
        // A file where the DAC's history folder should be: no folder can be
        // made there.
        QVERIFY(QDir().mkpath(QFileInfo(history()).path()));
        QVERIFY(writeFile(history(), "not a folder"));
    }
    QSignalSpy failed(engine, &ThdEngine::failed);
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy undoAvailable(engine, &ThdEngine::undoAvailable);
    QVERIFY(call("tune", request, failed));
    QVERIFY2(failed.first().at(0).toString().startsWith(message), qPrintable(failed.first().at(0).toString()));
    QCOMPARE(tuned.count(), 0);
    QCOMPARE(undoAvailable.count(), 0);
    QCOMPARE(writes(), QStringList());
    QCOMPARE(dacBlock(), fullVolume);
}

// Cancel, and closing the window (cancel, then shutdown), during a tuning:
// the values held before are written back, checked, and said so.
void TestThdEngine::stopMidTune_data()
{
    QTest::addColumn<bool>("shutdown");
    QTest::addColumn<int>("atCapture");

    QTest::newRow("cancel while probing") << false << 3;
    QTest::newRow("cancel while refining") << false << 6;
    QTest::newRow("window closed while probing") << true << 3;
}

void TestThdEngine::stopMidTune()
{
    QFETCH(bool, shutdown);
    QFETCH(int, atCapture);

    QVERIFY(connectEngine());
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy finished(engine, &ThdEngine::finished);
    QSignalSpy progress(engine, &ThdEngine::progress);
    // Straight into the engine, as the window's Cancel does, but on the
    // engine's thread as the capture is announced, so that the capture it
    // stops is known.
    connect(
        engine, &ThdEngine::progress, this,
        [&](const QString&, int capture, int) {
            if (capture != atCapture)
                return;
            engine->cancel();
            if (shutdown)
                QMetaObject::invokeMethod(engine, "shutdown", Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    QVERIFY(call("tune", ThdEngine::Request(), tuned));
    const ThdReport report = tuned.first().at(0).value<ThdReport>();
    QVERIFY(report.cancelled);
    QCOMPARE(report.failure, QString("The tuning was cancelled."));
    QCOMPARE(report.outcome, ThdSolver::Outcome::Failed);
    QVERIFY(report.wrote);
    QVERIFY(report.restored);
    QVERIFY(report.restoreError.isEmpty());
    QCOMPARE(report.values, valuesIn(fullVolume));
    // No capture after the one under way when cancelled.
    QCOMPARE(progress.last().at(1).toInt(), atCapture);
    QCOMPARE(dacBlock(), fullVolume);
    // The last write puts back what the last probe or solve changed.
    const QStringList sent = writes();
    QVERIFY(!sent.isEmpty());
    const QString last = sent.last();
    const int address = last.mid(3, 2).toInt(nullptr, 16);
    QCOMPARE(last, "03 " + spacedHex(QByteArray(1, char(address))) + " 04 " + spacedHex(fullVolume.mid(address, 4)));
    if (shutdown) {
        QVERIFY(arrived(finished, 0));
        QCOMPARE(UsbSim::liveHandles(), 0);
    }
}

// The window closed, or Cancel pressed, while a tuning is still queued
// behind a slow request: the tuning never starts. Closing asks the thread
// to stop, and nothing is said; Cancel says the tuning was cancelled.
void TestThdEngine::stoppedWhileQueued_data()
{
    QTest::addColumn<bool>("closing");
    QTest::newRow("the window closed") << true;
    QTest::newRow("Cancel pressed") << false;
}

void TestThdEngine::stoppedWhileQueued()
{
    QFETCH(bool, closing);
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QSignalSpy failed(engine, &ThdEngine::failed);
    QSignalSpy progress(engine, &ThdEngine::progress);
    QSignalSpy finished(engine, &ThdEngine::finished);
    // Connecting reads twelve windows, a tenth of a second each at least:
    // the tuning queued behind it cannot have begun when the window closes
    // (the connection itself may or may not have).
    QMetaObject::invokeMethod(engine, "connectDac", Qt::QueuedConnection);
    QMetaObject::invokeMethod(engine, "tune", Qt::QueuedConnection, Q_ARG(ThdEngine::Request, ThdEngine::Request()));
    engine->cancel();
    if (closing) {
        thread.requestInterruption();
        QMetaObject::invokeMethod(engine, "shutdown", Qt::QueuedConnection);
        QVERIFY(arrived(finished, 0));
        QCOMPARE(tuned.count(), 0);
    } else {
        QVERIFY(arrived(tuned, 0));
        const ThdReport report = tuned.first().at(0).value<ThdReport>();
        QVERIFY(report.cancelled);
        QCOMPARE(report.failure, QString("The tuning was cancelled."));
        QVERIFY(!report.wrote);
        QCOMPARE(report.values, valuesIn(fullVolume));
    }
    QCOMPARE(failed.count() + progress.count(), 0);
    QCOMPARE(writes(), QStringList());
    QCOMPARE(historyCommands(), QStringList());
    QCOMPARE(dacBlock(), fullVolume);
}

// The DAC pulled out: the window hears that it left, and whether the values
// could be put back; no report is taken as a measurement's or a tuning's,
// and the next request finds no DAC.
void TestThdEngine::unplugged_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("answers");   // the DAC leaves after this many; 0: before the request
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("history");

    QTest::newRow("before a measurement") << QByteArray("measure") << 0
                                          << "The DAC was disconnected; nothing was measured." << QStringList();
    QTest::newRow("before a tuning") << QByteArray("tune") << 0
                                     << "The DAC was disconnected before the tuning began; nothing was changed."
                                     << QStringList();
    // The block's twelve reads, then three writes of the probes.
    QTest::newRow("mid-tune") << QByteArray("tune") << 15
                              << "The DAC was disconnected during the tuning; the values held before could not be "
                                 "put back. Once it is plugged in again, connect it and press Undo (or run "
                                 "'sonvalectl undo') to put them back."
                              << QStringList{"sonvale-thd tune"};
}

void TestThdEngine::unplugged()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, answers);
    QFETCH(QString, message);
    QFETCH(QStringList, history);

    QVERIFY(connectEngine());
    if (answers == 0)
        UsbSim::unplug();
    else
        UsbSim::unplugAfterAnswers(answers);
    QSignalSpy disconnected(engine, &ThdEngine::disconnected);
    QSignalSpy measured(engine, &ThdEngine::measured);
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QVERIFY(call(slot.constData(), ThdEngine::Request(), disconnected));
    QCOMPARE(disconnected.first().at(0).toString(), message);
    QCOMPARE(measured.count() + tuned.count(), 0);
    QCOMPARE(historyCommands(), history);
    QSignalSpy failed(engine, &ThdEngine::failed);
    QVERIFY(call("tune", ThdEngine::Request(), failed));
    QCOMPARE(failed.first().at(0).toString(), QString("The DAC is not connected: connect it before tuning."));
}

// Cancel abandons a capture under way, long or not: a two-minute capture,
// as long as a refinement's longest, ends with a cancelled report and no
// figures.
void TestThdEngine::cancelLongCapture()
{
    QVERIFY(connectEngine());
    ThdEngine::Request request;
    request.seconds = 120;
    QSignalSpy measured(engine, &ThdEngine::measured);
    connect(engine, &ThdEngine::progress, this, [&] { engine->cancel(); });
    QVERIFY(call("measure", request, measured));
    const ThdReport report = measured.first().at(0).value<ThdReport>();
    QVERIFY(report.cancelled);
    QCOMPARE(report.failure, QString("The measurement was cancelled."));
    QVERIFY(report.before.isEmpty());
    QCOMPARE(writes(), QStringList());
}

// Cancel while a capture on a path paced at the wall clock is under way:
// the run ends cancelled, and puts back exactly what it changed, the
// volume last.
void TestThdEngine::cancelPaced_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QStringList>("written"); // patterns of the requests that change the DAC

    // The factory block holds -12.5 dB (0x19) and thd_range0 -300, 260.
    QTest::newRow("a tuning at -15 dB, probing thd_range0")
        << QByteArray("tune") << QString("The tuning was cancelled.")
        << QStringList{"06 00 02 1E 1E 00 00", "03 0A 04 .*", "03 0A 04 FE D4 01 04",
                       "06 00 02 19 19 00 00"};
    // The map's first volume is 0 dB.
    QTest::newRow("a map, probing thd_range0 at 0 dB")
        << QByteArray("map") << QString("The map was cancelled.")
        << QStringList{"06 00 02 00 00 00 00", "03 0A 04 .*", "03 0A 04 FE D4 01 04",
                       "06 00 02 19 19 00 00"};
}

void TestThdEngine::cancelPaced()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, failure);
    QFETCH(QStringList, written);
    qputenv("SONVALE_SIM_ANALOG", "pace=realtime");
    UsbSim::setBlock(blockOf(factory));
    QVERIFY(connectEngine());
    ThdEngine::Request request;
    request.seconds = 4;
    request.volumeDb = -15;
    // A second into the second capture, which takes four.
    QTimer later;
    later.setSingleShot(true);
    connect(&later, &QTimer::timeout, this, [this] { engine->cancel(); });
    connect(engine, &ThdEngine::progress, &later, [&later](const QString&, int capture) {
        if (capture == 2)
            later.start(1000);
    });
    QSignalSpy done(engine, slot == "map" ? &ThdEngine::mapped : &ThdEngine::tuned);
    QVERIFY(call(slot.constData(), request, done));
    const ThdReport report = done.first().at(0).value<ThdReport>();
    QVERIFY(report.cancelled);
    QCOMPARE(report.failure, failure);
    QVERIFY(report.restored);
    QVERIFY(report.volumeRestored);
    QCOMPARE(report.values, valuesIn(factory));
    QCOMPARE(dacBlock(), factory);
    const QStringList sent = writes();
    QCOMPARE(sent.size(), written.size());
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY2(QRegularExpression("^" + written[i] + "$").match(sent[i]).hasMatch(),
                 qPrintable(sent.join(" | ")));
    }
}

QTEST_GUILESS_MAIN(TestThdEngine)
#include "tst_thdengine.moc"
