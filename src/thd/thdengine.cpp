// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdengine.h"

#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "control/dacsession.h"
#include "control/historykeeper.h"
#include "thd/gainpause.h"
#include "thd/problemtext.h"
#include "thd/requestoptions.h"
#include "thd/thdmeasurement.h"
#include "thd/thdrun.h"
#include "thd/thdsweeprun.h"
#include "tuning/measurementoptions.h"
#include "tuning/measurementrig.h"
#include "tuning/thdtuning.h"

#include <QThread>

#include <algorithm>
#include <functional>
#include <optional>

namespace {

using Block = DacSession::Block;

// What the history says ran: the assistant's own commands beside
// sonvalectl's.
const char* const undoCommand = "sonvale-thd undo";

// The command the history names for a request that writes; a measurement
// keeps none.
const char* commandOf(ThdStep::Request request)
{
    if (request == ThdStep::Request::Tune)
        return "sonvale-thd tune";
    return request == ThdStep::Request::Map ? "sonvale-thd map" : "sonvale-thd sweep";
}

// A DAC that answers no more because it left the bus.
bool lost(const std::unique_ptr<DacSession>& session)
{
    return session && !session->isConnected();
}

} // namespace

struct ThdEngine::Private {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::unique_ptr<DacSession> session;
    // What the DAC holds, as far as this engine has read and written it.
    Block block{};
    bool blockKnown = false;
    // What the DAC held before this session's last tuning.
    std::optional<Block> beforeTuning;
    GainPause gainPause;
};

ThdEngine::ThdEngine(uint16_t vendorId, uint16_t productId, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>())
{
    d->vendorId = vendorId;
    d->productId = productId;
    qRegisterMetaType<ThdConnection>();
    qRegisterMetaType<ThdStep>();
    qRegisterMetaType<ThdReport>();
    qRegisterMetaType<ThdSweep>();
    qRegisterMetaType<ThdEngine::Request>();
    qRegisterMetaType<ThdEngine::Device>();
    qRegisterMetaType<QList<ThdEngine::Device>>();
}

ThdEngine::~ThdEngine() = default;

void ThdEngine::cancel()
{
    stopRequested = true;
    d->gainPause.wake();
}

void ThdEngine::continueAfterGainChange()
{
    d->gainPause.resume();
}

bool ThdEngine::waitForGainChange()
{
    // Only an answer to this question counts.
    d->gainPause.reset();
    if (closing())
        stopRequested = true;
    emit gainChangeNeeded();
    return d->gainPause.wait(stopRequested);
}

DacSession* ThdEngine::session() const
{
    return d->session.get();
}

bool ThdEngine::closing() const
{
    return QThread::currentThread()->isInterruptionRequested();
}

void ThdEngine::announceCapture(const ThdStep& step)
{
    // A window that closes between two requests stops this one too.
    if (closing())
        stopRequested = true;
    emit progress(step);
}

std::function<void(const ThdStep&)> ThdEngine::announcer()
{
    return [this](const ThdStep& step) { announceCapture(step); };
}

void ThdEngine::start()
{
    connectDac();
    listDevices();
}

void ThdEngine::connectDac()
{
    if (closing())
        return;
    d->session.reset();
    d->blockKnown = false;
    auto session = std::make_unique<DacSession>(d->vendorId, d->productId);
    Block block{};
    Error error = session->open();
    if (!error)
        error = session->readBlock(block);
    if (error) {
        // Held by another program: the interface could not be claimed, and
        // that is what stopped the exchanges.
        emit connection(ThdConnection::refused(d->vendorId, d->productId, error,
                                               session->interfaceProblem().empty()));
        return;
    }
    const std::string serial = session->identity().serial;
    d->session = std::move(session);
    d->block = block;
    d->blockKnown = true;
    emit volumesHeld(ThdTuning::lowestVolumeDb(block[BlockLayout::volumeLeft + 2],
                                               block[BlockLayout::volumeLeft + 3]));
    emit connection(
        ThdConnection::opened(d->vendorId, d->productId, QString::fromStdString(serial)));
}

void ThdEngine::listDevices()
{
    if (closing())
        return;
    AudioSystem audio;
    if (const Error failure = audio.failure()) {
        emit failed(ProblemText::capitalised(failure.cause));
        return;
    }
    std::vector<AudioDevice> devices = audio.devices();
    int dac = -1;
    if (d->session)
        dac = DacAudioMatch::mark(devices,
                                  MeasurementRig::usbOf(*d->session, d->vendorId, d->productId))
                  .index;
    emit devicesListed(QList<Device>(devices.begin(), devices.end()), dac, audio.defaultInput());
}

