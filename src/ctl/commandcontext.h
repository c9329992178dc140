// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/version.h"
#include "cli/toolconsole.h"
#include "control/dacsession.h"
#include "control/historykeeper.h"
#include "tuning/measurementrig.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What every sonvalectl command runs with: the options given before it, the
// command as the history keeps it, and the console its messages go to.
class CommandContext : public ToolConsole {
public:
    using Arguments = std::vector<std::string>;
    // One step with the DAC: no error when it went through, otherwise its
    // failure.
    using Work = std::function<Error(DacSession&)>;

    explicit CommandContext(const ToolConsole& console);

    // "2fc6:6013"
    std::string device() const;

    // Opens the DAC and runs `work` on it, the link's diagnostics on
    // standard error with --verbose and nowhere otherwise. Done, or Failed
    // once the failure is printed in sonvalectl's words; the DAC is closed
    // either way.
    int withDac(const Work& work) const;

    // Splits a command's arguments into the options it knows (`known`) and
    // its operands; refuses any other word that starts with "--". Returns
    // false once refused.
    bool splitOptions(const Arguments& arguments, const std::vector<std::string>& known, std::vector<bool>& given,
                      Arguments& operands) const;

    // Opens the DAC and reads its block, whole when `wholeBlock`, otherwise
    // only the window of the volumes (a DAC that cannot be opened or read
    // fails the command when `needDac`, otherwise it is done without),
    // prepares a rig for `options` (the input first: a channel it lacks is
    // a bad command line, refused before anything reaches the DAC) and runs
    // `work`. AudioFailed once the cause is printed, when that fails; the
    // DAC is closed at the end.
    int withRig(const MeasurementOptions& options, bool needDac, bool wholeBlock,
                const MeasurementRig::Work& work) const;

    // A rig that says on standard error when it captures longer than asked.
    static void noteLongCaptures(MeasurementRig& rig);

    // A layer's error as sonvalectl says it: the option it concerns first,
    // a device that is not there pointed at audio-devices. Empty for no
    // error.
    static std::string worded(const Error& error);

    // The history kept before a change on `session`, as this command
    // line asks.
    HistoryKeeper historyKeeper(DacSession& session) const;
    // A failure of its steps as sonvalectl says it: a history that cannot
    // be kept (Kind::File) in HistoryKeeper::notKept's words, --no-history
    // named as the way around it; the DAC's own failure as it is.
    Error historyError(const Error& error) const;

    uint16_t vendorId = SONVALE_USB_VENDOR_ID;
    uint16_t productId = SONVALE_USB_PRODUCT_ID;
    bool verbose = false;
    bool keepHistory = true;
    std::string commandLine;   // "set pcm_mclk[2]=4"
};
