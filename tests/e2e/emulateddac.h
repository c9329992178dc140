// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "virtualdac.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// The DAC as the kernel would show it: a USB device 2fc6:6013 in an emulated
// /sys, and its usbfs node /dev/bus/usb/001/002 whose ioctls are answered
// here. The HID report requests on endpoint 0 go to the device model
// (VirtualDac); standard requests (string descriptors) are answered from the
// descriptors below. Everything the program's libusb asks is logged.
//
// The handler runs on umockdev's worker thread; the recorded exchanges are
// read by the harness once the program has ended.
class EmulatedDac {
public:
    struct Options {
        bool present = true;          // false: only the root hub is on the bus
        bool serialNumber = true;     // false: iSerialNumber is 0
        int unplugAfter = -1;         // unplugged once this many reports were answered
    };

    // Bytes as the log shows them: "A1 01 00 01".
    static std::string hex(const uint8_t* bytes, size_t count);

    // One control transfer on endpoint 0 as the device received it.
    struct Transfer {
        std::array<uint8_t, 8> setup;
        std::vector<uint8_t> data;    // OUT: what came; IN: what went back
        std::chrono::steady_clock::time_point at;
        VirtualDac::Block blockAfter; // the model's block once it was handled
    };

    static constexpr uint16_t vendorId = 0x2FC6;
    static constexpr uint16_t productId = 0x6013;
    static const char* const manufacturer;
    static const char* const product;
    static const char* const serial;
    static const char* const devnode;

    EmulatedDac(UMockdevTestbed* testbed, const Options& options, std::FILE* log);
    ~EmulatedDac();
    EmulatedDac(const EmulatedDac&) = delete;
    EmulatedDac& operator=(const EmulatedDac&) = delete;

    // Adds the bus (and the DAC, when present) to the testbed and attaches
    // the ioctl handler to the DAC's node. False, with a message, on failure.
    bool plugIn();

    // The DAC goes away: every later ioctl fails with ENODEV as usbfs does
    // for a removed device, and its /sys entry is removed (on the thread
    // that owns the testbed).
    void unplug();

    std::vector<Transfer> transfers() const;
    VirtualDac::Block block() const;
    bool wasUnplugged() const;
    int unhandledIoctls() const;

private:
    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int removeFromSys(void* self);

    bool handleIoctl(UMockdevIoctlClient* client);
    void submitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    int controlTransfer(const uint8_t* setup, uint8_t* data, int length);
    int stringDescriptor(uint8_t index, uint8_t* out, int length) const;
    std::vector<uint8_t> deviceDescriptor() const;
    static std::vector<uint8_t> configurationDescriptor();
    void logLine(const char* format, ...);

    UMockdevTestbed* testbed_;
    UMockdevIoctlBase* handler_ = nullptr;
    Options options_;
    std::FILE* log_;
    std::chrono::steady_clock::time_point start_;
    std::string syspath_;

    mutable std::mutex mutex_;
    VirtualDac dac_;
    std::vector<Transfer> transfers_;
    std::vector<UMockdevIoctlData*> completed_;   // URBs waiting to be reaped
    int reportsAnswered_ = 0;
    int unhandled_ = 0;
    std::string lastLogLine_;
    int repeats_ = 0;
    bool unplugged_ = false;
};
