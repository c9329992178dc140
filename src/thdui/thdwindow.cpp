// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/thdwindow.h"

#include "base/diagnostics.h"
#include "base/version.h"
#include "thdui/assistantdialogs.h"
#include "thdui/connectiontext.h"
#include "thdui/reportdisplay.h"
#include "thdui/requestchoices.h"
#include "thdui/resulttable.h"
#include "thdui/separationtable.h"
#include "thdui/spectrumexport.h"
#include "thdui/spectrumplot.h"
#include "thdui/steptext.h"
#include "thdui/sweepdock.h"
#include "thdui/sweeptext.h"
#include "ui_thdwindow.h"
#include "widgets/accessiblecombobox.h"
#include "widgets/accessiblelabel.h"

#include <QCloseEvent>
#include <QMessageBox>

#include <algorithm>

namespace {

const QString baseTitle = QStringLiteral("Sonvale THD assistant");

// A progress bar's format takes %p, %v and %m; the step's own text must not.
QString literalFormat(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

} // namespace

ThdWindow::ThdWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui_ThdWindow), engine(new ThdEngine(SONVALE_USB_VENDOR_ID, SONVALE_USB_PRODUCT_ID))
{
    AccessibleComboBox::install();   // before the form makes its combo boxes
    AccessibleLabel::install();      // and its labels
    ui->setupUi(this);
    display = std::make_unique<ReportDisplay>(ui->leftTable, ui->rightTable, ui->spectrumPlot,
                                              ui->mapTable, ui->problemsLabel, ui->separationTable,
                                              ui->separationTitle);
    ui->mapTable->setVolumes(ThdEngine::mapVolumesDb);
    choices = new RequestChoices(ui, this);
    ui->tryAgainButton->hide();
    // The plot takes what the tables leave.
    ui->resultSplitter->setStretchFactor(0, 1);
    ui->resultSplitter->setStretchFactor(1, 0);
    ui->resultSplitter->setSizes({680, 480});
    sweepDock = new SweepDock(this);

    connect(ui->measureButton, &QPushButton::clicked, this, &ThdWindow::onMeasureClick);
    connect(ui->tuneButton, &QPushButton::clicked, this, &ThdWindow::onTuneClick);
    connect(ui->mapButton, &QPushButton::clicked, this, &ThdWindow::onMapClick);
    connect(ui->cancelButton, &QPushButton::clicked, this, &ThdWindow::onCancelClick);
    connect(ui->undoButton, &QPushButton::clicked, this, &ThdWindow::onUndoClick);
    connect(ui->saveButton, &QPushButton::clicked, this, &ThdWindow::onSaveClick);
    connect(ui->exportButton, &QPushButton::clicked, this, &ThdWindow::onExportClick);
    connect(ui->tryAgainButton, &QPushButton::clicked, this, &ThdWindow::onTryAgainClick);
    connect(ui->sweepButton, &QPushButton::clicked, this, &ThdWindow::onSweepClick);

    engine->moveToThread(&worker);
    connect(&worker, &QThread::finished, engine, &QObject::deleteLater);
    connect(engine, &ThdEngine::connection, this, &ThdWindow::onConnection);
    connect(engine, &ThdEngine::devicesListed, this, &ThdWindow::onDevicesListed);
    connect(engine, &ThdEngine::volumesHeld, choices, &RequestChoices::setLowestVolume);
    connect(engine, &ThdEngine::progress, this, &ThdWindow::onProgress);
    connect(engine, &ThdEngine::gainChangeNeeded, this, &ThdWindow::onGainChangeNeeded);
    connect(engine, &ThdEngine::measured, this, &ThdWindow::onMeasured);
    connect(engine, &ThdEngine::tuned, this, &ThdWindow::onTuned);
    connect(engine, &ThdEngine::mapped, this, &ThdWindow::onMapped);
    connect(engine, &ThdEngine::undone, this, &ThdWindow::onUndone);
    connect(engine, &ThdEngine::undoAvailable, this, &ThdWindow::onUndoAvailable);
    connect(engine, &ThdEngine::failed, this, &ThdWindow::onFailed);
    connect(engine, &ThdEngine::disconnected, this, &ThdWindow::onDisconnected);
    connect(engine, &ThdEngine::finished, this, &ThdWindow::onEngineFinished);
    connect(engine, &ThdEngine::swept, this, &ThdWindow::onSwept);
    worker.start();
    updateControls();
}

