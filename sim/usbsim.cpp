// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated USB bus behind the libusb C API: every libusb_* function the
// program calls, with libusb's own signatures, acting on VirtualDac.

#include "usbsim.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

struct libusb_context {
    int id = 0;
    bool live = true;
};

struct libusb_device {
    std::shared_ptr<UsbSim::Device> device;
    int address = 0;          // place in the bus list, from 1
    int refs = 1;
    libusb_context* context = nullptr;
};

struct libusb_device_handle {
    int id = 0;
    libusb_device* device = nullptr;
    bool live = true;
    bool autoDetach = false;
    bool claimed = false;
};

namespace {

constexpr int kReportSize = VirtualDac::reportSize;

struct Hotplug {
    libusb_context* context;
    int handle;
    libusb_hotplug_callback_fn callback;
    void* userData;
};

struct Bus {
    VirtualDac dac;
    std::vector<std::shared_ptr<UsbSim::Device>> devices;
    // Whether the kernel's HID driver holds interface 0 of the DAC.
    bool kernelDriverBound = false;

    int initError = 0;
    bool hotplugCapable = true;
    int hotplugError = 0;
    bool getDeviceNull = false;
    int openError = 0;
    int autoDetachError = 0;
    int claimError = 0;
    int releaseError = 0;
    bool hasNextSetReport = false;
    int nextSetReport = 0;
    bool hasNextGetReport = false;
    int nextGetReport = 0;
    int answersBeforeUnplug = -1;     // negative: stays plugged in
    int requestsBeforeUnplug = -1;
    bool windowsUnplug = false;
    bool listedSinceDeparture = false;
    int transferError = 0;

    // From the environment; empty when not given.
    std::string blockFile;
    std::string requestFile;

    std::vector<UsbSim::Call> log;
    std::vector<std::string> misuses;
    std::vector<Hotplug> hotplugs;
    int nextHotplugHandle = 1;

