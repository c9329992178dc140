// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "emulateddac.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>

namespace {

// Standard requests the device answers on endpoint 0; the report requests
// are the model's own.
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kStringDescriptor = 0x03;
constexpr uint8_t kStandardIn = 0x80;      // device-to-host, standard, device
constexpr int kSetupSize = 8;
constexpr int kReportSize = VirtualDac::reportSize;
constexpr uint16_t kEnglishUs = 0x0409;

constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

constexpr int kUsbSpeedHigh = 3;           // enum usb_device_speed

const char* ioctlName(unsigned long request)
{
    switch (request) {
    case USBDEVFS_CONTROL: return "CONTROL";
    case USBDEVFS_SETINTERFACE: return "SETINTERFACE";
    case USBDEVFS_SETCONFIGURATION: return "SETCONFIGURATION";
    case USBDEVFS_GETDRIVER: return "GETDRIVER";
    case USBDEVFS_SUBMITURB: return "SUBMITURB";
    case USBDEVFS_DISCARDURB: return "DISCARDURB";
    case USBDEVFS_REAPURB: return "REAPURB";
    case USBDEVFS_REAPURBNDELAY: return "REAPURBNDELAY";
    case USBDEVFS_CLAIMINTERFACE: return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE: return "RELEASEINTERFACE";
    case USBDEVFS_CONNECTINFO: return "CONNECTINFO";
    case USBDEVFS_IOCTL: return "IOCTL";
    case USBDEVFS_RESET: return "RESET";
    case USBDEVFS_CLEAR_HALT: return "CLEAR_HALT";
    case USBDEVFS_GET_CAPABILITIES: return "GET_CAPABILITIES";
    case USBDEVFS_DISCONNECT_CLAIM: return "DISCONNECT_CLAIM";
    case USBDEVFS_GET_SPEED: return "GET_SPEED";
    default: return nullptr;
    }
}

UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (!resolved) {
        std::fprintf(stderr, "cannot read the client's memory: %s\n", error ? error->message : "?");
        g_clear_error(&error);
    }
    return resolved;
}

} // namespace

const char* const EmulatedDac::manufacturer = "Sonvale Labs";
const char* const EmulatedDac::product = "Sonvale ES9038 USB DAC";
const char* const EmulatedDac::serial = "SV9038-0001";
const char* const EmulatedDac::devnode = "/dev/bus/usb/001/002";

EmulatedDac::EmulatedDac(UMockdevTestbed* testbed, const Options& options, std::FILE* log)
    : testbed_(testbed), options_(options), log_(log), start_(std::chrono::steady_clock::now())
{
}

EmulatedDac::~EmulatedDac()
{
    if (log_ && repeats_ > 0)
        std::fprintf(log_, "           (%d more times)\n", repeats_);
    for (UMockdevIoctlData* urb : completed_)
        g_object_unref(urb);
    if (handler_)
        g_object_unref(handler_);
}

std::vector<uint8_t> EmulatedDac::deviceDescriptor() const
{
    return {
        18, 0x01,               // bLength, DEVICE
        0x00, 0x02,             // bcdUSB 2.00
        0x00, 0x00, 0x00,       // class, subclass, protocol: per interface
        64,                     // bMaxPacketSize0
        vendorId & 0xFF, vendorId >> 8,
        productId & 0xFF, productId >> 8,
        0x00, 0x01,             // bcdDevice 1.00
        kManufacturerIndex, kProductIndex,
        uint8_t(options_.serialNumber ? kSerialIndex : 0),
        1,                      // bNumConfigurations
    };
}

std::vector<uint8_t> EmulatedDac::configurationDescriptor()
{
    return {
        9, 0x02, 34, 0,         // CONFIGURATION, wTotalLength 34
        1, 1, 0,                // one interface, bConfigurationValue 1, no string
        0x80, 50,               // bus powered, 100 mA
        9, 0x04, 0, 0,          // INTERFACE 0, alternate 0
        1, 0x03, 0x00, 0x00, 0, // one endpoint, HID, no subclass, no protocol
        9, 0x21, 0x11, 0x01,    // HID 1.11
        0, 1, 0x22, 29, 0,      // one report descriptor of 29 bytes
        7, 0x05, 0x81, 0x03,    // ENDPOINT 1 IN, interrupt
        64, 0, 1,               // 64 bytes, every frame
    };
}