// A window destroyed without being closed (a test, the program's end) still
// lets the engine put the values back and close the DAC first.
ThdWindow::~ThdWindow()
{
    if (!engineDone && worker.isRunning()) {
        worker.requestInterruption();   // requests still queued do nothing
        engine->cancel();
        QMetaObject::invokeMethod(engine, &ThdEngine::shutdown, Qt::BlockingQueuedConnection);
    }
    worker.quit();
    worker.wait();
    delete ui;
}

void ThdWindow::start()
{
    begin(Work::Connecting, QStringLiteral("Connecting to the DAC"));
    ui->connectionLabel->setText(QStringLiteral("Connecting to the DAC…"));
    QMetaObject::invokeMethod(engine, &ThdEngine::start, Qt::QueuedConnection);
}

// Asked before the first measurement or tuning of a session, until the
// user says OK.
bool ThdWindow::confirmWiring()
{
    if (!wiringConfirmed)
        wiringConfirmed = AssistantDialogs::wiringConfirmed(this);
    return wiringConfirmed;
}

// Every call reads the DAC before anything else (its block, or its
// volumes): the wait cursor shows until the engine first reports.
void ThdWindow::begin(Work what, const QString& step)
{
    work = what;
    cancelAsked = false;
    // The engine has answered every request before this: a Cancel from
    // here on is this request's.
    engine->resetCancel();
    if (!readingDac)
        readingDac.emplace();
    // A still bar naming the step until the first capture counts: the busy
    // bar's animation repaints the whole bar many times a second and took
    // more of the start-up than the rest of the window together.
    ui->progressBar->setRange(0, 1);
    ui->progressBar->setValue(0);
    ui->progressBar->setFormat(literalFormat(step));
    updateControls();
}

void ThdWindow::end(const QString& outcome)
{
    work = Work::None;
    readingDac.reset();
    ui->progressBar->setRange(0, 1);
    ui->progressBar->setValue(0);
    ui->progressBar->setFormat(literalFormat(outcome));
    updateControls();
}

void ThdWindow::updateControls()
{
    const bool idle = work == Work::None && !closing;
    ui->measureButton->setEnabled(idle && connected);
    ui->tuneButton->setEnabled(idle && connected);
    ui->mapButton->setEnabled(idle && connected);
    ui->sweepButton->setEnabled(idle && connected);
    ui->cancelButton->setEnabled(usesAudio() && !cancelAsked);
    ui->undoButton->setEnabled(idle && connected && undoAvailable);
    ui->saveButton->setEnabled(idle && tunedBlock.has_value());
    ui->exportButton->setEnabled(idle && (!exportable.samples.empty() || sweepDock->last()));
    ui->tryAgainButton->setVisible(!connected && work != Work::Connecting);
    ui->tryAgainButton->setEnabled(idle);
    for (QWidget* choice : choices->controls())
        choice->setEnabled(idle);
}

// Each request plays and records, with the choices made.
void ThdWindow::ask(Work what, const QString& step, void (ThdEngine::*slot)(const Request&))
{
    if (work != Work::None || !confirmWiring())
        return;
    begin(what, step);
    const Request wanted = choices->request();
    QMetaObject::invokeMethod(
        engine, [target = engine, slot, wanted] { (target->*slot)(wanted); }, Qt::QueuedConnection);
}

void ThdWindow::onMeasureClick()
{
    ask(Work::Measuring, QStringLiteral("Measuring"), &ThdEngine::measure);
}

void ThdWindow::onTuneClick()
{
    ask(Work::Tuning, QStringLiteral("Reading the DAC"), &ThdEngine::tune);
}

void ThdWindow::onMapClick()
{
    ask(Work::Mapping, QStringLiteral("Reading the DAC"), &ThdEngine::map);
}

void ThdWindow::onCancelClick()
{
    if (!usesAudio())
        return;
    cancelAsked = true;
    engine->cancel();
    const QString back = puttingBack(work);
    ui->progressBar->setFormat(back.isEmpty() ? QStringLiteral("Cancelling")
                                              : QStringLiteral("Cancelling: %1").arg(back));
    updateControls();
}