void ThdEngine::measure(const ThdEngine::Request& request)
{
    if (closing())
        return;
    const MeasurementOptions options = RequestOptions::of(request);
    DacSession* session = d->session.get();
    if (session) {
        // Only the volumes: what the tone goes through. Nothing else is
        // read, nothing written.
        Block read = d->block;
        if (const Error unread =
                session->readWindows({BlockLayout::windowOf(BlockLayout::volumeLeft)}, read)) {
            if (lost(d->session))
                dacLost(QStringLiteral("The DAC was disconnected; nothing was measured."));
            else
                emit failed(QStringLiteral("The DAC's volume cannot be read: %1")
                                .arg(ProblemText::capitalised(unread.cause)));
            return;
        }
        d->block = read;
    }
    MeasurementRig rig(options);
    rig.setStop(&stopRequested);
    const Error unprepared =
        rig.prepare(session, d->vendorId, d->productId, session ? &d->block : nullptr);
    if (unprepared) {
        emit failed(RequestOptions::audioCause(unprepared));
        return;
    }
    const ThdMeasurement::ChangeGain changeGain =
        request.separate ? ThdMeasurement::ChangeGain([this] { return waitForGainChange(); })
                         : nullptr;
    QString audioError;
    ThdReport report =
        ThdMeasurement(rig, options, stopRequested, announcer()).run(changeGain, audioError);
    if (!audioError.isEmpty()) {
        emit failed(QStringLiteral("The audio failed: %1").arg(audioError));
        return;
    }
    report.valuesKnown = report.blockKnown = session && d->blockKnown;
    if (report.blockKnown) {
        report.block = d->block;
        report.start = report.values = ThdTuning::valuesOf(d->block);
    }
    emit measured(report);
}

// What a tuning needs before it changes anything: the DAC's whole block
// (the history keeps it, and the run starts from it), the audio, and the
// block kept in the history sonvalectl keeps. False when it cannot start,
// which it has said. A cancel that came meanwhile ends it here, with nothing
// kept or written.
bool ThdEngine::prepareRun(ThdStep::Request request, const std::vector<double>& volumesDb,
                           MeasurementRig& rig, Block& held)
{
    DacSession* session = d->session.get();
    if (!session) {
        emit failed(QStringLiteral("The DAC is not connected: connect it before tuning."));
        return false;
    }
    if (const Error unread = session->readBlock(held)) {
        if (lost(d->session))
            dacLost(QStringLiteral(
                "The DAC was disconnected before the tuning began; nothing was changed."));
        else
            emit failed(QStringLiteral("The DAC cannot be read: %1")
                            .arg(ProblemText::capitalised(unread.cause)));
        return false;
    }
    d->block = held;
    d->blockKnown = true;
    const QString refusal = RequestOptions::volumeRefusal(volumesDb, held);
    if (!refusal.isEmpty()) {
        emit failed(refusal);
        return false;
    }
    if (stopRequested)
        return endCancelled(request);
    rig.setStop(&stopRequested);
    const Error unprepared = rig.prepare(session, d->vendorId, d->productId, &held);
    if (unprepared) {
        emit failed(RequestOptions::audioCause(unprepared));
        return false;
    }
    if (stopRequested)
        return endCancelled(request);
    // A history that cannot be kept (keeping makes its folder first) stops
    // the run before anything is sent.
    const HistoryKeeper keeper({true, d->vendorId, d->productId, commandOf(request)}, *session);
    if (const Error unkept = keeper.keep(held)) {
        emit failed(ProblemText::capitalised(HistoryKeeper::notKept(unkept)));
        return false;
    }
    return true;
}

// A run cancelled before it changed anything ends as any other ends, with
// its report: the DAC as it was read, nothing moved.
bool ThdEngine::endCancelled(ThdStep::Request request)
{
    if (request == ThdStep::Request::Sweep) {
        emit swept(ThdSweep::cancelledBeforeStart());
        return false;
    }
    const bool tuning = request == ThdStep::Request::Tune;
    ThdReport report;
    report.kind = tuning ? ThdReport::Kind::Tuning : ThdReport::Kind::Map;
    report.cancelled = true;
    report.failure = tuning ? QStringLiteral("The tuning was cancelled.")
                            : QStringLiteral("The map was cancelled.");
    report.restored = true;
    report.valuesKnown = report.blockKnown = d->blockKnown;
    report.block = d->block;
    report.start = report.values = ThdTuning::valuesOf(d->block);
    if (tuning)
        emit tuned(report);
    else
        emit mapped(report);
    return false;
}

