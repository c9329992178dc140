// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Windows wakes a sleeping thread at its timer's ticks, every 15.6 ms unless
// some program asks for finer ones, so a 100 ms pause could last up to
// 115.6 ms and a 20 ms pause up to 31.2 ms. While a TimerResolution lives,
// the timer ticks every millisecond on Windows and pauses last what they
// say; elsewhere it does nothing. Keep it no longer than the pauses that
// need it: a fast tick costs the whole system power.
class TimerResolution {
public:
    TimerResolution();
    ~TimerResolution();
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

#ifdef _WIN32
private:
    bool raised;
#endif
};