// What a stopped request still does: a measurement changes nothing on the
// DAC, a sweep its volume alone.
QString ThdWindow::puttingBack(Work what)
{
    return what == Work::Measuring ? QString()
                                   : QStringLiteral("putting back the %1 held before")
                                         .arg(what == Work::Sweeping ? QStringLiteral("volume")
                                                                     : QStringLiteral("values"));
}

void ThdWindow::onUndoClick()
{
    if (work != Work::None)
        return;
    begin(Work::Undoing, QStringLiteral("Putting back the block held before the last tuning"));
    QMetaObject::invokeMethod(engine, &ThdEngine::undo, Qt::QueuedConnection);
}

void ThdWindow::onSaveClick()
{
    if (!tunedBlock)
        return;
    const QString error = AssistantDialogs::savePreset(this, *tunedBlock);
    if (!error.isEmpty())
        warn(QStringLiteral("The preset could not be saved: %1").arg(error));
}

void ThdWindow::onExportClick()
{
    const QString error = SpectrumExport::ask(this, exportable, *ui->spectrumPlot, sweepDock->last());
    if (!error.isEmpty())
        warn(QStringLiteral("Nothing was exported: %1").arg(error));
}

void ThdWindow::keepForExport(const ThdReport& report)
{
    const ThdCapture& shown = report.after.isEmpty() ? report.before : report.after;
    if (!shown.isEmpty())
        exportable = shown;
    updateControls();
}

void ThdWindow::onTryAgainClick()
{
    if (work == Work::None)
        start();
}

void ThdWindow::onConnection(const ThdConnection& state)
{
    // The start ends once the devices are listed, next. Try again shows
    // whatever kept the DAC closed; a DAC in use says what to do first.
    connected = state.open();
    if (connected)
        setWindowTitle(baseTitle);
    const QString message = ConnectionText::of(state);
    ui->connectionLabel->setText(message);
    Diagnostics::print("%s: %s\n", connected ? "connected" : "not connected", qPrintable(message));
    updateControls();
}

void ThdWindow::onDevicesListed(const QList<ThdEngine::Device>& devices, int dacOutput, int defaultInput)
{
    choices->listDevices(devices, dacOutput, defaultInput);
    if (work == Work::Connecting)
        end(connected ? QStringLiteral("Ready") : QStringLiteral("Not connected"));
}

void ThdWindow::onProgress(const ThdStep& step)
{
    readingDac.reset();
    const int captures = std::max(step.captures, 1);
    ui->progressBar->setRange(0, captures);
    ui->progressBar->setValue(std::clamp(step.capture - 1, 0, captures));
    if (!cancelAsked)
        ui->progressBar->setFormat(literalFormat(StepText::of(step)));
}

// Between a separation's two captures: the engine waits, playing nothing,
// for the person at the interface. Cancel here is the Cancel button's.
void ThdWindow::onGainChangeNeeded()
{
    readingDac.reset();
    if (closing || cancelAsked)
        return;
    ui->progressBar->setFormat(QStringLiteral("Waiting for the input gain to change"));
    if (!AssistantDialogs::gainChanged(this) || closing) {
        onCancelClick();
        return;
    }
    ui->progressBar->setFormat(QStringLiteral("Measuring at the new input gain"));
    engine->continueAfterGainChange();
}

void ThdWindow::onMeasured(const ThdReport& report)
{
    end(ReportDisplay::measuredOutcome(report));
    display->showMeasurement(report);
    keepForExport(report);
    Diagnostics::print("%s\n", qPrintable(ReportDisplay::measuredLine(report)));
}

void ThdWindow::onTuned(const ThdReport& report)
{
    end(ReportDisplay::tunedOutcome(report));
    display->showTuning(report);
    keepForExport(report);
    if (ReportDisplay::kept(report) && report.blockKnown)
        tunedBlock = report.block;
    if (ReportDisplay::kept(report))
        sweepDock->markTuned();
    updateControls();
    Diagnostics::print("%s\n", qPrintable(ReportDisplay::tunedLine(report)));
    if (report.wrote && !report.restored && !ReportDisplay::kept(report))
        warn(QStringLiteral("The tuning stopped and the values the DAC held before could not be put back: %1")
                 .arg(report.restoreError));
    else if (!report.volumeRestored)
        warn(QStringLiteral("The volume the DAC held before the tuning could not be put back: %1")
                 .arg(report.restoreError));
}

