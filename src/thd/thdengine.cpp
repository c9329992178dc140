// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/thdengine.h"

#include "audio/audiosystem.h"
#include "audio/dacaudiomatch.h"
#include "ctl/audiooptions.h"
#include "ctl/dacsession.h"
#include "ctl/history.h"
#include "ctl/measurementoutput.h"
#include "ctl/measurementrig.h"
#include "ctl/thdtuning.h"
#include "measure/spectrum.h"
#include "settings/settingsblock.h"
#include "thd/problemtext.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

using Block = DacSession::Block;

// What the history says ran: the assistant's own commands beside
// sonvalectl's.
const char* const tuneCommand = "sonvale-thd tune";
const char* const undoCommand = "sonvale-thd undo";

// Longer captures (a refinement may take two minutes) are shown by their
// first second: enough resolution to see each harmonic apart, and a trace
// a plot redraws in a frame.
constexpr double shownSeconds = 1.0;

QString words(const std::string& text)
{
    QString message = QString::fromStdString(text);
    if (!message.isEmpty())
        message[0] = message[0].toUpper();
    return message;
}

// The level of each bin in dBFS: the Hann window's coherent gain is 1/2,
// so a sine of peak A centred on bin k gives |X_k| = A·n/4.
std::vector<float> spectrumOf(const std::vector<double>& samples, std::size_t n)
{
    const std::vector<double> power = Spectrum::hannPower(samples.data(), n);
    const double fullScale = double(n) / 4.0;
    std::vector<float> levels(power.size());
    for (std::size_t k = 0; k < power.size(); ++k) {
        const double db = 10.0 * std::log10(std::max(power[k], 1e-300)) - 20.0 * std::log10(fullScale);
        levels[k] = float(std::max(db, -300.0));
    }
    return levels;
}

ThdCapture captureOf(const CaptureAnalysis& analysis, const std::vector<std::vector<double>>& samples)
{
    ThdCapture capture;
    capture.analysis = analysis;
    if (samples.empty() || analysis.rateHz <= 0)
        return capture;
    const std::size_t count = samples.front().size();
    const std::size_t n = Spectrum::fastLength(std::min<std::size_t>(
        count, std::size_t(std::llround(analysis.rateHz * shownSeconds))));
    if (n < 2)
        return capture;
    capture.binHz = analysis.rateHz / double(n);
    for (const std::vector<double>& channel : samples)
        capture.spectra.push_back(spectrumOf(channel, n));
    return capture;
}

QString channelWord(std::size_t channel, std::size_t channels)
{
    return QString::fromStdString(MeasurementOutput::channelName(channel, channels));
}

// The problems the captures showed, in words: each problem of each channel
// once, as the first capture that had it showed it.
QStringList findingsOf(const std::vector<const CaptureAnalysis*>& analyses, const std::vector<double>& expected)
{
    QStringList findings;
    std::vector<std::pair<std::string, int>> said;
    for (const CaptureAnalysis* analysis : analyses) {
        for (const ProblemText::Line& line : ProblemText::lines(*analysis, expected)) {
            const std::pair<std::string, int> key{line.problem, line.channel};
            if (std::find(said.begin(), said.end(), key) != said.end())
                continue;
            said.push_back(key);
            findings << line.text;
        }
    }
    return findings;
}

QString ordinalOutputs(const std::vector<int>& outputs)
{
    if (outputs.size() >= 2)
        return QStringLiteral("both outputs'");
    if (outputs.empty())
        return QStringLiteral("the outputs'");
    return QStringLiteral("the %1 output's").arg(channelWord(std::size_t(outputs.front()), 2));
}

// "Probing thd_range1 (the 2nd and 3rd harmonic)": what the solver knows
// of a capture before it is made.
QString stepText(const ThdSolver::Step& step, double seconds)
{
    QString text;
    switch (step.purpose) {
    case ThdSolver::Step::Purpose::Start:
        text = QStringLiteral("Measuring the start");
        break;
    case ThdSolver::Step::Purpose::Probe:
        text = step.attempt == 0
                   ? QStringLiteral("Probing %1 (the 2nd and 3rd harmonic)")
                         .arg(QString::fromStdString(ThdTuning::pairName(step.pair)))
                   : QStringLiteral("Probing %1 again with a larger step")
                         .arg(QString::fromStdString(ThdTuning::pairName(step.pair)));
        break;
    case ThdSolver::Step::Purpose::Solved:
        text = QStringLiteral("Measuring the values found");
        break;
    case ThdSolver::Step::Purpose::Refine:
        text = QStringLiteral("Refining %1 values").arg(ordinalOutputs(step.outputs));
        break;
    }
    if (step.lengthFactor > 1)
        text += QStringLiteral(" (a %1-second capture)").arg(std::lround(seconds * step.lengthFactor));
    return text;
}

