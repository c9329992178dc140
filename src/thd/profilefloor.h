// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "base/error.h"
#include "measure/analysis.h"
#include "tuning/interfaceprofile.h"

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

// The audio interface's own floor as the assistant reads it: the profile
// that sonvalectl check-interface keeps in the user's configuration folder,
// read once, as sonvalectl reads it for measure and tune-thd.
class ProfileFloor {
public:
    ProfileFloor();

    // For a capture of `analysis` recorded on the input device named
    // `input` (`inputs` 0-based): each warning, in words, added to
    // `findings` (and, once, why the profile file could not be read); the
    // larger of the interface's H2 and H3 there, which no tuning gets the
    // DAC below, when a profile applies.
    std::optional<double> apply(const CaptureAnalysis& analysis, const std::string& input,
                                const std::vector<int>& inputs, QStringList& findings);

private:
    InterfaceProfile profile;
    Error unread;
};