namespace {

// One device in umockdev's record format: its /sys path, its node under
// /dev, properties (E:), text attributes (A:) and binary ones (H:).
std::string record(const char* syspath, const char* node,
                   const std::vector<std::pair<const char*, std::string>>& properties,
                   const std::vector<std::pair<const char*, std::string>>& attributes,
                   const std::vector<uint8_t>& descriptors)
{
    std::string text = std::string("P: ") + syspath + "\n";
    text += std::string("N: ") + node + "\n";
    for (const auto& p : properties)
        text += std::string("E: ") + p.first + "=" + p.second + "\n";
    for (const auto& a : attributes)
        text += std::string("A: ") + a.first + "=" + a.second + "\n";
    text += "H: descriptors=";
    char digits[3];
    for (uint8_t byte : descriptors) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text + "\n\n";
}

} // namespace

bool EmulatedDac::plugIn()
{
    // The bus's root hub is always there, so that /dev/bus/usb exists even
    // without the DAC.
    const std::string hub = record(
        "/devices/usb1", "bus/usb/001/001",
        {{"DEVNAME", "/dev/bus/usb/001/001"}, {"DEVTYPE", "usb_device"}, {"SUBSYSTEM", "usb"},
         {"BUSNUM", "001"}, {"DEVNUM", "001"}, {"PRODUCT", "1d6b/2/600"}},
        {{"busnum", "1"}, {"devnum", "1"}, {"speed", "480"}, {"bConfigurationValue", "1"},
         {"idVendor", "1d6b"}, {"idProduct", "0002"}, {"dev", "189:0"}},
        {18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0x6b, 0x1d, 0x02, 0x00,
         0x00, 0x06, 0, 0, 0, 1,
         9, 0x02, 25, 0, 1, 1, 0, 0xE0, 0,
         9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
         7, 0x05, 0x81, 0x03, 4, 0, 12});

    std::string devices;
    if (options_.present) {
        std::vector<std::pair<const char*, std::string>> attributes = {
            {"busnum", "1"}, {"devnum", "2"}, {"speed", "480"}, {"bConfigurationValue", "1"},
            {"bNumConfigurations", "1"}, {"idVendor", "2fc6"}, {"idProduct", "6013"},
            {"dev", "189:1"}, {"manufacturer", manufacturer}, {"product", product}};
        if (options_.serialNumber)
            attributes.emplace_back("serial", serial);
        std::vector<uint8_t> descriptors = deviceDescriptor();
        const std::vector<uint8_t> configuration = configurationDescriptor();
        descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
        syspath_ = "/sys/devices/usb1/1-1";
        devices = record(
            "/devices/usb1/1-1", "bus/usb/001/002",
            {{"DEVNAME", devnode}, {"DEVTYPE", "usb_device"}, {"SUBSYSTEM", "usb"},
             {"BUSNUM", "001"}, {"DEVNUM", "002"}, {"PRODUCT", "2fc6/6013/100"}},
            attributes, descriptors);
    }
    devices += hub;

    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, devices.c_str(), &error)) {
        std::fprintf(stderr, "cannot add the USB devices to the testbed: %s\n",
                     error ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    if (!options_.present) {
        logLine("only the root hub is on the bus");
        return true;
    }

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode, handler_, &error)) {
        std::fprintf(stderr, "cannot attach the ioctl handler to %s: %s\n", devnode,
                     error ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    logLine("plugged in %04x:%04x at %s (%s), serial number %s", vendorId, productId,
            syspath_.c_str(), devnode, options_.serialNumber ? serial : "none");
    return true;
}

void EmulatedDac::unplug()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_)
            return;
        unplugged_ = true;
    }
    logLine("unplugged");
    g_main_context_invoke(nullptr, removeFromSys, this);
}

int EmulatedDac::removeFromSys(void* self)
{
    auto* dac = static_cast<EmulatedDac*>(self);
    dac->logLine("removing %s", dac->syspath_.c_str());
    umockdev_testbed_uevent(dac->testbed_, dac->syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(dac->testbed_, dac->syspath_.c_str());
    dac->logLine("removed %s", dac->syspath_.c_str());
    return G_SOURCE_REMOVE;
}

std::vector<EmulatedDac::Transfer> EmulatedDac::transfers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}