void ThdWindow::onMapped(const ThdReport& report)
{
    end(ReportDisplay::mappedOutcome(report));
    display->showMap(report);
    Diagnostics::print("%s\n", qPrintable(ReportDisplay::mappedLine(report)));
    if (!report.restored)
        warn(QStringLiteral(
                 "The map stopped, and the values or the volume the DAC held before could not be "
                 "put back (%1): Undo puts back the block held before.")
                 .arg(report.restoreError));
}

void ThdWindow::onUndone(bool ok, const QString& message)
{
    end(ok ? message : QStringLiteral("Not undone"));
    Diagnostics::print("%s: %s\n", ok ? "undone" : "not undone", qPrintable(message));
    if (ok) {
        sweepDock->markTuned();
        tunedBlock.reset();
        updateControls();
    } else {
        // A DAC that left says so itself right after this: one message.
        QMetaObject::invokeMethod(
            this, [this, message] {
                if (connected)
                    warn(message);
            },
            Qt::QueuedConnection);
    }
}

void ThdWindow::onUndoAvailable(bool available)
{
    undoAvailable = available;
    updateControls();
}

void ThdWindow::onFailed(const QString& message)
{
    const Work was = work;
    end(QStringLiteral("Failed"));
    Diagnostics::print("%s: %s\n", notDone(was), qPrintable(message));
    ui->problemsLabel->setText(message);
    warn(message);
}

void ThdWindow::onDisconnected(const QString& message)
{
    const Work was = work;
    end(QStringLiteral("The DAC was disconnected"));
    connected = false;
    setWindowTitle(baseTitle + QStringLiteral(" : Disconnected"));
    ui->connectionLabel->setText(message);
    updateControls();
    if (usesAudio(was))
        Diagnostics::print("%s: %s\n", notDone(was), qPrintable(message));
    Diagnostics::print("disconnected: %s\n", qPrintable(message));
    warn(message);
}

void ThdWindow::onEngineFinished()
{
    engineDone = true;
    readingDac.reset();
    worker.quit();
    worker.wait();
    if (closing)
        close();
}

void ThdWindow::closeEvent(QCloseEvent* event)
{
    if (engineDone) {
        event->accept();
        return;
    }
    // Closed only once the engine has put the values back and let go of
    // the DAC and the audio.
    event->ignore();
    if (closing)
        return;
    closing = true;
    const QString back = puttingBack(work);
    if (usesAudio())
        ui->progressBar->setFormat(back.isEmpty()
                                       ? QStringLiteral("Closing: stopping")
                                       : QStringLiteral("Closing: stopping and %1").arg(back));
    updateControls();
    worker.requestInterruption();   // requests still queued do nothing
    engine->cancel();
    QMetaObject::invokeMethod(engine, &ThdEngine::shutdown, Qt::QueuedConnection);
}

void ThdWindow::warn(const QString& text)
{
    if (closing)
        return;
    readingDac.reset();   // no wait cursor over a message box
    QMessageBox::warning(this, baseTitle, text);
}

void ThdWindow::onSweepClick()
{
    ask(Work::Sweeping, QStringLiteral("Reading the DAC"), &ThdEngine::sweep);
}

// What a sweep measured goes on the plot, also when it was stopped midway.
void ThdWindow::onSwept(const ThdSweep& sweep)
{
    sweepDock->show(sweep);
    end(SweepText::outcome(sweep));
    if (!sweep.findings.isEmpty())
        ui->problemsLabel->setText(sweep.findings.join(QLatin1Char('\n')));
    Diagnostics::print("%s\n", qPrintable(SweepText::line(sweep)));
    if (!sweep.volumeRestored)
        warn(QStringLiteral("The sweep could not put back the volume the DAC held before (%1): "
                            "Undo puts back the block held before.")
                 .arg(sweep.restoreError));
}
