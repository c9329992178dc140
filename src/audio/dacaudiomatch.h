// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"

#include <QString>

#include <cstdint>
#include <vector>

// Which audio output belongs to the DAC that the link has open. The USB
// audio function of the DAC sits on the same USB device as the bridge the
// link talks to, so the two are tied by that device:
//  - Linux: ALSA names a USB sound card's device in PortAudio as "... (hw:N,M)",
//    and /proc/asound/cardN/usbid ("vvvv:pppp") and usbbus ("BBB/DDD", libusb's
//    bus number and device address) say which USB device card N is. The bus
//    and address tell two identical DACs apart.
//  - Windows: the audio endpoints that are children of the USB device node
//    with the DAC's identifiers carry the names WASAPI and the other host APIs
//    list (see windowsendpoints.h).
// Where that finds nothing, an output whose name contains the DAC's USB
// product string is taken, but only when exactly one output does.
class DacAudioMatch {
public:
    // The USB device the link has open (CT7601: vendorId, productId,
    // location(), identity().product).
    struct DacUsb {
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        int bus = -1;           // libusb's bus number; -1: not known
        int address = -1;       // libusb's device address; -1: not known
        QString product;        // the USB product string; empty: not known
    };

    // A USB sound card as /proc/asound tells it.
    struct UsbCard {
        int card = -1;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        int bus = -1;
        int address = -1;
    };

    enum class Method { None, UsbCard, WindowsDeviceTree, ProductName };

    struct Match {
        int index = -1;                 // PortAudio's device index; -1: none
        Method method = Method::None;
    };

    // The production route: the platform's own tables, then the product
    // name.
    static Match find(const std::vector<AudioDevice>& devices, const DacUsb& dac);
    // The same, marking the device found as the DAC.
    static Match mark(std::vector<AudioDevice>& devices, const DacUsb& dac);

    // The Linux route on a given card table: the outputs on a card that is
    // the DAC. When a card has several, its first output with a hw: name
    // ("hw:N,0" before "hw:N,1") is taken.
    static Match findOnCards(const std::vector<AudioDevice>& devices, const DacUsb& dac,
                             const std::vector<UsbCard>& cards);
    // The number of the one card in `cards` that is the DAC: its
    // identifiers, and where libusb saw it when that is known; -1 when none
    // or several fit.
    static int dacCard(const DacUsb& dac, const std::vector<UsbCard>& cards);
    // The fallback: the one output whose name contains the product string.
    static Match findByProduct(const std::vector<AudioDevice>& devices, const QString& product);

    // /proc/asound's USB sound cards; empty elsewhere.
    static std::vector<UsbCard> readUsbCards();
    // One card's files as read: "2fc6:6013\n" and "001/004\n". False when
    // either cannot be read as such.
    static bool parseUsbCard(const QString& usbid, const QString& usbbus, UsbCard& card);
    // The N of "(hw:N,M)" in an ALSA device name; -1 without one.
    static int alsaCard(const QString& name);

    static QString methodName(Method method);
};
