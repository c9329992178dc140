// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "device/timerresolution.h"

#ifdef _WIN32

#include <windows.h>
#include <timeapi.h>

TimerResolution::TimerResolution() : raised(timeBeginPeriod(1) == TIMERR_NOERROR)
{
}

TimerResolution::~TimerResolution()
{
    if (raised)
        timeEndPeriod(1);
}

#else

TimerResolution::TimerResolution() = default;
TimerResolution::~TimerResolution() = default;

#endif
