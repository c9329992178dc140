// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the engine's suites share: the engine on a worker thread as the
// window drives it (queued calls in, signals out) on the simulated DAC and
// analog path, its history in a folder of its own, and the model of the
// path, the requests the DAC received and the blocks it holds to check it
// against.

#include "thd/thdengine.h"

#include "settings/settingsblock.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <functional>

Q_DECLARE_METATYPE(std::function<void()>)
Q_DECLARE_METATYPE(ThdSolver::Outcome)
Q_DECLARE_METATYPE(ThdConnection::State)

namespace EngineTests {

using namespace TestBytes;

// What a progress() says, as data in few words: "tune probe 2 attempt 1, 5
// of 8", "map at -15.0 dB start, 5 of 12", "measure new gain, 2 of 2".
inline QString stepData(const QVariant& told)
{
    const ThdStep step = told.value<ThdStep>();
    static const char* const requests[] = {"measure", "tune", "map", "sweep"};
    QString text = QString::fromLatin1(requests[int(step.request)]);
    if (step.volumeDb)
        text += QString(" at %1 dB").arg(*step.volumeDb, 0, 'f', 1);
    if (step.newGain)
        text += " new gain";
    if (step.request == ThdStep::Request::Tune || step.request == ThdStep::Request::Map) {
        static const char* const purposes[] = {"start", "probe", "solved", "refine"};
        text += QString(" ") + purposes[int(step.solver.purpose)];
        if (step.solver.purpose == ThdSolver::Step::Purpose::Probe)
            text += QString(" %1").arg(step.solver.pair);
        if (step.solver.attempt > 0)
            text += QString(" attempt %1").arg(step.solver.attempt);
        if (step.solver.round > 0)
            text += QString(" round %1").arg(step.solver.round);
    }
    return text + QString(", %1 of %2").arg(step.capture).arg(step.captures);
}

inline const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
// Both channels at 0 dB (attenuation 0 between max 0 and min 255).
inline const QByteArray fullVolume = patched(factory, 4, "00 00");

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

inline Model modelOf(const QString& analog)
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
inline QStringList sentRequests()
{
    QStringList lines;
    for (const UsbSim::Transfer& transfer : UsbSim::transfers()) {
        if (transfer.requestType == 0x21 && transfer.request == 0x09)
            lines << spacedHex(bytesOf(transfer.data));
    }
    return lines;
}

inline QStringList writes()
{
    QStringList lines;
    for (const QString& line : sentRequests()) {
        if (!line.startsWith("04 "))
            lines << line;
    }
    return lines;
}

inline ThdValues valuesIn(const QByteArray& block)
{
    const SettingsBlock settings = SettingsBlock::fromDeviceBytes(reinterpret_cast<const uint8_t*>(block.constData()));
    ThdValues values;
    const int16_t* pairs[] = {settings.thd_range0, settings.thd_range1, settings.thd_range2};
    for (std::size_t pair = 0; pair < 3; ++pair)
        values.pairs[pair] = {pairs[pair][0], pairs[pair][1]};
    return values;
}

inline QByteArray dacBlock()
{
    return bytesOf(UsbSim::block());
}

inline double dbOf(double ratio)
{
    return 20 * std::log10(std::abs(ratio));
}

} // namespace EngineTests

// The fixture: a fresh engine on its thread for each test, shut down and
// checked for libusb handles left behind after it.
class EngineTest : public QObject {
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    // Waits for `spy` to see a signal after `before` of them; false when
    // none came.
    bool arrived(QSignalSpy& spy, int before);
    // Runs `slot` on the engine's thread and waits for `spy` to see a
    // signal; false when none came.
    bool call(const char* slot, QSignalSpy& spy);
    bool call(const char* slot, const ThdEngine::Request& request, QSignalSpy& spy);
    bool connectEngine();
    QString history() const;
    QStringList historyCommands() const;

    QScopedPointer<QTemporaryDir> data;
    QThread thread;
    ThdEngine* engine = nullptr;
};

inline void EngineTest::init()
{
    data.reset(new QTemporaryDir);
    qputenv("XDG_DATA_HOME", QFile::encodeName(data->filePath("data")));
    qunsetenv("SONVALE_SIM_ANALOG");
    UsbSim::reset();
    UsbSim::setBlock(TestBytes::blockOf(EngineTests::fullVolume));
    // Under wine the data folder is the prefix's own, whatever
    // XDG_DATA_HOME says: the simulated DAC's history there starts empty.
    QDir(history()).removeRecursively();
    QFile::remove(history());
    engine = new ThdEngine(0x2FC6, 0x6013);
    engine->moveToThread(&thread);
    thread.start();
}

inline void EngineTest::cleanup()
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
inline bool EngineTest::arrived(QSignalSpy& spy, int before)
{
    QDeadlineTimer deadline(300000);
    while (spy.count() == before && !deadline.hasExpired())
        spy.wait(100);
    return spy.count() > before;
}

inline bool EngineTest::call(const char* slot, QSignalSpy& spy)
{
    const int before = spy.count();
    QMetaObject::invokeMethod(engine, slot, Qt::QueuedConnection);
    return arrived(spy, before);
}

inline bool EngineTest::call(const char* slot, const ThdEngine::Request& request, QSignalSpy& spy)
{
    const int before = spy.count();
    QMetaObject::invokeMethod(engine, slot, Qt::QueuedConnection, Q_ARG(ThdEngine::Request, request));
    return arrived(spy, before);
}

inline bool EngineTest::connectEngine()
{
    QSignalSpy connection(engine, &ThdEngine::connection);
    if (!call("connectDac", connection) || !connection.first().at(0).value<ThdConnection>().open())
        return false;
    UsbSim::clearLog();
    return true;
}

inline QString EngineTest::history() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + "/sonvale/history/2fc6-6013-SV9038-0001";
}

// The commands of the history's entries, oldest first; each entry holds
// the block kept (checked by the tests that need it).
inline QStringList EngineTest::historyCommands() const
{
    QStringList commands;
    const QStringList files = QDir(history()).entryList({"*.sonvale"}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
        const QByteArray text = TestBytes::readFile(QDir(history()).filePath(file)).mid(50);
        const int at = text.indexOf("command: ");
        commands << QString::fromUtf8(text.mid(at + 9).split('\n').first());
    }
    return commands;
}
