// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QByteArray>
#include <QProcess>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

// A program a test runs as a user runs it, its standard output and error
// going to files (stdin reads nothing).
//
// On Windows it is started with CreateProcess and waited for on its handle,
// not through QProcess: QProcess learns of a child's end through a
// QWinEventNotifier, a thread-pool wait, and under wine 8 a wait that is
// unset at the moment its handle is signalled still runs its callback
// (the wait-queue thread, woken by the handle, submits the wait without
// looking whether it is still set). The callback then posts an event to
// the notifier QProcess has just deleted, and the test crashes on freed
// memory, at random and more often under load. QWindowsPipeReader's
// waits (a QProcess's pipes) are made the same way.
class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void setEnvironment(const QProcessEnvironment& environment);
    void setWorkingDirectory(const QString& folder);
    // Where standard output and error go; made (or emptied) on start.
    void setOutputFiles(const QString& output, const QString& errors);

    bool start();
    // True once it has ended, within `milliseconds`.
    bool waitForFinished(int milliseconds);
    bool isRunning();
    void kill();
    qint64 processId() const;
    // Its exit status; -1 while it runs, and when it crashed or was killed.
    int exitCode();
    // Why exitCode() is -1, for a test's failure message: "still running",
    // "not started: ...", "ended by exception 0xc0000005", "killed".
    QString why();

    QByteArray output() const;
    QByteArray errors() const;

private:
    struct Native;

    QString program;
    QStringList arguments;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString folder;
    QString outputFile;
    QString errorFile;
    QScopedPointer<QProcess> process; // not on Windows
    QScopedPointer<Native> native;    // Windows only
};