VirtualDac::Block EmulatedDac::block() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dac_.block();
}

bool EmulatedDac::wasUnplugged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
}

int EmulatedDac::unhandledIoctls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unhandled_;
}

int EmulatedDac::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    return static_cast<EmulatedDac*>(self)->handleIoctl(client);
}

bool EmulatedDac::handleIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const char* name = ioctlName(request);

    bool unplugged;
    bool reapable;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged = unplugged_;
        reapable = !completed_.empty();
    }
    // A removed device's node fails everything with ENODEV, except that URBs
    // completed before the removal can still be reaped.
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (unplugged && !(reap && reapable)) {
        logLine("%s -> ENODEV (unplugged)", name ? name : "ioctl");
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
    case USBDEVFS_SUBMITURB:
        submitUrb(client, arg);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reapUrb(client, arg);
        return true;
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = resolve(arg, 0, sizeof(uint32_t));
        if (!caps)
            break;
        const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
                               | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof value);
        logLine("GET_CAPABILITIES -> 0x%x", value);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GET_SPEED:
        logLine("GET_SPEED -> high speed");
        umockdev_ioctl_client_complete(client, kUsbSpeedHigh, 0);
        return true;
    case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData* dc = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
        if (!dc)
            break;
        const auto* claim = reinterpret_cast<const usbdevfs_disconnect_claim*>(dc->data);
        logLine("DISCONNECT_CLAIM interface %u flags 0x%x driver \"%s\" -> 0",
                claim->interface, claim->flags, claim->driver);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* number = resolve(arg, 0, sizeof(unsigned int));
        if (!number)
            break;
        unsigned int interface;
        std::memcpy(&interface, number->data, sizeof interface);
        logLine("%s %u -> 0", name, interface);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER:
        // No kernel driver is bound to the HID interface here.
        logLine("GETDRIVER -> ENODATA");
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (!command)
            break;
        const auto* ioctl = reinterpret_cast<const usbdevfs_ioctl*>(command->data);
        const char* what = ioctl->ioctl_code == int(USBDEVFS_CONNECT)      ? "CONNECT"
                           : ioctl->ioctl_code == int(USBDEVFS_DISCONNECT) ? "DISCONNECT"
                                                                           : "?";
        // Nothing to bind again and nothing to detach.
        logLine("IOCTL %s interface %d -> ENODATA", what, ioctl->ifno);
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    }
    case USBDEVFS_DISCARDURB:
        // URBs complete when they are submitted: nothing is ever in flight.
        logLine("DISCARDURB -> EINVAL");
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        logLine("%s -> 0", name);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default:
        break;
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++unhandled_;
    }
    if (name)
        logLine("%s -> ENOTTY (not emulated)", name);
    else
        logLine("ioctl 0x%lx -> ENOTTY (not emulated)", request);
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return true;
}

void EmulatedDac::submitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->endpoint != 0
        || urb->buffer_length < kSetupSize) {
        logLine("SUBMITURB type %d endpoint 0x%02x length %d -> EINVAL (not emulated)",
                urb->type, urb->endpoint, urb->buffer_length);
        std::lock_guard<std::mutex> lock(mutex_);
        ++unhandled_;
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                        size_t(urb->buffer_length));
    if (!buffer) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    // A control URB carries the setup packet, then the data stage.
    const int length = std::min<int>(urb->buffer_length - kSetupSize,
                                     buffer->data[6] | (buffer->data[7] << 8));
    const int moved = controlTransfer(buffer->data, buffer->data + kSetupSize, length);
    if (moved < 0) {
        urb->status = -EPIPE;    // the device stalls what it does not know
        urb->actual_length = 0;
    } else {
        urb->status = 0;
        urb->actual_length = moved;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        completed_.push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urbData)));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedDac::reapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urb = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!completed_.empty()) {
            urb = completed_.front();
            completed_.erase(completed_.begin());
        }
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
    if (!slot || !umockdev_ioctl_data_set_ptr(slot, 0, urb)) {
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    logLine("REAPURBNDELAY -> URB 0x%lx", urb->client_addr);
    g_object_unref(urb);
    umockdev_ioctl_client_complete(client, 0, 0);
}

