// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/profilefloor.h"

#include "thd/problemtext.h"

#include <QDir>

ProfileFloor::ProfileFloor() : profile(InterfaceProfile::defaultPath())
{
    if (!profile.path().empty())
        unread = profile.read();
}

std::optional<double> ProfileFloor::apply(const CaptureAnalysis& analysis, const std::string& input,
                                          const std::vector<int>& inputs, QStringList& findings)
{
    if (unread) {
        findings
            << QStringLiteral(
                   "The interface's profile %1 is not read (%2): the figures are shown without "
                   "the interface's floor.")
                   .arg(QDir::toNativeSeparators(QString::fromStdString(profile.path())),
                        QString::fromStdString(unread.cause));
        unread = Error();
        return std::nullopt;
    }
    const InterfaceProfile::Applied applied = profile.applyTo(analysis, input, inputs);
    for (const std::string& warning : applied.warnings)
        findings << ProblemText::capitalised(warning) + QLatin1Char('.');
    return applied.worstDbc;
}
