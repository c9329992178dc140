// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The device's answers, fed through the simulated DAC into ES9038 and
// ES9038State. The input is a short program of operations on the mirror
// (full reads with and without a listener, single edits, write-alls, factory
// restore, reads of the command layer's own, invalid-answer mode), interleaved with a script of
// what happens on each exchange: the device's own answer, a scripted 7-byte
// answer, a failed SET_REPORT or GET_REPORT with a given result, or the DAC
// leaving the bus before either, as Windows' HID driver shows it.
//
// Beside the real objects the harness keeps a model of the mirror's two
// blocks, driven by the answers the link actually delivers. After every
// operation the mirror's getters must agree with the model; an answer may
// change `current` only by completing a read (the window at 44 arriving while
// the mirror is registered), which must notify the pending listener exactly
// once; and at the end a write-all to a healthy device must put exactly the
// model's block on the device. AddressSanitizer watches every copy.
//
// Time: the link pauses 100 ms after each request and 20 ms after each answer,
// and the simulated DAC withholds its answer until 90 ms after the request.
// Real pauses would give a few inputs per second, so this target replaces
// both clocks it meets: QThread::msleep only advances a fake offset, and
// std::chrono::steady_clock (the simulated DAC's clock) runs that much ahead
// of the real one. The pauses therefore still separate request and answer as
// the device expects, and each pause is also the moment to load the script
// for the next exchange. Nothing of the program is changed: the clock is
// defined in this executable, which takes it before the C++ library's; the
// pause is too on ELF systems (symbol interposition), while on Windows the
// program reaches QThread::msleep in Qt's DLL through this executable's
// import table, whose entry the harness points at its own pause.

#include "device/es9038.h"
#include "settings/es9038state.h"
#include "settings/settingsblock.h"
#include "usbsim.h"

#include "fuzzcheck.h"

#include <QThread>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <libusb.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

long long fakeAheadNs = 0;
unsigned long pauseCount = 0;
void (*pauseHook)(unsigned long ms) = nullptr;

void fakePause(unsigned long ms)
{
    fakeAheadNs += static_cast<long long>(ms) * 1000000;
    ++pauseCount;
    if (pauseHook)
        pauseHook(ms);
}

} // namespace

#ifdef _WIN32

// The import table's entry for QThread::msleep.
extern "C" void (*importedMsleep)(unsigned long) __asm__("__imp__ZN7QThread6msleepEm");

namespace {

void replaceMsleep()
{
    DWORD protection = 0;
    VirtualProtect(&importedMsleep, sizeof importedMsleep, PAGE_READWRITE, &protection);
    importedMsleep = fakePause;
    VirtualProtect(&importedMsleep, sizeof importedMsleep, protection, &protection);
}

} // namespace

std::chrono::steady_clock::time_point std::chrono::steady_clock::now() noexcept
{
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const long long seconds = count.QuadPart / frequency.QuadPart;
    const long long rest = count.QuadPart % frequency.QuadPart;
    return time_point(std::chrono::seconds(seconds)
                      + std::chrono::nanoseconds(rest * 1000000000 / frequency.QuadPart + fakeAheadNs));
}

#else

void QThread::msleep(unsigned long ms)
{
    fakePause(ms);
}

std::chrono::steady_clock::time_point std::chrono::steady_clock::now() noexcept
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)
                      + std::chrono::nanoseconds(fakeAheadNs));
}

#endif

namespace {

constexpr uint8_t kReadAnswer = 0x84;
constexpr uint8_t kLastWindow = 44;
constexpr size_t kBlock = 48;
constexpr int kMaxOperations = 24;

uint8_t* bytesOf(SettingsBlock& b)
{
    return reinterpret_cast<uint8_t*>(&b);
}

class Harness : public CT7601::OnReadDataListener, public ES9038State::OnImportFinishListener {
public:
    void run(const uint8_t* data, size_t size);

    // The link hands every valid answer here first; the model takes what
    // the mirror should take, then the answer goes on to the command layer.
    void onReadData(Report report) override;
    void onImportFinish(ES9038State* finished) override;

    void pause(unsigned long ms);

    ES9038 dac;

private:
    uint8_t take() { return left ? (--left, *in++) : 0; }
    void loadStep();
    void operate(uint8_t op);
    void checkGetters(const char* after);
    void finish();
    void reconnectIfLost();

    const uint8_t* in = nullptr;
    size_t left = 0;
    bool scripting = false;
    bool invalidAnswers = false;