    // Everything the program was handed stays allocated for the life of the
    // process, so that a stale pointer is reported rather than followed.
    std::vector<std::unique_ptr<libusb_context>> contexts;
    std::vector<std::unique_ptr<libusb_device>> deviceObjects;
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::vector<std::unique_ptr<libusb_device*[]>> lists;
    std::vector<libusb_device**> liveLists;
    int maxContexts = 0;
    int maxHandles = 0;
};

bool kernelDriverDefault()
{
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

void readBlockFile(Bus& b)
{
    std::FILE* file = std::fopen(b.blockFile.c_str(), "rb");
    if (!file)
        return;
    VirtualDac::Block block;
    if (std::fread(block.data(), 1, block.size(), file) == block.size())
        b.dac.setBlock(block);
    std::fclose(file);
}

void writeBlockFile(const Bus& b)
{
    std::FILE* file = std::fopen(b.blockFile.c_str(), "wb");
    if (!file)
        return;
    std::fwrite(b.dac.block().data(), 1, b.dac.block().size(), file);
    std::fclose(file);
}

void logRequest(const Bus& b, const unsigned char* request)
{
    std::FILE* file = std::fopen(b.requestFile.c_str(), "ab");
    if (!file)
        return;
    for (int i = 0; i < kReportSize; ++i)
        std::fprintf(file, i ? " %02X" : "%02X", request[i]);
    std::fputc('\n', file);
    std::fclose(file);
}

void applyEnvironment(Bus& b)
{
    if (const char* path = std::getenv("SONVALE_SIM_BLOCK")) {
        b.blockFile = path;
        readBlockFile(b);
    }
    if (const char* path = std::getenv("SONVALE_SIM_REQUESTS"))
        b.requestFile = path;
    if (const char* count = std::getenv("SONVALE_SIM_UNPLUG_AFTER"))
        b.answersBeforeUnplug = std::atoi(count);
    if (const char* keep = std::getenv("SONVALE_SIM_KEEP_BLOCK"))
        b.dac.setKeepsBlock(std::atoi(keep) != 0);
    if (const char* windows = std::getenv("SONVALE_SIM_WINDOWS_UNPLUG"))
        b.windowsUnplug = std::atoi(windows) != 0;
    if (const char* code = std::getenv("SONVALE_SIM_TRANSFER_ERROR"))
        b.transferError = std::atoi(code);
    if (const char* silent = std::getenv("SONVALE_SIM_SILENT"))
        b.dac.setSilent(std::atoi(silent) != 0);
    if (const char* code = std::getenv("SONVALE_SIM_OPEN_ERROR"))
        b.openError = std::atoi(code);
    if (const char* code = std::getenv("SONVALE_SIM_CLAIM_ERROR"))
        b.claimError = std::atoi(code);
}

Bus& bus()
{
    static Bus* b = [] {
        auto* created = new Bus;
        created->devices.push_back(std::make_shared<UsbSim::Device>());
        created->kernelDriverBound = kernelDriverDefault();
        applyEnvironment(*created);
        return created;
    }();
    return *b;
}

UsbSim::Call& record(const char* function, std::vector<long long> args)
{
    UsbSim::Call call;
    call.function = function;
    call.args = std::move(args);
    call.time = UsbSim::Clock::now();
    bus().log.push_back(std::move(call));
    return bus().log.back();
}

void misuse(const std::string& what)
{
    bus().misuses.push_back(what);
}

int countLiveContexts()
{
    int n = 0;
    for (const auto& c : bus().contexts)
        n += c->live ? 1 : 0;
    return n;
}

int countLiveHandles()
{
    int n = 0;
    for (const auto& h : bus().handles)
        n += h->live ? 1 : 0;
    return n;
}

bool known(const libusb_context* ctx)
{
    for (const auto& c : bus().contexts)
        if (c.get() == ctx)
            return true;
    return false;
}

bool known(const libusb_device_handle* handle)
{
    for (const auto& h : bus().handles)
        if (h.get() == handle)
            return true;
    return false;
}

bool known(const libusb_device* dev)
{
    for (const auto& d : bus().deviceObjects)
        if (d.get() == dev)
            return true;
    return false;
}

long long idOf(const libusb_context* ctx)
{
    return ctx ? ctx->id : 0;
}

long long idOf(const libusb_device_handle* handle)
{
    return handle ? handle->id : 0;
}

long long idOf(const libusb_device* dev)
{
    return dev ? dev->address : 0;
}

bool present(const libusb_device* dev)
{
    const auto& list = bus().devices;
    return std::find(list.begin(), list.end(), dev->device) != list.end();
}

// What a call on a handle to a device that has left the bus fails with.
int goneError()
{
    const Bus& b = bus();
    if (!b.windowsUnplug)
        return LIBUSB_ERROR_NO_DEVICE;
    return b.listedSinceDeparture ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_IO;
}

// A handle the program may use; reports a misuse otherwise.
bool usable(libusb_device_handle* handle, const char* function)
{
    if (!handle || !known(handle)) {
        misuse(std::string(function) + " on an unknown handle");
        return false;
    }
    if (!handle->live) {
        misuse(std::string(function) + " on a closed handle");
        return false;
    }
    if (!handle->device->context->live) {
        misuse(std::string(function) + " on a handle whose context has been exited");
        return false;
    }
    return true;
}

void unref(libusb_device* dev)
{
    if (dev->refs <= 0) {
        misuse("device unreferenced once too often");
        return;
    }
    --dev->refs;
}

int controlTransfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                    uint16_t value, uint16_t index, unsigned char* data, uint16_t length)
{
    Bus& b = bus();
    if (!present(handle->device))
        return goneError();
    if (!handle->device->device->dac)
        return LIBUSB_ERROR_PIPE;
    if (b.transferError < 0)
        return b.transferError;
    const bool toInterface0 = (requestType & 0x1F) == LIBUSB_RECIPIENT_INTERFACE && (index & 0xFF) == 0;
    if (toInterface0 && b.kernelDriverBound)
        return LIBUSB_ERROR_BUSY;

    const VirtualDac::ReportTransfer report =
        data ? VirtualDac::reportTransfer(requestType, request, value, index, length)
             : VirtualDac::ReportTransfer::None;
    if (report == VirtualDac::ReportTransfer::Set) {
        if (b.hasNextSetReport) {
            b.hasNextSetReport = false;
            return b.nextSetReport;
        }
        const VirtualDac::Block before = b.dac.block();
        b.dac.receive(data);
        if (!b.requestFile.empty())
            logRequest(b, data);
        if (!b.blockFile.empty() && b.dac.block() != before)
            writeBlockFile(b);
        if (b.requestsBeforeUnplug > 0 && --b.requestsBeforeUnplug == 0)
            UsbSim::unplug();
        return kReportSize;
    }
    if (report == VirtualDac::ReportTransfer::Get) {
        uint8_t answer[kReportSize] = {};
        const bool answered = b.dac.answer(answer);
        if (b.hasNextGetReport) {
            b.hasNextGetReport = false;
            const int result = b.nextGetReport;
            if (result > 0 && answered)
                std::memcpy(data, answer, std::min<int>(result, kReportSize));
            return result;
        }
        if (!answered)
            return LIBUSB_ERROR_TIMEOUT;
        std::memcpy(data, answer, kReportSize);
        if (b.answersBeforeUnplug > 0 && --b.answersBeforeUnplug == 0)
            UsbSim::unplug();
        return kReportSize;
    }
    // Anything else the bridge stalls.
    return LIBUSB_ERROR_PIPE;
}

} // namespace