// What the DAC holds after a run, and whether it is still there.
bool ThdEngine::finishRun(const ThdReport& report, const QString& during)
{
    d->blockKnown = report.blockKnown;
    if (report.blockKnown)
        d->block = report.block;
    if (!lost(d->session))
        return true;
    QString message = QStringLiteral("The DAC was disconnected during the %1").arg(during);
    if (!report.wrote)
        message += QStringLiteral("; nothing had been changed on it.");
    else
        message += QStringLiteral(
            "; the values held before could not be put back. Once it is plugged in "
            "again, connect it and press Undo (or run 'sonvalectl undo') to put them back.");
    dacLost(message);
    return false;
}

void ThdEngine::dacLost(const QString& message)
{
    d->session.reset();
    d->blockKnown = false;
    emit disconnected(message);
}

void ThdEngine::tune(const ThdEngine::Request& request)
{
    if (closing())
        return;
    const MeasurementOptions options = RequestOptions::of(request);
    MeasurementRig rig(options);
    Block held{};
    std::vector<double> volumes;
    if (request.volumeDb)
        volumes.push_back(*request.volumeDb);
    if (!prepareRun(ThdStep::Request::Tune, volumes, rig, held))
        return;
    d->beforeTuning = held;
    emit undoAvailable(true);

    std::function<bool()> changeGain;
    if (request.separate)
        changeGain = [this] { return waitForGainChange(); };
    const ThdReport report = ThdRun({*session(), rig, options, stopRequested, announcer()})
                                 .tune(held, request.volumeDb, changeGain);
    if (finishRun(report, QStringLiteral("tuning")))
        emit tuned(report);
}

void ThdEngine::map(const ThdEngine::Request& request)
{
    if (closing())
        return;
    const MeasurementOptions options = RequestOptions::of(request);
    MeasurementRig rig(options);
    Block held{};
    if (!prepareRun(ThdStep::Request::Map, mapVolumesDb, rig, held))
        return;
    const ThdReport report =
        ThdRun({*session(), rig, options, stopRequested, announcer()}).map(held, mapVolumesDb);
    // The map puts back what it changed; what it could not, undo can.
    if (!report.restored) {
        d->beforeTuning = held;
        emit undoAvailable(true);
    }
    if (finishRun(report, QStringLiteral("map")))
        emit mapped(report);
}

void ThdEngine::undo()
{
    if (closing())
        return;
    DacSession* session = d->session.get();
    if (!d->beforeTuning) {
        emit undone(false, QStringLiteral("No tuning of this session to undo."));
        return;
    }
    if (!session) {
        emit undone(false, QStringLiteral("The DAC is not connected: connect it, then undo."));
        return;
    }
    // As sonvalectl undo: what the DAC holds now is kept first, then the
    // block goes back whole, hwType included, and is read back.
    Block held{};
    Error error =
        HistoryKeeper({true, d->vendorId, d->productId, undoCommand}, *session).readAndKeep(held);
    if (error.kind == Error::Kind::File)
        error.cause = HistoryKeeper::notKept(error);
    if (!error)
        error = session->writeBlock(*d->beforeTuning);
    if (!error) {
        d->block = *d->beforeTuning;
        d->blockKnown = true;
        d->beforeTuning.reset();
        emit undoAvailable(false);
        emit undone(
            true, QStringLiteral("The settings held before the last tuning are back on the DAC."));
        return;
    }
    d->blockKnown = false;
    if (lost(d->session)) {
        d->session.reset();
        emit undone(false, QStringLiteral("The DAC was disconnected; nothing could be put back."));
        emit disconnected(QStringLiteral("The DAC was disconnected during the undo."));
        return;
    }
    emit undone(false,
                QStringLiteral("The undo failed: %1").arg(ProblemText::capitalised(error.cause)));
}

void ThdEngine::shutdown()
{
    // A tuning under way ends (and puts its values back) before this slot
    // runs: the window calls cancel() directly and then queues this.
    stopRequested = true;
    d->session.reset();
    d->blockKnown = false;
    emit finished();
}

void ThdEngine::sweep(const ThdEngine::Request& request)
{
    if (closing())
        return;
    const MeasurementOptions options = RequestOptions::of(request);
    MeasurementRig rig(options);
    Block held{};
    if (!prepareRun(ThdStep::Request::Sweep, request.sweepVolumesDb, rig, held))
        return;
    const ThdSweep sweep = ThdSweepRun({*session(), rig, options, stopRequested, announcer()})
                               .run(held, request.sweepVolumesDb);
    // Only the volume moved: the block is as held once it is back.
    ThdReport report;
    report.wrote = true;
    report.blockKnown = sweep.volumeRestored;
    report.block = held;
    if (!sweep.volumeRestored) {
        d->beforeTuning = held;
        emit undoAvailable(true);
    }
    if (finishRun(report, QStringLiteral("sweep")))
        emit swept(sweep);
}