bool sameAnalysis(const CaptureAnalysis& a, const CaptureAnalysis& b)
{
    if (a.channels.size() != b.channels.size() || a.seconds != b.seconds)
        return false;
    for (std::size_t c = 0; c < a.channels.size(); ++c) {
        if (a.channels[c].harmonics != b.channels[c].harmonics
            || !(a.channels[c].levelDbfs == b.channels[c].levelDbfs))
            return false;
    }
    return true;
}

// The block with the THD ranges set to `values`.
Block withValues(const Block& block, const ThdValues& values)
{
    SettingsBlock settings = SettingsBlock::fromDeviceBytes(block.data());
    int16_t* pairs[] = {settings.thd_range0, settings.thd_range1, settings.thd_range2};
    for (std::size_t pair = 0; pair < 3; ++pair) {
        pairs[pair][0] = values.pairs[pair][0];
        pairs[pair][1] = values.pairs[pair][1];
    }
    Block result;
    settings.toDeviceBytes(result.data());
    return result;
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

    std::string device() const { return DacSession::identifiers(vendorId, productId); }
};

ThdEngine::ThdEngine(uint16_t vendorId, uint16_t productId, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>())
{
    d->vendorId = vendorId;
    d->productId = productId;
    qRegisterMetaType<ThdReport>();
    qRegisterMetaType<ThdEngine::Request>();
    qRegisterMetaType<ThdEngine::Device>();
    qRegisterMetaType<QList<ThdEngine::Device>>();
}

ThdEngine::~ThdEngine() = default;

void ThdEngine::cancel()
{
    stopRequested = true;
}

bool ThdEngine::closing() const
{
    return QThread::currentThread()->isInterruptionRequested();
}

void ThdEngine::connectDac()
{
    if (closing())
        return;
    d->session.reset();
    d->blockKnown = false;
    auto session = std::make_unique<DacSession>(d->vendorId, d->productId);
    Block block{};
    if (!session->open() || !session->readBlock(block)) {
        // Held by another program: the interface could not be claimed, and
        // that is what stopped the exchanges. Said first, as what to do.
        const bool inUse = !session->interfaceProblem().empty();
        QString message = words(session->error());
        if (inUse) {
            message = QStringLiteral("The DAC %1 is in use by another program, such as Sonvale's window: close "
                                     "it, then try again. (%2)")
                          .arg(QString::fromStdString(d->device()), message);
        }
        emit connection(false, message, inUse);
        return;
    }
    const std::string serial = session->identity().serial;
    d->session = std::move(session);
    d->block = block;
    d->blockKnown = true;
    emit connection(true,
                    QStringLiteral("Connected to the DAC %1").arg(QString::fromStdString(d->device()))
                        + (serial.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(serial))),
                    false);
}

void ThdEngine::listDevices()
{
    if (closing())
        return;
    AudioSystem audio;
    if (!audio.isReady()) {
        emit failed(QStringLiteral("The audio system cannot start: %1").arg(audio.error()));
        return;
    }
    std::vector<AudioDevice> devices = audio.devices();
    int dac = -1;
    if (d->session)
        dac = DacAudioMatch::mark(devices, MeasurementRig::usbOf(*d->session, d->vendorId, d->productId)).index;
    emit devicesListed(QList<Device>(devices.begin(), devices.end()), dac, audio.defaultInput());
}

namespace {

AudioOptions optionsOf(const ThdEngine::Request& request)
{
    AudioOptions options;
    options.frequencyHz = request.frequencyHz;
    options.frequencyGiven = true;
    options.requestedLevelDbfs = request.levelDbfs;
    options.levelCapped = request.levelDbfs > AudioOptions::highestLevelDbfs;
    options.levelDbfs = std::min(request.levelDbfs, AudioOptions::highestLevelDbfs);
    options.levelGiven = true;
    options.rateHz = request.rateHz;
    options.seconds = request.seconds;
    if (request.output >= 0)
        options.output = std::to_string(request.output);
    if (request.input >= 0)
        options.input = std::to_string(request.input);
    return options;
}

// prepare()'s causes name sonvalectl's options; here the user chose from a list.
QString audioCause(std::string cause)
{
    if (cause.rfind("--output: ", 0) == 0)
        cause = "the output device: " + cause.substr(10);
    else if (cause.rfind("--input: ", 0) == 0)
        cause = "the input device: " + cause.substr(9);
    for (const char* aside : {" (sonvalectl audio-devices lists them)", " (see audio-devices)"}) {
        const std::size_t at = cause.find(aside);
        if (at != std::string::npos)
            cause.erase(at, std::string(aside).size());
    }
    const std::string hint = ": name it with --output";
    const std::size_t at = cause.find(hint);
    if (at != std::string::npos)
        cause = cause.substr(0, at) + ": choose the DAC's output in the list";
    return words(cause);
}

void describeSetup(ThdReport& report, const MeasurementRig& rig, const AudioOptions& options, std::size_t channels)
{
    report.outputDevice = QString::fromStdString(MeasurementRig::described(rig.output()));
    report.inputDevice = QString::fromStdString(MeasurementRig::described(rig.input()));
    report.levelDbfs = options.levelDbfs;
    report.frequencyHz = options.frequencyHz;
    report.dacVolumeDb = rig.dacVolumeDb();
    for (std::size_t c = 0; c < std::max<std::size_t>(channels, 2); ++c)
        report.expectedLevelDbfs.push_back(rig.playedLevel(c));
}

} // namespace