// ---------------------------------------------------------------- control

void UsbSim::reset()
{
    Bus& b = bus();
    b.dac.reset();
    b.devices.assign(1, std::make_shared<Device>());
    b.kernelDriverBound = kernelDriverDefault();
    b.initError = 0;
    b.hotplugCapable = true;
    b.hotplugError = 0;
    b.getDeviceNull = false;
    b.openError = 0;
    b.autoDetachError = 0;
    b.claimError = 0;
    b.releaseError = 0;
    b.hasNextSetReport = false;
    b.hasNextGetReport = false;
    b.answersBeforeUnplug = -1;
    b.requestsBeforeUnplug = -1;
    b.windowsUnplug = false;
    b.transferError = 0;
    b.log.clear();
    b.misuses.clear();
    b.maxContexts = countLiveContexts();
    b.maxHandles = countLiveHandles();
}

VirtualDac& UsbSim::dac()
{
    return bus().dac;
}

VirtualDac::Block UsbSim::block()
{
    return bus().dac.block();
}

void UsbSim::setBlock(const VirtualDac::Block& block)
{
    bus().dac.setBlock(block);
}

void UsbSim::setDevices(const std::vector<Device>& devices)
{
    auto& list = bus().devices;
    list.clear();
    bus().listedSinceDeparture = false;
    for (const Device& d : devices)
        list.push_back(std::make_shared<Device>(d));
}

std::vector<UsbSim::Device> UsbSim::devices()
{
    std::vector<Device> result;
    for (const auto& d : bus().devices)
        result.push_back(*d);
    return result;
}

void UsbSim::unplug()
{
    bus().listedSinceDeparture = false;
    auto& list = bus().devices;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::shared_ptr<Device>& d) { return d->dac; }),
               list.end());
}

void UsbSim::unplugAfterAnswers(int answers)
{
    bus().answersBeforeUnplug = answers;
}

void UsbSim::unplugAfterRequests(int requests)
{
    bus().requestsBeforeUnplug = requests;
}

void UsbSim::setWindowsUnplug(bool windows) { bus().windowsUnplug = windows; }

void UsbSim::failInit(int code) { bus().initError = code; }
void UsbSim::setHotplugCapable(bool capable) { bus().hotplugCapable = capable; }
void UsbSim::failHotplugRegistration(int code) { bus().hotplugError = code; }
void UsbSim::failGetDevice(bool fail) { bus().getDeviceNull = fail; }
void UsbSim::failOpen(int code) { bus().openError = code; }
void UsbSim::failAutoDetach(int code) { bus().autoDetachError = code; }
void UsbSim::failClaim(int code) { bus().claimError = code; }
void UsbSim::failRelease(int code) { bus().releaseError = code; }
void UsbSim::setKernelDriverBound(bool bound) { bus().kernelDriverBound = bound; }
void UsbSim::failTransfers(int code) { bus().transferError = code; }

void UsbSim::failNextSetReport(int result)
{
    bus().hasNextSetReport = true;
    bus().nextSetReport = result;
}

void UsbSim::failNextGetReport(int result)
{
    bus().hasNextGetReport = true;
    bus().nextGetReport = result;
}

