// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// The engine's wait while the person turns the interface's input gain
// down between the two captures that tell its share from the DAC's. The
// engine's thread waits; the window's thread ends the wait, by going on or
// by a cancel, and never waits itself.
class GainPause {
public:
    // Blocks until resume() or wake() with `stop` set; true to go on,
    // false when `stop` is set. The caller resets before it asks, so that
    // only an answer to this question counts.
    bool wait(const std::atomic<bool>& stop);
    // Thread-safe: the gain is changed, the second capture may start.
    void resume();
    // Thread-safe: looks at the stop flag again (it has just been set).
    void wake();
    // Thread-safe: forgets a resume() that came after the last wait.
    void reset();

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool resumed = false;
};