void ThdEngine::measure(const ThdEngine::Request& request)
{
    if (closing())
        return;
    stopRequested = false;
    const AudioOptions options = optionsOf(request);
    DacSession* session = d->session.get();
    if (session) {
        // Only the volumes: what the tone goes through. Nothing else is
        // read, nothing written.
        Block read = d->block;
        if (!session->readWindows({BlockLayout::windowOf(BlockLayout::volumeLeft)}, read)) {
            if (lost(d->session)) {
                d->session.reset();
                d->blockKnown = false;
                emit disconnected(QStringLiteral("The DAC was disconnected; nothing was measured."));
            } else {
                emit failed(QStringLiteral("The DAC's volume cannot be read: %1").arg(words(session->error())));
            }
            return;
        }
        d->block = read;
    }
    MeasurementRig rig(options);
    rig.setStop(&stopRequested);
    rig.setAnnounceLongCaptures(false);
    const std::string cause = rig.prepare(session, d->vendorId, d->productId, session ? &d->block : nullptr);
    if (!cause.empty()) {
        emit failed(audioCause(cause));
        return;
    }
    emit progress(QStringLiteral("Measuring, capture 1 of 1"), 1, 1);
    CaptureAnalysis analysis;
    std::string error;
    std::vector<std::vector<double>> samples;
    const bool recorded = rig.measure(analysis, error, 1, &samples);
    MeasurementRig::markWeakSignal(analysis);

    ThdReport report;
    report.kind = ThdReport::Kind::Measurement;
    describeSetup(report, rig, options, analysis.channels.size());
    report.captures = 1;
    if (stopRequested) {
        report.cancelled = true;
        report.failure = QStringLiteral("The measurement was cancelled.");
        report.outcome = ThdSolver::Outcome::Failed;
    } else if (!recorded) {
        emit failed(QStringLiteral("The audio failed: %1").arg(QString::fromStdString(error)));
        return;
    } else {
        report.before = captureOf(analysis, samples);
        report.outcome = analysis.ok() ? ThdSolver::Outcome::Improved : ThdSolver::Outcome::Failed;
        report.findings = findingsOf({&analysis}, report.expectedLevelDbfs);
    }
    report.valuesKnown = report.blockKnown = session && d->blockKnown;
    if (report.blockKnown) {
        report.block = d->block;
        report.start = report.values = ThdTuning::valuesOf(d->block);
    }
    emit measured(report);
}

