// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "virtualdac.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Control of the simulated USB bus that stands in for libusb: the libusb_*
// functions defined in usbsim.cpp act on the state kept here. One thread,
// no locking.
//
// The bus holds a list of devices in enumeration order; those marked `dac`
// are backed by the one VirtualDac, the others stall every control transfer.
// On Linux the DAC's interface 0 starts out held by the kernel's HID driver,
// so class requests reach it only once the interface has been claimed with
// auto-detach on (until then they fail with LIBUSB_ERROR_BUSY).
//
// Faults that name an error code take it as the libusb result; they stay in
// force until reset() unless they say "next", which lasts one call.
//
// A program linked with the simulated DAC (sonvale-sim, sonvalectl-sim) is
// set up from its environment when it first touches the bus, so that it can
// be tried, and tested, as a process:
//   SONVALE_SIM_BLOCK=FILE      the DAC keeps its block in FILE: the file's
//                               first 48 bytes are the block at start (when it
//                               has them), and every request that changes the
//                               block writes it back, so that successive runs
//                               see one device
//   SONVALE_SIM_REQUESTS=FILE   each request the DAC receives is appended to
//                               FILE as a line of hex bytes, "04 00 04 00 00 00 00"
//   SONVALE_SIM_UNPLUG_AFTER=N  the DAC leaves the bus once it has handed out
//                               N answers (unplugAfterAnswers)
//   SONVALE_SIM_WINDOWS_UNPLUG=1  it leaves as through Windows' HID driver
//                               (setWindowsUnplug)
//   SONVALE_SIM_TRANSFER_ERROR=N  every transfer to the DAC fails with N, the
//                               DAC staying on the bus (failTransfers)
//   SONVALE_SIM_KEEP_BLOCK=1    the block does not take writes (setKeepsBlock)
//   SONVALE_SIM_SILENT=1        the DAC takes nothing and never answers
//   SONVALE_SIM_OPEN_ERROR=N    libusb_open fails with N (failOpen)
//   SONVALE_SIM_CLAIM_ERROR=N   libusb_claim_interface fails with N (failClaim)
// Without them the bus starts as reset() leaves it. A program linked with
// the simulated analog path as well (sonvale_audiosim) takes
//   SONVALE_SIM_ANALOG=key=value,...  the DAC's analog distortion and the
//                               audio interface recording it (audiosim.h)
class UsbSim {
public:
    using Clock = std::chrono::steady_clock;

    struct StringDescriptor {
        uint8_t index = 0;      // 0: the device has no such string
        std::string text;
        int error = 0;          // negative: reading it fails with this code
    };

    struct Device {
        uint16_t vendorId = 0x2FC6;
        uint16_t productId = 0x6013;
        StringDescriptor manufacturer{1, "Sonvale Labs", 0};
        StringDescriptor product{2, "Sonvale ES9038 USB DAC", 0};
        StringDescriptor serial{3, "SV9038-0001", 0};
        int descriptorError = 0;      // negative: descriptor read fails with it
        int openDescriptorError = 0;  // negative: the same, but only while the device is open
        bool dac = true;
        uint8_t busNumber = 1;
        uint8_t address = 0;    // libusb's device address; 0: its place in the bus list
        std::vector<uint8_t> portNumbers{1};   // from the root hub down; empty: not known
    };

    // One libusb call. Pointers appear as numbers: contexts and handles by
    // the order of their creation from 1, devices by their place in the bus
    // list from 1, null as 0.
    //   libusb_init                        {new context}
    //   libusb_exit                        {context}
    //   libusb_has_capability              {capability}
    //   libusb_hotplug_register_callback   {context, events, flags, vendor, product,
    //                                       class, callback != null, user data != null,
    //                                       handle slot != null}
    //   libusb_hotplug_deregister_callback {context, callback handle}
    //   libusb_get_device_list             {context}               result: count
    //   libusb_free_device_list            {unref_devices}
    //   libusb_get_device_descriptor       {device}
    //   libusb_get_bus_number              {device}                result: the bus
    //   libusb_get_device_address          {device}                result: the address
    //   libusb_get_port_numbers            {device, length}        result: count or error
    //   libusb_open                        {device, new handle}
    //   libusb_close                       {handle}
    //   libusb_get_device                  {handle}                result: device or 0
    //   libusb_get_string_descriptor_ascii {handle, index, length} data: the string
    //   libusb_set_auto_detach_kernel_driver {handle, enable}
    //   libusb_claim_interface, libusb_release_interface {handle, interface}
    //   libusb_control_transfer            {handle, bmRequestType, bRequest, wValue,
    //                                       wIndex, wLength, timeout}
    //                                      data: bytes sent, or bytes received
    struct Call {
        std::string function;
        std::vector<long long> args;
        std::vector<uint8_t> data;
        long long result = 0;
        Clock::time_point time;
    };

    struct Transfer {
        uint8_t requestType = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        std::vector<uint8_t> data;
        uint16_t length = 0;
        unsigned timeout = 0;
        int result = 0;
        Clock::time_point time;
    };

    // Back to a bus with one default DAC device, the factory block, hotplug
    // capability, no faults and an empty log. Contexts and handles the
    // program still holds stay valid and counted.
    static void reset();

    static VirtualDac& dac();
    static VirtualDac::Block block();
    static void setBlock(const VirtualDac::Block& block);

    // The bus, in enumeration order.
    static void setDevices(const std::vector<Device>& devices);
    static std::vector<Device> devices();
    // The DAC leaves the bus; every later transfer, string read or claim on a
    // handle open to it fails with LIBUSB_ERROR_NO_DEVICE.
    static void unplug();
    // The DAC leaves the bus right after it has handed out `answers` more
    // answers, or taken `requests` more requests; a negative count cancels.
    static void unplugAfterAnswers(int answers);
    static void unplugAfterRequests(int requests);
    // A device that has left the bus (unplugged, or dropped by setDevices)
    // shows it as through Windows' HID driver: those calls fail with
    // LIBUSB_ERROR_IO, and with LIBUSB_ERROR_NOT_FOUND once the bus has been
    // listed again (on any context).
    static void setWindowsUnplug(bool windows);

    // Faults.
    static void failInit(int code);
    static void setHotplugCapable(bool capable);
    static void failHotplugRegistration(int code);
    static void failGetDevice(bool fail);          // libusb_get_device yields null
    static void failOpen(int code);
    static void failAutoDetach(int code);
    static void failClaim(int code);
    static void failRelease(int code);
    static void setKernelDriverBound(bool bound);
    static void failNextSetReport(int result);     // an error, or a short count 0..6
    static void failNextGetReport(int result);     // an error (-7 time-out), or a short count
    static void failTransfers(int code);           // every transfer to the DAC; 0: none

    // Calls the hotplug callbacks registered on live contexts as libusb's
    // event handling would on arrival of the DAC; returns how many ran.
    static int fireHotplugArrival();

    // The log.
    static const std::vector<Call>& calls();
    static std::vector<Call> calls(const std::string& function);
    static std::vector<std::string> functionNames();
    static std::vector<Transfer> transfers();
    static void clearLog();

    // What the program holds now, and the highest number of contexts and
    // handles held at once since the last reset.
    static int liveContexts();
    static int liveHandles();
    static int liveDevices();        // devices with a reference
    static int liveDeviceLists();
    static int maxLiveContexts();
    static int maxLiveHandles();
    static int hotplugRegistrations();

    // Calls libusb would not take kindly (closing a handle twice, a transfer
    // on a handle whose context has gone, ...), one line each.
    static const std::vector<std::string>& misuses();
};