std::string EmulatedDac::hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

// Handles one control transfer on endpoint 0. Returns the number of bytes
// of its data stage, or -1 for a stall.
int EmulatedDac::controlTransfer(const uint8_t* setup, uint8_t* data, int length)
{
    const uint8_t requestType = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = uint16_t(setup[2] | (setup[3] << 8));
    const std::string setupText = hex(setup, kSetupSize);

    if (requestType == kStandardIn && request == kGetDescriptor && (value >> 8) == kStringDescriptor) {
        const int n = stringDescriptor(uint8_t(value & 0xFF), data, length);
        if (n < 0)
            logLine("SUBMITURB control %s: no string %u -> stall", setupText.c_str(), value & 0xFF);
        else
            logLine("SUBMITURB control %s: string %u -> %s", setupText.c_str(), value & 0xFF,
                    hex(data, size_t(n)).c_str());
        return n;
    }

    const uint16_t index = uint16_t(setup[4] | (setup[5] << 8));
    const uint16_t wLength = uint16_t(setup[6] | (setup[7] << 8));
    const VirtualDac::ReportTransfer report =
        VirtualDac::reportTransfer(requestType, request, value, index, wLength);
    const bool setReport = report == VirtualDac::ReportTransfer::Set;
    const bool getReport = report == VirtualDac::ReportTransfer::Get;
    if (!setReport && !getReport) {
        logLine("SUBMITURB control %s -> stall (not emulated)", setupText.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        ++unhandled_;
        return -1;
    }

    Transfer transfer;
    std::copy(setup, setup + kSetupSize, transfer.setup.begin());
    transfer.at = std::chrono::steady_clock::now();
    const int n = std::min(length, kReportSize);
    bool unplugNow = false;
    bool answered = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (setReport) {
            uint8_t report[kReportSize] = {};
            std::copy(data, data + n, report);
            dac_.receive(report);
            transfer.data.assign(data, data + n);
        } else {
            uint8_t answer[kReportSize] = {};
            answered = dac_.answer(answer);
            std::copy(answer, answer + n, data);
            transfer.data.assign(answer, answer + n);
            if (answered && options_.unplugAfter >= 0 && ++reportsAnswered_ == options_.unplugAfter)
                unplugNow = true;
        }
        transfer.blockAfter = dac_.block();
        transfers_.push_back(transfer);
    }
    logLine("SUBMITURB control %s: %s %s", setupText.c_str(),
            setReport ? "SET_REPORT" : "GET_REPORT", hex(transfer.data.data(), transfer.data.size()).c_str());
    if (unplugNow)
        unplug();
    return answered ? n : -1;
}

int EmulatedDac::stringDescriptor(uint8_t index, uint8_t* out, int length) const
{
    std::vector<uint8_t> descriptor;
    if (index == 0) {
        descriptor = {4, kStringDescriptor, kEnglishUs & 0xFF, kEnglishUs >> 8};
    } else {
        const char* text = index == kManufacturerIndex ? manufacturer
                           : index == kProductIndex    ? product
                           : index == kSerialIndex && options_.serialNumber ? serial
                                                                            : nullptr;
        if (!text)
            return -1;
        descriptor = {uint8_t(2 + 2 * std::strlen(text)), kStringDescriptor};
        for (const char* c = text; *c; ++c) {
            descriptor.push_back(uint8_t(*c));
            descriptor.push_back(0);
        }
    }
    const int n = std::min<int>(length, int(descriptor.size()));
    std::copy(descriptor.begin(), descriptor.begin() + n, out);
    return n;
}

void EmulatedDac::logLine(const char* format, ...)
{
    if (!log_)
        return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    // A client that polls a dead node would flood the log.
    if (lastLogLine_ == text) {
        ++repeats_;
        return;
    }
    if (repeats_ > 0)
        std::fprintf(log_, "           (%d more times)\n", repeats_);
    repeats_ = 0;
    lastLogLine_ = text;
    std::fprintf(log_, "[%8.3f] %s\n", seconds, text);
    std::fflush(log_);
}
