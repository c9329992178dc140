// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "thd/thdconnection.h"
#include "thd/thdreport.h"
#include "thd/thdstep.h"
#include "thd/thdsweep.h"

#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The THD assistant's worker: the DAC, PortAudio, the captures and the
// tuning loop, kept off the window's thread. The window makes one, moves it
// to a QThread of its own and talks to it only through queued calls of its
// slots; everything it finds comes back as a signal. cancel() alone may be
// called directly from another thread.
//
// measure(), tune() and map() each end with exactly one of: measured() /
// tuned() / mapped() (a report, also when a capture showed a problem, such as no signal, when
// cancel() stopped it, or when the audio failed midway through a tuning:
// its `failure` says what, `restored` whether the values went back),
// failed() (it could not run: no DAC open for a tuning, the audio could not
// start, a measurement's audio failed, the history could not be kept), or
// disconnected() (the DAC left; the engine then holds no DAC until
// connectDac()). Before each capture, progress() tells what it is for.
class DacSession;
class MeasurementRig;

class ThdEngine : public QObject {
    Q_OBJECT
public:
    using Device = AudioDevice;

    // What to play and where; -1 for a device: the DAC's own output, and
    // the system's default input.
    struct Request {
        int output = -1;
        int input = -1;
        double levelDbfs = -3;      // capped at 0 dBFS
        double frequencyHz = 997;
        int rateHz = 48000;
        double seconds = 1;
        // The input device's inputs that record the DAC's left and right
        // output, 0-based; one: a capture of the left output alone.
        std::vector<int> inputChannels{0, 1};
        // The DAC's volume a tuning runs at, on both outputs, dB; none: the
        // volume it holds. The volume held goes back afterwards.
        std::optional<double> volumeDb;
        // Tell the interface's share of each harmonic from the DAC's: a
        // capture, gainChangeNeeded() and a wait for the person to turn the
        // interface's input gain down, then another capture; a tuning then
        // nulls the DAC's share alone.
        bool separate = false;
        // The volumes a sweep steps through, both outputs, dB.
        std::vector<double> sweepVolumesDb = ThdSweep::defaultVolumesDb();
    };

    // The volumes a map probes, dB: the DAC's loudest, and two in the ranges
    // its volume thresholds (bytes 8 and 9) set by default.
    static inline const std::vector<double> mapVolumesDb{0, -15, -35};

    ThdEngine(uint16_t vendorId, uint16_t productId, QObject* parent = nullptr);
    ~ThdEngine() override;

    // Thread-safe: stops the measurement or tuning under way, or the next
    // one queued: a capture under way is abandoned within 0.2 s (its tone
    // fades out), a tuning then puts back the values and the volume held
    // before, and one that has changed nothing yet ends before it does.
    void cancel();
    // Thread-safe: the interface's input gain is changed, after
    // gainChangeNeeded(); the second capture starts. cancel() ends the wait
    // as it ends any other.
    void continueAfterGainChange();
    // Thread-safe: forgets a cancel(). The window calls it as it queues a
    // request, so that a Cancel pressed before the engine takes the request
    // up still stops it.
    void resetCancel() { stopRequested = false; }

public slots:
    // What the window does as it starts, one piece of work: connectDac(),
    // then listDevices(), so that the devices are known by the time the
    // work is over.
    void start();
    // Opens the DAC and reads its whole block, as the main window's
    // Connect&Read does.
    void connectDac();
    // PortAudio's devices, which output is the DAC's own, the default input.
    void listDevices();
    void measure(const ThdEngine::Request& request);
    void tune(const ThdEngine::Request& request);
    // What sonvalectl thd-map does: which pair moves which output at each
    // of mapVolumesDb, the block kept in the history first; the volume and
    // the values held go back afterwards (undo() can put back what did not).
    void map(const ThdEngine::Request& request);
    // Writes back the block kept before this session's last tuning.
    void undo();
    // Closes the DAC, then emits finished(). A slot runs only once the one
    // before it has returned, so a window that closes mid-tuning calls
    // cancel() first: the tuning then puts back the values held before and
    // ends (PortAudio ends with each capture), and this runs next. It also
    // calls requestInterruption() on the engine's thread: every request
    // still queued then does nothing (a tuning that starts then stops
    // before its first capture).
    void shutdown();
    // What sonvalectl sweep does: one capture at each of the request's
    // sweepVolumesDb, the block kept in the history first; the volume held
    // goes back afterwards, read back. Ends with swept() or failed().
    void sweep(const ThdEngine::Request& request);

signals:
    // Whether the DAC is open, or why not.
    void connection(const ThdConnection& state);
    // Once the DAC is open: the quietest volume its block holds, dB; a
    // tuning may run at any from 0 dB down to it, in steps of 0.5 dB.
    void volumesHeld(double lowestDb);
    // `dacOutput`, `defaultInput`: indexes into the list (PortAudio's
    // device indexes), -1 where there is none.
    void devicesListed(const QList<ThdEngine::Device>& devices, int dacOutput, int defaultInput);
    // The capture about to be made: what it is for, its number from 1 and
    // the planned total, which grows when a probe needs another attempt.
    void progress(const ThdStep& step);
    // A request to separate has made its first capture and waits, playing
    // nothing, until continueAfterGainChange() or cancel().
    void gainChangeNeeded();
    void measured(const ThdReport& report);
    void tuned(const ThdReport& report);
    void mapped(const ThdReport& report);
    void undone(bool ok, const QString& message);
    // Whether undo() has a tuning of this session to put back.
    void undoAvailable(bool available);
    void failed(const QString& message);
    void disconnected(const QString& message);
    void finished();
    void swept(const ThdSweep& sweep);

private:
    bool closing() const;
    DacSession* session() const;
    void announceCapture(const ThdStep& step);
    // announceCapture(), for the runs to call.
    std::function<void(const ThdStep&)> announcer();
    bool prepareRun(ThdStep::Request request, const std::vector<double>& volumesDb,
                    MeasurementRig& rig, std::array<uint8_t, BlockLayout::size>& held);
    // Ends `request` as cancelled before it changed anything; false.
    bool endCancelled(ThdStep::Request request);
    // False once the DAC has left, which it says.
    bool finishRun(const ThdReport& report, const QString& during);
    void dacLost(const QString& message);
    // What a request to separate waits on: the person's answer.
    bool waitForGainChange();

    struct Private;
    std::unique_ptr<Private> d;
    std::atomic<bool> stopRequested{false};
};

Q_DECLARE_METATYPE(ThdEngine::Device)
Q_DECLARE_METATYPE(ThdEngine::Request)
