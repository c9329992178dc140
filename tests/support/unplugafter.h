// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "device/es9038.h"

#include "usbsim.h"

// Sits between the link and the command layer, as the command layer's own
// listener would, and pulls the DAC off the bus right after the n-th answer
// has been taken.
class UnplugAfter final : public CT7601::OnReadDataListener {
public:
    UnplugAfter(ES9038& dac, int answers) : dac(dac), left(answers)
    {
        dac.link->listener = this;
        if (left == 0)
            UsbSim::unplug();
    }
    ~UnplugAfter() { dac.link->listener = &dac; }
    void onReadData(Report report) override
    {
        dac.onReadData(report);
        if (--left == 0)
            UsbSim::unplug();
    }

private:
    ES9038& dac;
    int left;
};
