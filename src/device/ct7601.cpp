// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "device/ct7601.h"

#include "base/diagnostics.h"
#include "base/version.h"
#include "device/timerresolution.h"

#include <QThread>
#include <libusb.h>

#include <algorithm>

namespace {

// Report transfers are HID class requests on interface 0.
constexpr uint8_t kSetReportType = 0x21;   // host-to-device, class, interface
constexpr uint8_t kGetReportType = 0xA1;   // device-to-host, class, interface
constexpr uint8_t kSetReport = 0x09;
constexpr uint8_t kGetReport = 0x01;
constexpr uint16_t kOutputReport = 0x0200; // report type Output, report ID 0
constexpr uint16_t kInputReport = 0x0100;  // report type Input, report ID 0
constexpr uint16_t kInterface = 0;
constexpr uint16_t kReportSize = 7;
constexpr unsigned kTimeoutMs = 1000;

// The bridge has its answer ready 100 ms after a request; the short rest
// after each answer keeps it from being flooded.
constexpr unsigned long kAnswerDelayMs = 100;
constexpr unsigned long kRestAfterAnswerMs = 20;

// Written at each registration, never read: a registration ends with the
// context it was made on.
libusb_hotplug_callback_handle hotplugHandle;

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void*)
{
    Diagnostics::print("HotPlug!\n");
    return 0;
}

} // namespace

CT7601::CT7601()
    : vendorId(SONVALE_USB_VENDOR_ID), productId(SONVALE_USB_PRODUCT_ID), listener(nullptr),
      context(nullptr), handle(nullptr), connected(false), busy(false), claimed(false),
      busNumber(0), deviceAddress(0), portNumbers{}, portCount(0)
{
}

CT7601::~CT7601()
{
    release();
}

void CT7601::closeHandle()
{
    if (!handle)
        return;
    if (claimed) {
        libusb_release_interface(handle, kInterface);
        claimed = false;
    }
    libusb_close(handle);
    handle = nullptr;
}

// Lets go of everything: the interface, the handle and the context.
void CT7601::release()
{
    connected = false;
    closeHandle();
    if (context) {
        libusb_exit(context);
        context = nullptr;
    }
}

bool CT7601::connect()
{
    release();
    identity_ = Identity();
    failure_ = Failure::None;
    claimError_ = 0;

    if (libusb_init(&context) < 0) {
        context = nullptr;
        failure_ = Failure::Init;
        Diagnostics::print("Libusb init error.\n");
        return false;
    }

    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        int rc = libusb_hotplug_register_callback(
            context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0,
            int(vendorId), int(productId), LIBUSB_CLASS_HID, onHotplug, nullptr, &hotplugHandle);
        if (rc < 0) {
            libusb_exit(context);
            context = nullptr;
            failure_ = Failure::Hotplug;
            failureCode_ = rc;
            Diagnostics::print("Error registering hotplug callback.\n");
            return false;
        }
    }

    libusb_device** list = nullptr;
    libusb_device* device = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && !device; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) < 0)
            continue;
        if (descriptor.idVendor == vendorId && descriptor.idProduct == productId)
            device = list[i];
    }

    int rc = 0;
    if (device) {
        rc = libusb_open(device, &handle);
        busNumber = libusb_get_bus_number(device);
        deviceAddress = libusb_get_device_address(device);
        portCount = libusb_get_port_numbers(device, portNumbers, sizeof portNumbers);
    }
    if (list)
        libusb_free_device_list(list, 1);

    if (!device) {
        libusb_exit(context);
        context = nullptr;
        failure_ = Failure::NotFound;
        Diagnostics::print("Device (vid=%x pid=%x) is not connected.\n", vendorId, productId);
        return false;
    }
    if (rc != 0) {
        handle = nullptr;
        libusb_exit(context);
        context = nullptr;
        failure_ = Failure::Open;
        failureCode_ = rc;
        Diagnostics::print("Device (vid=%x pid=%x) is not open. Error code = %d\n", vendorId, productId, rc);
        return false;
    }

    claimInterface();
    printIdentity();
    connected = true;
    return true;
}

