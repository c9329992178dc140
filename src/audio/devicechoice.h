// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "audio/audiodevice.h"
#include "base/error.h"

#include <QString>

#include <vector>

// The device a user named after --output or --input: a device index; the
// word "default" (the default device for that direction, as AudioSystem
// gives it); a device's exact name; or a part of one name, in any case, that
// no other device of that direction contains. Only devices with channels in
// that direction count. A number may name a device of any host API in the
// list; names are looked up among the host API HostApiChoice offers (on
// Windows WASAPI's, where every device also has an MME, a DirectSound and a
// WDM-KS twin of the same or a shortened name).
class DeviceChoice {
public:
    enum class Direction { Output, Input };

    // The device, or -1 with the reason none fits, its subject the
    // direction's device: Kind::NotFound when no device has the number or
    // the name at all (the list of devices would show what there is),
    // Kind::Audio otherwise, e.g. "\"USB\" names more than one output
    // device: ...".
    struct Result {
        int index = -1;
        Error error;
    };

    static Result choose(const std::vector<AudioDevice>& devices, const QString& text,
                         Direction direction, int defaultIndex);
};