int UsbSim::fireHotplugArrival()
{
    // A callback may deregister or exit; walk a copy.
    const std::vector<Hotplug> hotplugs = bus().hotplugs;
    int fired = 0;
    for (const Hotplug& h : hotplugs) {
        if (!h.context->live)
            continue;
        h.callback(h.context, nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, h.userData);
        ++fired;
    }
    return fired;
}

const std::vector<UsbSim::Call>& UsbSim::calls()
{
    return bus().log;
}

std::vector<UsbSim::Call> UsbSim::calls(const std::string& function)
{
    std::vector<Call> result;
    for (const Call& c : bus().log)
        if (c.function == function)
            result.push_back(c);
    return result;
}

std::vector<std::string> UsbSim::functionNames()
{
    std::vector<std::string> names;
    for (const Call& c : bus().log)
        names.push_back(c.function);
    return names;
}

std::vector<UsbSim::Transfer> UsbSim::transfers()
{
    std::vector<Transfer> result;
    for (const Call& c : calls("libusb_control_transfer")) {
        Transfer t;
        t.requestType = static_cast<uint8_t>(c.args[1]);
        t.request = static_cast<uint8_t>(c.args[2]);
        t.value = static_cast<uint16_t>(c.args[3]);
        t.index = static_cast<uint16_t>(c.args[4]);
        t.length = static_cast<uint16_t>(c.args[5]);
        t.timeout = static_cast<unsigned>(c.args[6]);
        t.data = c.data;
        t.result = static_cast<int>(c.result);
        t.time = c.time;
        result.push_back(t);
    }
    return result;
}

void UsbSim::clearLog()
{
    bus().log.clear();
}

int UsbSim::liveContexts() { return countLiveContexts(); }
int UsbSim::liveHandles() { return countLiveHandles(); }
int UsbSim::maxLiveContexts() { return bus().maxContexts; }
int UsbSim::maxLiveHandles() { return bus().maxHandles; }

int UsbSim::liveDevices()
{
    int n = 0;
    for (const auto& d : bus().deviceObjects)
        n += d->refs > 0 ? 1 : 0;
    return n;
}

int UsbSim::liveDeviceLists()
{
    return static_cast<int>(bus().liveLists.size());
}

int UsbSim::hotplugRegistrations()
{
    int n = 0;
    for (const Hotplug& h : bus().hotplugs)
        n += h.context->live ? 1 : 0;
    return n;
}

const std::vector<std::string>& UsbSim::misuses()
{
    return bus().misuses;
}

// ---------------------------------------------------------------- libusb

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_init", {0});
    if (b.initError < 0) {
        call.result = b.initError;
        return b.initError;
    }
    auto created = std::make_unique<libusb_context>();
    created->id = static_cast<int>(b.contexts.size()) + 1;
    call.args[0] = created->id;
    if (ctx)
        *ctx = created.get();
    b.contexts.push_back(std::move(created));
    b.maxContexts = std::max(b.maxContexts, countLiveContexts());
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    record("libusb_exit", {idOf(ctx)});
    if (!ctx || !known(ctx)) {
        misuse("libusb_exit on an unknown context");
        return;
    }
    if (!ctx->live) {
        misuse("libusb_exit on a context already exited");
        return;
    }
    for (const auto& h : bus().handles)
        if (h->live && h->device->context == ctx)
            misuse("libusb_exit with a device handle still open");
    ctx->live = false;
    auto& hotplugs = bus().hotplugs;
    hotplugs.erase(std::remove_if(hotplugs.begin(), hotplugs.end(),
                                  [ctx](const Hotplug& h) { return h.context == ctx; }),
                   hotplugs.end());
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    UsbSim::Call& call = record("libusb_has_capability", {capability});
    int result = 0;
    if (capability == LIBUSB_CAP_HAS_CAPABILITY)
        result = 1;
    else if (capability == LIBUSB_CAP_HAS_HOTPLUG)
        result = bus().hotplugCapable ? 1 : 0;
    call.result = result;
    return result;
}