// Whether a failed transfer means that the device has left the bus. libusb
// says so on Linux (LIBUSB_ERROR_NO_DEVICE); through Windows' HID driver a
// device that has gone only fails the request (LIBUSB_ERROR_IO, or
// LIBUSB_ERROR_NOT_FOUND once libusb has listed the bus again), as one that
// stalls does. So on any other error the bus is asked whether a device with
// our identifiers still sits where ours did. A time-out, or a count of bytes
// however short, comes from a device that is there; so does an error when the
// bus cannot be listed, for want of proof that it has gone.
bool CT7601::leftTheBus(int result)
{
    if (result == LIBUSB_ERROR_NO_DEVICE)
        return true;
    if (result >= 0 || result == LIBUSB_ERROR_TIMEOUT)
        return false;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    bool found = count < 0;
    for (ssize_t i = 0; i < count && !found; ++i) {
        uint8_t ports[sizeof portNumbers];
        libusb_device_descriptor descriptor;
        found = libusb_get_bus_number(list[i]) == busNumber
                && libusb_get_port_numbers(list[i], ports, sizeof ports) == portCount
                && std::equal(ports, ports + std::max(portCount, 0), portNumbers)
                && libusb_get_device_descriptor(list[i], &descriptor) == 0
                && descriptor.idVendor == vendorId && descriptor.idProduct == productId;
    }
    if (list)
        libusb_free_device_list(list, 1);
    return !found;
}

void CT7601::claimInterface()
{
#ifdef __linux__
    // The kernel's HID driver holds the interface and refuses class requests
    // to it; let libusb detach it while we hold the interface.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    int rc = libusb_claim_interface(handle, kInterface);
    if (rc == 0)
        claimed = true;
    else if (rc != LIBUSB_ERROR_NOT_SUPPORTED) {
        claimError_ = rc;
        Diagnostics::print("Cannot claim interface 0 of the device. Error code = %d\n", rc);
    }
#endif
}

void CT7601::printIdentity()
{
    libusb_device* device = libusb_get_device(handle);
    if (!device) {
        Diagnostics::print("Device (vid=%x pid=%x) is not getting from handle.", vendorId, productId);
        return;
    }
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) < 0) {
        Diagnostics::print("Error in getting device descriptor.\n");
        return;
    }

    const struct {
        uint8_t index;
        const char* format;
        std::string* kept;
    } strings[] = {
        {descriptor.iManufacturer, "Manufacturer:\t%s\n", &identity_.manufacturer},
        {descriptor.iProduct, "Product:\t%s\n", &identity_.product},
        {descriptor.iSerialNumber, "Serial number:\t%s\n", &identity_.serial},
    };
    for (const auto& s : strings) {
        if (s.index == 0)
            continue;
        unsigned char text[80];
        if (libusb_get_string_descriptor_ascii(handle, s.index, text, sizeof text) > 0) {
            *s.kept = reinterpret_cast<const char*>(text);
            Diagnostics::print(s.format, s.kept->c_str());
        }
    }
}

void CT7601::close()
{
    connected = false;
    closeHandle();
}

bool CT7601::isConnected() const
{
    return connected;
}

const CT7601::Identity& CT7601::identity() const
{
    return identity_;
}

CT7601::UsbLocation CT7601::location() const
{
    // libusb numbers devices on a bus from 1; 0 is left for "not found yet".
    if (deviceAddress == 0)
        return {};
    return {busNumber, deviceAddress};
}

CT7601::Failure CT7601::failure() const
{
    return failure_;
}

int CT7601::failureCode() const
{
    return failureCode_;
}

int CT7601::claimError() const
{
    return claimError_;
}

int CT7601::sendReport(const Report& request)
{
    if (!connected)
        return -1;
    if (busy) {
        Diagnostics::print("Usb busy.\n");
        return -1;
    }
    busy = true;
    const TimerResolution fineTimer;   // the exchange's pauses, to the millisecond

    int ret = libusb_control_transfer(handle, kSetReportType, kSetReport, kOutputReport, kInterface,
                                      const_cast<uint8_t*>(request.bytes()), kReportSize, kTimeoutMs);
    QThread::msleep(kAnswerDelayMs);
    if (ret != kReportSize) {
        Diagnostics::print("Error sending data over usb.(ret=%d\n", ret);
        if (leftTheBus(ret))
            release();
        busy = false;
        return ret;
    }

    Report answer;
    ret = libusb_control_transfer(handle, kGetReportType, kGetReport, kInputReport, kInterface,
                                  answer.bytes(), kReportSize, kTimeoutMs);
    if (ret == kReportSize && (answer.id & 0x80)) {
        Diagnostics::print("Response: %s\n", answer.toString().toUtf8().constData());
        if (listener)
            listener->onReadData(answer);
    } else {
        Diagnostics::print("Usb response error. Ret=%d ID=%u\n", ret, unsigned(answer.id));
    }

    QThread::msleep(kRestAfterAnswerMs);
    // A device that has left the bus will not come back on this handle; a
    // silent, stalling or confused one may, so only its absence ends the
    // connection.
    if (leftTheBus(ret))
        release();
    busy = false;
    return ret;
}
