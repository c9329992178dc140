// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "device/report.h"

#include <cstdint>
#include <string>

struct libusb_context;
struct libusb_device_handle;

// The USB side of the DAC: a CT7601 bridge that takes 7-byte HID reports on
// interface 0. One exchange is a SET_REPORT carrying the request, a 100 ms
// pause while the device prepares its answer, and a GET_REPORT fetching it.
// A transfer that finds the device gone from the bus ends the connection.
class CT7601 {
public:
    class OnReadDataListener {
    public:
        virtual void onReadData(Report report) = 0;
    };

    // The strings the device gave while it was being connected; empty where
    // it has none or it could not be read.
    struct Identity {
        std::string manufacturer;
        std::string product;
        std::string serial;
    };

    // Where the open device sits on the bus, as libusb numbers it (and Linux's
    // /proc/asound/cardN/usbbus writes it); -1 before a device was found.
    struct UsbLocation {
        int bus = -1;
        int address = -1;
    };

    // Where the last connect stopped, beside its console line.
    enum class Failure { None, Init, Hotplug, NotFound, Open };

    CT7601();
    ~CT7601();
    CT7601(const CT7601&) = delete;
    CT7601& operator=(const CT7601&) = delete;
    bool connect();
    void close();
    bool isConnected() const;
    int sendReport(const Report& request);
    const Identity& identity() const;
    UsbLocation location() const;
    Failure failure() const;
    int failureCode() const;    // libusb's code for a Hotplug or Open failure
    int claimError() const;     // interface 0 not claimed: libusb's code; otherwise 0

    uint32_t vendorId;                 // public: start-up writes them
    uint32_t productId;
    OnReadDataListener* listener;      // public: the command layer sets itself

private:
    void release();
    bool leftTheBus(int result);
    void claimInterface();
    void closeHandle();
    void printIdentity();

    libusb_context* context;
    libusb_device_handle* handle;
    bool connected;
    bool busy;
    bool claimed;    // interface 0 is ours and must be released before closing
    // Where the open device sits, read at connect: the bus, and the ports
    // from the root hub down (their count, or an error where the platform
    // does not give them).
    uint8_t busNumber;
    uint8_t deviceAddress;
    uint8_t portNumbers[7];
    int portCount;
    Identity identity_;
    Failure failure_ = Failure::None;
    int failureCode_ = 0;
    int claimError_ = 0;
};
