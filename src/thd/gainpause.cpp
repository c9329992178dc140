// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/gainpause.h"

bool GainPause::wait(const std::atomic<bool>& stop)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return resumed || stop; });
    resumed = false;
    return !stop;
}

void GainPause::resume()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        resumed = true;
    }
    changed.notify_all();
}

void GainPause::wake()
{
    // Taken and let go, so that a wait that has just looked at the flag is
    // asleep before the notification.
    {
        const std::lock_guard<std::mutex> lock(mutex);
    }
    changed.notify_all();
}

void GainPause::reset()
{
    const std::lock_guard<std::mutex> lock(mutex);
    resumed = false;
}
