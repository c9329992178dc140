// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdengine.h"
#include "thd/thdreport.h"
#include "widgets/busycursor.h"

#include <QMainWindow>
#include <QThread>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class ReportDisplay;
class RequestChoices;
class SweepDock;
class Ui_ThdWindow;

// The THD assistant: the DAC's distortion measured and nulled while the user
// watches. The engine does the work on a thread of its own (each exchange
// with the DAC takes 120 ms, each capture a second or more), and the window
// only asks it and shows what it reports, so it never stops answering.
//
// Closing the window while the engine works cancels the work: the engine
// puts back the values the DAC held, stops the audio and finishes, and only
// then does the window close.
class ThdWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ThdWindow(QWidget* parent = nullptr);
    ~ThdWindow() override;

    // Opens the DAC and lists the audio devices, as the program does as it
    // starts.
    void start();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onMeasureClick();
    void onTuneClick();
    void onMapClick();
    void onCancelClick();
    void onUndoClick();
    void onSaveClick();
    void onExportClick();
    void onTryAgainClick();

    void onConnection(const ThdConnection& state);
    void onDevicesListed(const QList<ThdEngine::Device>& devices, int dacOutput, int defaultInput);
    void onProgress(const ThdStep& step);
    void onGainChangeNeeded();
    void onMeasured(const ThdReport& report);
    void onTuned(const ThdReport& report);
    void onMapped(const ThdReport& report);
    void onUndone(bool ok, const QString& message);
    void onUndoAvailable(bool available);
    void onFailed(const QString& message);
    void onDisconnected(const QString& message);
    void onEngineFinished();
    void onSweepClick();
    void onSwept(const ThdSweep& sweep);

private:
    enum class Work { None, Connecting, Measuring, Tuning, Mapping, Undoing, Sweeping };
    using Request = ThdEngine::Request;

    // The work plays and records: Cancel stops it.
    bool usesAudio() const { return usesAudio(work); }
    static bool usesAudio(Work what)
    {
        return what == Work::Measuring || what == Work::Tuning || what == Work::Mapping
               || what == Work::Sweeping;
    }
    // "not tuned": how the console says that the work did not get done.
    static const char* notDone(Work what)
    {
        switch (what) {
        case Work::Measuring: return "not measured";
        case Work::Tuning: return "not tuned";
        case Work::Mapping: return "not mapped";
        case Work::Sweeping: return "not swept";
        default: return "failed";
        }
    }
    // "putting back the values held before", after a Cancel.
    static QString puttingBack(Work what);

    bool confirmWiring();
    // Queues `slot`, one of the engine's requests, once the wiring is
    // confirmed and nothing else is under way.
    void ask(Work what, const QString& step, void (ThdEngine::*slot)(const Request&));
    void begin(Work work, const QString& step);
    // Nothing under way any more; the progress bar says how it ended.
    void end(const QString& outcome);
    void updateControls();
    void warn(const QString& text);
    // The capture the window shows last, for Export…
    void keepForExport(const ThdReport& report);

    Ui_ThdWindow* ui;
    QThread worker;
    ThdEngine* engine;
    std::optional<BusyCursor> readingDac;   // from a call that reads the DAC to its first answer
    Work work = Work::None;
    bool connected = false;
    bool undoAvailable = false;
    bool cancelAsked = false;
    bool wiringConfirmed = false;
    bool closing = false;           // the window waits for the engine to finish
    bool engineDone = false;
    // The block the DAC holds after the last tuning that kept new values.
    std::optional<std::array<uint8_t, BlockLayout::size>> tunedBlock;
    // The last capture shown: after a tuning, what it kept.
    ThdCapture exportable;
    std::unique_ptr<ReportDisplay> display;
    RequestChoices* choices;
    // The sweeps, in a dock of their own beside the spectrum and the tables.
    SweepDock* sweepDock;
};