    ES9038State* state = nullptr;
    // The model.
    SettingsBlock current;
    SettingsBlock transfer;
    bool listenerPending = false;
    int notificationsExpected = 0;
    int notifications = 0;
};

Harness& harness()
{
    static Harness* h = new Harness;   // lives as long as the process
    return *h;
}

void onPause(unsigned long ms)
{
    harness().pause(ms);
}

constexpr int kLeaves = 1000;   // not a result: the DAC leaves the bus before the transfer

// Results a failed transfer can give: libusb error codes and short counts.
int transferResult(uint8_t k)
{
    static const int results[] = {
        LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE,
        LIBUSB_ERROR_BUSY,    LIBUSB_ERROR_OVERFLOW,  LIBUSB_ERROR_OTHER, 0, 1, 2, 3, 4, 5, 6,
        LIBUSB_ERROR_NOT_FOUND, kLeaves,
    };
    return results[k % (sizeof results / sizeof results[0])];
}

// The script for the next exchange: one control byte, and seven answer bytes
// when it scripts an answer. An exhausted input lets the device answer.
void Harness::loadStep()
{
    if (!left)
        return;
    const uint8_t control = take();
    switch (control & 3) {
    case 0:
        break;
    case 1: {
        VirtualDac::Answer answer{};
        for (uint8_t& b : answer)
            b = take();
        UsbSim::dac().setNextAnswer(answer);
        break;
    }
    case 2:
        if (transferResult(control >> 2) == kLeaves)
            UsbSim::unplugAfterRequests(1);
        else
            UsbSim::failNextGetReport(transferResult(control >> 2));
        break;
    case 3:
        if (transferResult(control >> 2) == kLeaves)
            UsbSim::unplug();
        else
            UsbSim::failNextSetReport(transferResult(control >> 2));
        break;
    }
}

// The link pauses 20 ms after an answer, and 100 ms after every request; in
// the latter case a SET_REPORT that failed is followed by the next request at
// once. Either way the next transfer is a request: its script goes in now.
void Harness::pause(unsigned long ms)
{
    if (!scripting)
        return;
    const auto& calls = UsbSim::calls();
    FUZZ_CHECK(!calls.empty() && calls.back().function == "libusb_control_transfer",
               "a pause of %lu ms without a transfer before it", ms);
    if (ms == 20 || (ms == 100 && calls.back().result != 7))
        loadStep();
}

void Harness::onReadData(Report report)
{
    if (!state) {                       // between inputs
        dac.onReadData(report);
        return;
    }
    const bool taken = report.id == kReadAnswer && dac.stateListener == state
                       && report.addr <= kLastWindow;
    bool completes = false;
    if (taken) {
        const uint8_t n = report.length < 4 ? report.length : 4;
        std::memcpy(bytesOf(transfer) + report.addr, report.data, n);
        if (report.addr == kLastWindow) {
            completes = true;
            transfer.swapThdByteOrder();
            current = transfer;
            if (listenerPending) {
                ++notificationsExpected;
                listenerPending = false;
            }
        }
    }
    dac.onReadData(report);
    FUZZ_CHECK(notifications == notificationsExpected, "%d notifications, %d expected",
               notifications, notificationsExpected);
    if (completes)
        FUZZ_CHECK(dac.stateListener == nullptr, "a completed read left the mirror registered");
    else if (taken)
        FUZZ_CHECK(dac.stateListener == state, "a window other than 44 ended the read");
    checkGetters("an answer");
}

void Harness::onImportFinish(ES9038State* finished)
{
    FUZZ_CHECK(finished == state, "notified with another mirror");
    ++notifications;
    checkGetters("the notification");   // `current` is complete before anyone hears of it
}

void Harness::checkGetters(const char* after)
{
    FUZZ_CHECK(state->volume() == float(255 - current.volume[0]) / 255.0f,
               "volume after %s", after);
    for (uint8_t r = 0; r < 3; ++r) {
        const int16_t* range = r == 0 ? current.thd_range0 : r == 1 ? current.thd_range1
                                                                    : current.thd_range2;
        FUZZ_CHECK(state->thd2nd(r) == range[0] && state->thd3rd(r) == range[1],
                   "THD range %d after %s: %d/%d, model %d/%d", r, after, state->thd2nd(r),
                   state->thd3rd(r), range[0], range[1]);
    }
    for (int i = 0; i < 8; ++i) {
        FUZZ_CHECK(state->mclk(i) == current.pcm_mclk[i], "mclk %d after %s", i, after);
        FUZZ_CHECK(state->filter(i) == current.pcm_filter[i] >> 5, "filter %d after %s", i, after);
    }
}

// The model changes first: an answer taken during the operation's own
// exchanges is compared with it at once.
void Harness::operate(uint8_t op)
{
    switch (op % 11) {
    case 0:                             // a read on a lost link stores no listener
        listenerPending = listenerPending || dac.isConnected();
        state->readState(this);
        break;
    case 1:
        listenerPending = listenerPending && !dac.isConnected();
        state->readState(nullptr);
        break;
    case 2: {
        const uint8_t b = take();
        const float fraction = b == 0x7F ? NAN : float(int8_t(b)) / 100.0f;
        uint8_t attenuation;
        if (fraction > 1)
            attenuation = 0;
        else if (!(fraction >= 0))
            attenuation = 255;
        else
            attenuation = uint8_t(255 - int(fraction * 255.0f));
        current.volume[0] = current.volume[1] = attenuation;
        state->setVolume(fraction);
        break;
    }
    case 3:
    case 4: {
        const uint8_t range = take();
        const uint8_t high = take();
        const uint8_t low = take();
        const int16_t value = int16_t(uint16_t(high << 8 | low));
        int16_t* r = range == 0 ? current.thd_range0 : range == 1 ? current.thd_range1
                                                                  : current.thd_range2;
        if (op % 11 == 3) {
            r[0] = value;
            state->setThd2nd(range, value);
        } else {
            r[1] = value;
            state->setThd3rd(range, value);
        }
        break;
    }
    case 5: {
        const int index = int8_t(take());
        const uint8_t value = take();
        if (index >= 0 && index < 8 && value <= 15)
            current.pcm_mclk[index] = value;
        state->setMclk(index, value);
        break;
    }
    case 6: {
        const int index = int8_t(take());
        const uint8_t shape = take();
        if (index >= 0 && index < 8 && shape <= 7)
            current.pcm_filter[index] = uint8_t(shape << 5);
        state->setFilter(index, shape);
        break;
    }
    case 7:
        transfer = current;
        transfer.swapThdByteOrder();
        state->writeAll();
        break;
    case 8:
        dac.restoreFactory();
        break;
    case 9:
        invalidAnswers = !invalidAnswers;
        UsbSim::dac().setAnswersInvalid(invalidAnswers);
        break;
    case 10: {
        // A read of the command layer's own: its answer goes to the mirror
        // too while a read of the mirror's is open.
        const uint8_t address = take();
        const uint8_t count = take();
        dac.readSettings(address, count);
        break;
    }
    }
}

void Harness::run(const uint8_t* data, size_t size)
{
    in = data;
    left = size;
    UsbSim::clearLog();
    UsbSim::dac().reset();
    invalidAnswers = false;
    FUZZ_CHECK(dac.isConnected(), "the link lost its device");

    ES9038State mirror(&dac);
    state = &mirror;
    dac.stateListener = nullptr;
    current = SettingsBlock();
    transfer = SettingsBlock();
    listenerPending = false;
    notificationsExpected = notifications = 0;

    scripting = true;
    loadStep();
    for (int n = 0; n < kMaxOperations && left; ++n) {
        operate(take());
        checkGetters("an operation");
        reconnectIfLost();
        FUZZ_CHECK(UsbSim::liveContexts() <= 1 && UsbSim::liveHandles() <= 1,
                   "%d contexts and %d handles live", UsbSim::liveContexts(), UsbSim::liveHandles());
    }
    finish();
    state = nullptr;
    dac.stateListener = nullptr;
}

// A script step may still be pending; one more exchange uses it up. Then a
// write-all to a healthy device must carry exactly the model's block.
void Harness::finish()
{
    scripting = false;
    UsbSim::dac().setAnswersInvalid(false);
    reconnectIfLost();
    dac.command7();
    checkGetters("the last exchange");
    reconnectIfLost();

    UsbSim::dac().reset();
    state->writeAll();
    SettingsBlock expected = current;
    expected.swapThdByteOrder();
    const VirtualDac::Block block = UsbSim::block();
    FUZZ_CHECK(std::memcmp(block.data(), bytesOf(expected), kBlock) == 0,
               "the device does not hold the mirror's block after a write-all");
    FUZZ_CHECK(UsbSim::misuses().empty(), "libusb misuse: %s", UsbSim::misuses().front().c_str());
}

// A transfer that met LIBUSB_ERROR_NO_DEVICE, or the DAC's absence from the
// bus, ended the connection; plugged in again if it left, the user's
// Connect&Read brings it back. The mirror keeps what it had.
void Harness::reconnectIfLost()
{
    if (dac.isConnected())
        return;
    FUZZ_CHECK(UsbSim::liveContexts() == 0 && UsbSim::liveHandles() == 0,
               "a lost link still holds %d contexts and %d handles", UsbSim::liveContexts(),
               UsbSim::liveHandles());
    if (UsbSim::devices().empty())
        UsbSim::setDevices({UsbSim::Device()});
    FUZZ_CHECK(dac.reconnect(), "cannot reconnect to the simulated DAC");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
#ifdef _WIN32
    replaceMsleep();
#endif
    UsbSim::reset();
    UsbSim::setWindowsUnplug(true);
    Harness& h = harness();
    h.dac.link->listener = &h;
    FUZZ_CHECK(h.dac.reconnect(), "cannot connect to the simulated DAC");
    pauseHook = onPause;

    // The replacements above must be the ones the program calls: one
    // exchange, two fake pauses, and the device's answer arrives valid.
    const unsigned long before = pauseCount;
    const int ret = h.dac.command7();
    const auto calls = UsbSim::calls("libusb_control_transfer");
    FUZZ_CHECK(pauseCount == before + 2 && ret == 7 && !calls.empty()
                   && !calls.back().data.empty() && calls.back().data[0] == 0x87,
               "the pauses or the clock are not replaced: %lu pauses, result %d",
               pauseCount - before, ret);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    harness().run(data, size);
    return 0;
}