void ThdEngine::tune(const ThdEngine::Request& request)
{
    if (closing())
        return;
    stopRequested = false;
    DacSession* session = d->session.get();
    if (!session) {
        emit failed(QStringLiteral("The DAC is not connected: connect it before tuning."));
        return;
    }
    auto dacLost = [&](const QString& what) {
        d->session.reset();
        d->blockKnown = false;
        emit disconnected(what);
    };
    // The whole block: the history keeps it, and the tuning starts from it.
    Block held{};
    if (!session->readBlock(held)) {
        if (lost(d->session))
            dacLost(QStringLiteral("The DAC was disconnected before the tuning began; nothing was changed."));
        else
            emit failed(QStringLiteral("The DAC cannot be read: %1").arg(words(session->error())));
        return;
    }
    d->block = held;
    d->blockKnown = true;

    const AudioOptions options = optionsOf(request);
    MeasurementRig rig(options);
    rig.setStop(&stopRequested);
    rig.setAnnounceLongCaptures(false);
    const std::string cause = rig.prepare(session, d->vendorId, d->productId, &held);
    if (!cause.empty()) {
        emit failed(audioCause(cause));
        return;
    }

    // Kept before anything changes, in the history sonvalectl keeps; a
    // history that cannot be kept stops the tuning before anything is sent.
    const History history(d->vendorId, d->productId, session->identity().serial);
    std::string error;
    if (!history.prepare(error) || !history.record(held.data(), tuneCommand, error)) {
        emit failed(QStringLiteral("The DAC's settings cannot be kept in its history, so the DAC was left as "
                                   "it was: %1").arg(QString::fromStdString(error)));
        return;
    }
    d->beforeTuning = held;
    emit undoAvailable(true);

    ThdReport report;
    report.kind = ThdReport::Kind::Tuning;
    std::vector<ThdCapture> captures;
    ThdTuning::Watch watch;
    watch.stop = &stopRequested;
    watch.progress = [&](const ThdSolver::Step& step) {
        // A window that closes between two requests stops this one too.
        if (QThread::currentThread()->isInterruptionRequested())
            stopRequested = true;
        emit progress(QStringLiteral("%1, capture %2 of %3").arg(stepText(step, options.seconds)).arg(step.capture)
                          .arg(step.planned),
                      step.capture, step.planned);
    };
    watch.captured = [&](const CaptureAnalysis& analysis, const std::vector<std::vector<double>>& samples) {
        captures.push_back(captureOf(analysis, samples));
    };
    const ThdTuning::Outcome outcome = ThdTuning(*session, rig, watch).run(held);
    const ThdSolver::Result& result = outcome.result;

    describeSetup(report, rig, options, result.before.channels.size());
    std::vector<const CaptureAnalysis*> analyses;
    for (const ThdCapture& capture : captures)
        analyses.push_back(&capture.analysis);
    // The run's first capture fixed the level each later one should have.
    std::vector<double> fixedLevels;
    if (!captures.empty()) {
        for (const ChannelAnalysis& channel : captures.front().analysis.channels)
            fixedLevels.push_back(channel.levelDbfs);
    }
    report.findings = findingsOf(analyses, fixedLevels);
    const bool improved = outcome.ran && result.outcome == ThdSolver::Outcome::Improved && outcome.failure.empty();
    report.outcome = outcome.ran && outcome.failure.empty() ? result.outcome : ThdSolver::Outcome::Failed;
    if (!captures.empty())
        report.before = captures.front();
    if (improved) {
        for (auto it = captures.rbegin(); it != captures.rend(); ++it) {
            if (sameAnalysis(it->analysis, result.after)) {
                report.after = *it;
                break;
            }
        }
    }
    report.start = result.start;
    for (std::size_t pair = 0; pair < 3; ++pair)
        report.drives[pair] = result.pairs[pair].drives;
    report.floors = result.floors;
    for (const std::string& note : result.notes)
        report.notes.append(QString::fromStdString(note));
    report.reason = words(outcome.ran ? result.reason : std::string());
    report.captures = result.captures;
    report.cancelled = outcome.interrupted;
    report.wrote = outcome.wrote;
    report.restored = !improved && outcome.restored;
    report.restoreError = words(outcome.restoreError);
    if (!outcome.failure.empty())
        report.failure = outcome.interrupted ? QStringLiteral("The tuning was cancelled.") : words(outcome.failure);
    if (outcome.restoreError.empty()) {
        report.valuesKnown = true;
        report.values = outcome.kept;
        d->block = withValues(held, outcome.kept);
        report.blockKnown = true;
        report.block = d->block;
    } else {
        // What the DAC holds is not known: it is read again before use.
        d->blockKnown = false;
        report.values = result.start;
    }

    if (lost(d->session)) {
        QString message = QStringLiteral("The DAC was disconnected during the tuning");
        if (!outcome.wrote)
            message += QStringLiteral("; nothing had been changed on it.");
        else
            message += QStringLiteral("; the values held before could not be put back. Once it is plugged in "
                                      "again, connect it and press Undo (or run 'sonvalectl undo') to put them back.");
        dacLost(message);
        return;
    }
    emit tuned(report);
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
    std::string error;
    const History history(d->vendorId, d->productId, session->identity().serial);
    bool ok = session->readBlock(held);
    if (!ok)
        error = session->error();
    else if (!history.prepare(error) || !history.record(held.data(), undoCommand, error))
        error = "the DAC's settings cannot be kept in its history, so the DAC was left as it was: " + error;
    else if (!session->writeBlock(*d->beforeTuning))
        error = session->error();
    if (error.empty()) {
        d->block = *d->beforeTuning;
        d->blockKnown = true;
        d->beforeTuning.reset();
        emit undoAvailable(false);
        emit undone(true, QStringLiteral("The settings held before the last tuning are back on the DAC."));
        return;
    }
    d->blockKnown = false;
    if (lost(d->session)) {
        d->session.reset();
        emit undone(false, QStringLiteral("The DAC was disconnected; nothing could be put back."));
        emit disconnected(QStringLiteral("The DAC was disconnected during the undo."));
        return;
    }
    emit undone(false, QStringLiteral("The undo failed: %1").arg(words(error)));
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
