// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "childprocess.h"

#include <QProcessEnvironment>
#include <QScopedPointer>
#include <QStringList>
#include <QTemporaryDir>

// sonvalectl on the simulated DAC and analog path, run as a user runs it: in
// a folder of its own that holds the DAC's block between runs
// (SONVALE_SIM_BLOCK), the log of every request the DAC received
// (SONVALE_SIM_REQUESTS), sonvalectl's history (XDG_DATA_HOME) and its
// configuration (XDG_CONFIG_HOME, the interface's profiles). On
// Windows the history lies in the user's %LOCALAPPDATA%, which no variable
// moves: it is emptied here when an object is made and when it goes, and
// the suites that use it take turns (CTest's RESOURCE_LOCK sonvale_history).
class SimCtl {
public:
    struct Run {
        int exitCode = -1; // -1: crashed or timed out
        QString out;
        QString err;
        QStringList requests; // what the DAC received, oldest first
    };

    explicit SimCtl(const QString& program);
    ~SimCtl();

    QString path(const QString& name) const;
    QByteArray block() const;
    bool setBlock(const QByteArray& block) const;

    // Runs to the end. `environment`: "NAME=value" each.
    Run run(const QStringList& arguments, const QStringList& environment = {});

    // Starts it, for a test that signals it mid-run; finish() waits for it
    // (killing it after five minutes) and collects what it said.
    ChildProcess& start(const QStringList& arguments, const QStringList& environment = {});
    // Waits until its standard error holds `text` (false when it ended first).
    bool waitForError(const QString& text);
    // Waits until the DAC has received a request that starts with `prefix`.
    bool waitForRequest(const QString& prefix);
    QStringList requestsSoFar() const;
    Run finish();

private:
    QProcessEnvironment environmentWith(const QStringList& environment) const;

    QString program;
    QTemporaryDir dir;
    QScopedPointer<ChildProcess> running;
};
