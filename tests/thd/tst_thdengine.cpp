// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD assistant's engine on a worker thread, as the window drives it:
// queued calls in, signals out, on the simulated DAC and analog path. The
// DAC opened, the devices listed, measurements against the analog model,
// and what a request stopped or a DAC pulled out leaves. The tunings and
// maps: tst_thdruns.

#include "enginetest.h"
#include "tuning/interfaceprofile.h"

#include <QStandardPaths>

#include <libusb.h>

#include <functional>

using namespace EngineTests;

class TestThdEngine : public EngineTest {
    Q_OBJECT

private slots:
    void connectDac_data();
    void connectDac();
    void listDevices();
    void measure_data();
    void measure();
    void measureFindings_data();
    void measureFindings();
    void besideTheInterfacesProfile();
    void unplugged_data();
    void unplugged();
    void cancelLongCapture();
    void stoppedWhileQueued_data();
    void stoppedWhileQueued();
};

// What the engine says about the DAC: open, with its serial number, or why
// not, and whether another program holds it (so that "Try again" makes
// sense).
void TestThdEngine::connectDac_data()
{
    QTest::addColumn<std::function<void()>>("fault");
    QTest::addColumn<ThdConnection::State>("state");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("cause");

    QTest::newRow("connected") << std::function<void()>([] {}) << ThdConnection::State::Open
                               << "SV9038-0001" << QString();
#ifndef Q_OS_WIN   // only Linux claims the interface (from the kernel's HID driver)
    QTest::newRow("held by another program")
        << std::function<void()>([] { UsbSim::failClaim(LIBUSB_ERROR_BUSY); })
        << ThdConnection::State::InUse << QString()
        << "the read was incomplete: 12 of the 12 windows did not arrive (at 0, 4, 8, 12, 16, 20, 24, 28, 32, "
           "36, 40, 44); its interface 0 could not be claimed (LIBUSB_ERROR_BUSY): is another program, such as "
           "Sonvale's window, using the DAC?";
#endif
    QTest::newRow("not plugged in")
        << std::function<void()>([] { UsbSim::setDevices({}); }) << ThdConnection::State::Failed
        << QString() << "no DAC 2fc6:6013 is connected";
}

void TestThdEngine::connectDac()
{
    QFETCH(std::function<void()>, fault);
    QFETCH(ThdConnection::State, state);
    QFETCH(QString, serial);
    QFETCH(QString, cause);

    fault();
    QSignalSpy connection(engine, &ThdEngine::connection);
    QVERIFY(call("connectDac", connection));
    QCOMPARE(connection.count(), 1);
    const ThdConnection told = connection.first().at(0).value<ThdConnection>();
    QCOMPARE(told.state, state);
    QCOMPARE(told.open(), state == ThdConnection::State::Open);
    QCOMPARE(QString::asprintf("%04x:%04x", told.vendorId, told.productId), QString("2fc6:6013"));
    QCOMPARE(told.serial, serial);
    QCOMPARE(QString::fromStdString(told.error.cause), cause);
    QCOMPARE(bool(told.error), !cause.isEmpty());
    // Connecting reads; it never writes.
    QCOMPARE(writes(), QStringList());
    if (told.open()) {
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
    QCOMPARE(stepData(progress.first().at(0)), QString("measure, 1 of 1"));
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

// A profile that check-interface kept puts the interface's floor beside the
// DAC's figures: a DAC within 10 dB of it is said in words, and a tuning
// refuses to null what may be the interface's.
void TestThdEngine::besideTheInterfacesProfile()
{
    QStandardPaths::setTestModeEnabled(true);
    InterfaceProfile profile(InterfaceProfile::defaultPath());
    InterfaceProfile::Entry entry{"Sonvale loopback interface", 48000, -3, "2026-12-08T00:00:00Z", {}};
    for (int input = 1; input <= 2; ++input)
        entry.channels.push_back({input, -15.5, -100, -100, -170, {-100, -140, -160, -160}, {0, 0, 0, 0}});
    profile.keep(entry);
    QVERIFY(!profile.write());
    QVERIFY(connectEngine());
    UsbSim::setBlock(VirtualDac::factoryBlock()); // -12.5 dB: the tone arrives at -15.5 dBFS
    ThdEngine::Request request;
    request.output = 0;
    QSignalSpy measured(engine, &ThdEngine::measured);
    QVERIFY(call("measure", request, measured));
    const QStringList findings = measured.first().at(0).value<ThdReport>().findings;
    QSignalSpy tuned(engine, &ThdEngine::tuned);
    QVERIFY(call("tune", request, tuned));
    const ThdReport tuning = tuned.first().at(0).value<ThdReport>();
    QFile::remove(QString::fromStdString(profile.path()));
    QStandardPaths::setTestModeEnabled(false);
    QCOMPARE(findings.filter("not 10 dB above the interface's own -100.00 dBc").size(), 2);
    QCOMPARE(tuning.outcome, ThdSolver::Outcome::NotImproved);
    QVERIFY2(tuning.reason.contains("at the interface's floor"), qPrintable(tuning.reason));
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

QTEST_GUILESS_MAIN(TestThdEngine)
#include "tst_thdengine.moc"