const char* LIBUSB_CALL libusb_error_name(int errcode)
{
    switch (errcode) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

const char* LIBUSB_CALL libusb_strerror(int errcode)
{
    return libusb_error_name(errcode);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags,
                                                 int vendor_id, int product_id, int dev_class,
                                                 libusb_hotplug_callback_fn cb_fn, void* user_data,
                                                 libusb_hotplug_callback_handle* callback_handle)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_hotplug_register_callback",
                                {idOf(ctx), events, flags, vendor_id, product_id, dev_class,
                                 cb_fn != nullptr, user_data != nullptr,
                                 callback_handle != nullptr});
    if (!ctx || !known(ctx) || !ctx->live) {
        misuse("libusb_hotplug_register_callback on a context that is not live");
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (!b.hotplugCapable) {
        call.result = LIBUSB_ERROR_NOT_SUPPORTED;
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    if (b.hotplugError < 0) {
        call.result = b.hotplugError;
        return b.hotplugError;
    }
    // libusb's own check of the arguments: 16-bit identifiers, an 8-bit
    // class (or "any"), known events and flags, a callback.
    const auto outside = [](int value, int mask) {
        return value != LIBUSB_HOTPLUG_MATCH_ANY && (value & ~mask) != 0;
    };
    const int knownEvents = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (!events || (events & ~knownEvents) || (flags & ~LIBUSB_HOTPLUG_ENUMERATE)
        || outside(vendor_id, 0xFFFF) || outside(product_id, 0xFFFF) || outside(dev_class, 0xFF)
        || !cb_fn) {
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const int handle = b.nextHotplugHandle++;
    b.hotplugs.push_back(Hotplug{ctx, handle, cb_fn, user_data});
    if (callback_handle)
        *callback_handle = handle;
    return 0;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx,
                                                    libusb_hotplug_callback_handle callback_handle)
{
    record("libusb_hotplug_deregister_callback", {idOf(ctx), callback_handle});
    auto& hotplugs = bus().hotplugs;
    hotplugs.erase(std::remove_if(hotplugs.begin(), hotplugs.end(),
                                  [&](const Hotplug& h) {
                                      return h.context == ctx && h.handle == callback_handle;
                                  }),
                   hotplugs.end());
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_get_device_list", {idOf(ctx)});
    if (!ctx || !known(ctx) || !ctx->live) {
        misuse("libusb_get_device_list on a context that is not live");
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const size_t count = b.devices.size();
    auto array = std::make_unique<libusb_device*[]>(count + 1);
    for (size_t i = 0; i < count; ++i) {
        auto dev = std::make_unique<libusb_device>();
        dev->device = b.devices[i];
        dev->address = static_cast<int>(i) + 1;
        dev->context = ctx;
        array[i] = dev.get();
        b.deviceObjects.push_back(std::move(dev));
    }
    array[count] = nullptr;
    b.listedSinceDeparture = true;
    *list = array.get();
    b.liveLists.push_back(array.get());
    b.lists.push_back(std::move(array));
    call.result = static_cast<long long>(count);
    return static_cast<ssize_t>(count);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices)
{
    record("libusb_free_device_list", {unref_devices});
    if (!list)
        return;
    auto& live = bus().liveLists;
    auto it = std::find(live.begin(), live.end(), list);
    if (it == live.end()) {
        misuse("libusb_free_device_list on a list that is not live");
        return;
    }
    live.erase(it);
    if (unref_devices)
        for (libusb_device** d = list; *d; ++d)
            unref(*d);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    record("libusb_ref_device", {idOf(dev)});
    if (dev && known(dev))
        ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    record("libusb_unref_device", {idOf(dev)});
    if (dev && known(dev))
        unref(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc)
{
    UsbSim::Call& call = record("libusb_get_device_descriptor", {idOf(dev)});
    if (!dev || !known(dev) || dev->refs <= 0) {
        misuse("libusb_get_device_descriptor on a device without a reference");
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const UsbSim::Device& d = *dev->device;
    int error = d.descriptorError;
    if (error == 0 && d.openDescriptorError < 0) {
        for (const auto& h : bus().handles)
            if (h->live && h->device->device == dev->device)
                error = d.openDescriptorError;
    }
    if (error < 0) {
        call.result = error;
        return error;
    }
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = 0;     // given per interface; interface 0 is HID
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = d.vendorId;
    desc->idProduct = d.productId;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = d.manufacturer.index;
    desc->iProduct = d.product.index;
    desc->iSerialNumber = d.serial.index;
    desc->bNumConfigurations = 1;
    return 0;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev)
{
    UsbSim::Call& call = record("libusb_get_bus_number", {idOf(dev)});
    if (!dev || !known(dev) || dev->refs <= 0) {
        misuse("libusb_get_bus_number on a device without a reference");
        return 0;
    }
    call.result = dev->device->busNumber;
    return dev->device->busNumber;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev)
{
    UsbSim::Call& call = record("libusb_get_device_address", {idOf(dev)});
    if (!dev || !known(dev) || dev->refs <= 0) {
        misuse("libusb_get_device_address on a device without a reference");
        return 0;
    }
    const int address = dev->device->address ? dev->device->address : dev->address;
    call.result = address;
    return uint8_t(address);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers,
                                        int port_numbers_len)
{
    UsbSim::Call& call = record("libusb_get_port_numbers", {idOf(dev), port_numbers_len});
    auto done = [&call](int result) {
        call.result = result;
        return result;
    };
    if (!dev || !known(dev) || dev->refs <= 0) {
        misuse("libusb_get_port_numbers on a device without a reference");
        return done(LIBUSB_ERROR_INVALID_PARAM);
    }
    const std::vector<uint8_t>& ports = dev->device->portNumbers;
    if (port_numbers_len <= 0)
        return done(LIBUSB_ERROR_INVALID_PARAM);
    if (ports.size() > size_t(port_numbers_len))
        return done(LIBUSB_ERROR_OVERFLOW);
    std::copy(ports.begin(), ports.end(), port_numbers);
    return done(static_cast<int>(ports.size()));
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_open", {idOf(dev), 0});
    if (!dev || !known(dev) || dev->refs <= 0 || !dev->context->live) {
        misuse("libusb_open on a device without a reference");
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    int error = b.openError;
    if (error == 0 && !present(dev))
        error = LIBUSB_ERROR_NO_DEVICE;
    if (error < 0) {
        call.result = error;
        return error;
    }
    auto handle = std::make_unique<libusb_device_handle>();
    handle->id = static_cast<int>(b.handles.size()) + 1;
    handle->device = dev;
    ++dev->refs;
    call.args[1] = handle->id;
    *dev_handle = handle.get();
    b.handles.push_back(std::move(handle));
    b.maxHandles = std::max(b.maxHandles, countLiveHandles());
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle)
{
    record("libusb_close", {idOf(dev_handle)});
    if (!dev_handle)
        return;
    if (!known(dev_handle) || !dev_handle->live) {
        misuse("libusb_close on a handle that is not open");
        return;
    }
    if (!dev_handle->device->context->live)
        misuse("libusb_close on a handle whose context has been exited");
    dev_handle->live = false;
    unref(dev_handle->device);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle)
{
    UsbSim::Call& call = record("libusb_get_device", {idOf(dev_handle)});
    if (!usable(dev_handle, "libusb_get_device") || bus().getDeviceNull)
        return nullptr;
    call.result = idOf(dev_handle->device);
    return dev_handle->device;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle,
                                                   uint8_t desc_index, unsigned char* data,
                                                   int length)
{
    UsbSim::Call& call = record("libusb_get_string_descriptor_ascii",
                                {idOf(dev_handle), desc_index, length});
    auto fail = [&call](int code) {
        call.result = code;
        return code;
    };
    if (!usable(dev_handle, "libusb_get_string_descriptor_ascii"))
        return fail(LIBUSB_ERROR_INVALID_PARAM);
    if (desc_index == 0 || !data || length <= 0)
        return fail(LIBUSB_ERROR_INVALID_PARAM);
    if (!present(dev_handle->device))
        return fail(goneError());
    const UsbSim::Device& d = *dev_handle->device->device;
    const UsbSim::StringDescriptor* found = nullptr;
    for (const UsbSim::StringDescriptor* s : {&d.manufacturer, &d.product, &d.serial})
        if (s->index == desc_index)
            found = s;
    if (!found)
        return fail(LIBUSB_ERROR_PIPE);
    if (found->error < 0)
        return fail(found->error);
    const int n = std::min<int>(static_cast<int>(found->text.size()), length - 1);
    std::memcpy(data, found->text.data(), n);
    data[n] = 0;
    call.data.assign(data, data + n);
    call.result = n;
    return n;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle,
                                                     int enable)
{
    UsbSim::Call& call = record("libusb_set_auto_detach_kernel_driver",
                                {idOf(dev_handle), enable});
    if (!usable(dev_handle, "libusb_set_auto_detach_kernel_driver")) {
        call.result = LIBUSB_ERROR_INVALID_PARAM;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (bus().autoDetachError < 0) {
        call.result = bus().autoDetachError;
        return bus().autoDetachError;
    }
    dev_handle->autoDetach = enable != 0;
    return 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_claim_interface", {idOf(dev_handle), interface_number});
    auto fail = [&call](int code) {
        call.result = code;
        return code;
    };
    if (!usable(dev_handle, "libusb_claim_interface"))
        return fail(LIBUSB_ERROR_INVALID_PARAM);
    if (b.claimError < 0)
        return fail(b.claimError);
    if (!present(dev_handle->device))
        return fail(goneError());
    if (interface_number != 0)
        return fail(LIBUSB_ERROR_NOT_FOUND);
    if (b.kernelDriverBound && dev_handle->device->device->dac) {
        if (!dev_handle->autoDetach)
            return fail(LIBUSB_ERROR_BUSY);
        b.kernelDriverBound = false;
    }
    dev_handle->claimed = true;
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number)
{
    Bus& b = bus();
    UsbSim::Call& call = record("libusb_release_interface", {idOf(dev_handle), interface_number});
    auto fail = [&call](int code) {
        call.result = code;
        return code;
    };
    if (!usable(dev_handle, "libusb_release_interface"))
        return fail(LIBUSB_ERROR_INVALID_PARAM);
    if (b.releaseError < 0)
        return fail(b.releaseError);
    if (!dev_handle->claimed || interface_number != 0)
        return fail(LIBUSB_ERROR_NOT_FOUND);
    dev_handle->claimed = false;
    if (!present(dev_handle->device))
        return fail(goneError());
    if (dev_handle->autoDetach && dev_handle->device->device->dac)
        b.kernelDriverBound = kernelDriverDefault();
    return 0;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number)
{
    UsbSim::Call& call = record("libusb_kernel_driver_active", {idOf(dev_handle), interface_number});
    if (!usable(dev_handle, "libusb_kernel_driver_active"))
        return static_cast<int>(call.result = LIBUSB_ERROR_INVALID_PARAM);
    const int active = interface_number == 0 && bus().kernelDriverBound
                       && dev_handle->device->device->dac;
    call.result = active;
    return active;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    UsbSim::Call& call = record("libusb_detach_kernel_driver", {idOf(dev_handle), interface_number});
    if (!usable(dev_handle, "libusb_detach_kernel_driver"))
        return static_cast<int>(call.result = LIBUSB_ERROR_INVALID_PARAM);
    if (interface_number != 0 || !bus().kernelDriverBound)
        return static_cast<int>(call.result = LIBUSB_ERROR_NOT_FOUND);
    bus().kernelDriverBound = false;
    return 0;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    UsbSim::Call& call = record("libusb_attach_kernel_driver", {idOf(dev_handle), interface_number});
    if (!usable(dev_handle, "libusb_attach_kernel_driver"))
        return static_cast<int>(call.result = LIBUSB_ERROR_INVALID_PARAM);
    if (interface_number != 0 || dev_handle->claimed)
        return static_cast<int>(call.result = LIBUSB_ERROR_BUSY);
    bus().kernelDriverBound = kernelDriverDefault();
    return 0;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength, unsigned int timeout)
{
    UsbSim::Call& call = record("libusb_control_transfer",
                                {idOf(dev_handle), request_type, bRequest, wValue, wIndex,
                                 wLength, timeout});
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    if (!in && data)
        call.data.assign(data, data + wLength);
    int result = LIBUSB_ERROR_INVALID_PARAM;
    if (usable(dev_handle, "libusb_control_transfer"))
        result = controlTransfer(dev_handle, request_type, bRequest, wValue, wIndex, data, wLength);
    if (in && data && result > 0)
        call.data.assign(data, data + result);
    call.result = result;
    return result;
}
