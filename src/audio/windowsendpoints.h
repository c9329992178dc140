// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Windows only: the audio endpoints that Windows created for a USB device.
// Each endpoint ("Speakers (Sonvale ES9038 USB DAC)") is a device node
// SWD\MMDEVAPI\... below the USB device's node in the device tree, and its
// friendly name is the name WASAPI, and so PortAudio, gives it. Endpoint ID
// strings are opaque and are not parsed; the tree is walked down from each
// present node USB\VID_vvvv&PID_pppp (cfgmgr32).
class WindowsEndpoints {
public:
    struct Found {
        int usbDevices = 0;                 // present USB devices with these identifiers
        std::vector<std::string> names;     // their endpoints' friendly names, UTF-8
    };

    static Found forUsbDevice(uint16_t vendorId, uint16_t productId);
};
