// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "childprocess.h"

#include "testbytes.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

struct ChildProcess::Native {
#ifdef Q_OS_WIN
    PROCESS_INFORMATION info{};
    bool started = false;
    bool killed = false;
    unsigned long startError = 0;
#endif
};

ChildProcess::ChildProcess(const QString& program, const QStringList& arguments)
    : program(program), arguments(arguments), native(new Native)
{
}

ChildProcess::~ChildProcess()
{
    if (isRunning()) {
        kill();
        waitForFinished(10000);
    }
#ifdef Q_OS_WIN
    if (native->started) {
        CloseHandle(native->info.hProcess);
        CloseHandle(native->info.hThread);
    }
#endif
}

void ChildProcess::setEnvironment(const QProcessEnvironment& environment)
{
    this->environment = environment;
}

void ChildProcess::setWorkingDirectory(const QString& folder)
{
    this->folder = folder;
}

void ChildProcess::setOutputFiles(const QString& output, const QString& errors)
{
    outputFile = output;
    errorFile = errors;
}

QByteArray ChildProcess::output() const
{
    return TestBytes::readFile(outputFile);
}

QByteArray ChildProcess::errors() const
{
    return TestBytes::readFile(errorFile);
}

#ifndef Q_OS_WIN

bool ChildProcess::start()
{
    process.reset(new QProcess);
    process->setProcessEnvironment(environment);
    if (!folder.isEmpty())
        process->setWorkingDirectory(folder);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(outputFile);
    process->setStandardErrorFile(errorFile);
    process->start(program, arguments);
    return process->waitForStarted();
}

bool ChildProcess::waitForFinished(int milliseconds)
{
    return !process || process->state() == QProcess::NotRunning
           || process->waitForFinished(milliseconds);
}

bool ChildProcess::isRunning()
{
    return process && process->state() != QProcess::NotRunning;
}

void ChildProcess::kill()
{
    if (process)
        process->kill();
}

qint64 ChildProcess::processId() const
{
    return process ? process->processId() : 0;
}

int ChildProcess::exitCode()
{
    if (!process || process->state() != QProcess::NotRunning
        || process->exitStatus() != QProcess::NormalExit)
        return -1;
    return process->exitCode();
}

QString ChildProcess::why()
{
    if (!process)
        return QStringLiteral("not started");
    if (process->state() != QProcess::NotRunning)
        return QStringLiteral("still running");
    if (process->error() == QProcess::FailedToStart)
        return QStringLiteral("not started: ") + process->errorString();
    return process->exitStatus() == QProcess::CrashExit
               ? QStringLiteral("crashed or killed")
               : QStringLiteral("exit status %1").arg(process->exitCode());
}

#else

namespace {

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal but before a quote, where they are doubled.
QString quoted(const QString& argument)
{
    const bool plain = std::none_of(argument.begin(), argument.end(), [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('"');
    });
    if (!argument.isEmpty() && plain)
        return argument;
    QString text = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        text +=
            QString(c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes, QLatin1Char('\\'));
        text += c;
        backslashes = 0;
    }
    return text + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

HANDLE inheritable(const QString& path, bool write)
{
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    return CreateFileW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                       write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

bool ChildProcess::start()
{
    QString commandLine = quoted(QDir::toNativeSeparators(program));
    for (const QString& argument : arguments)
        commandLine += QLatin1Char(' ') + quoted(argument);
    // NAME=value, each ended by a null, the block by another.
    QString block;
    for (const QString& assignment : environment.toStringList())
        block += assignment + QChar(0);
    block += QChar(0);

    HANDLE in = inheritable(QStringLiteral("NUL"), false);
    HANDLE out = inheritable(outputFile, true);
    HANDLE err = inheritable(errorFile, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring command = commandLine.toStdWString();
    const std::wstring where = QDir::toNativeSeparators(folder).toStdWString();
    native->startError = 0;
    native->started = CreateProcessW(
        nullptr, command.data(), nullptr, nullptr, TRUE,
        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, const_cast<ushort*>(block.utf16()),
        folder.isEmpty() ? nullptr : where.c_str(), &startup, &native->info);
    if (!native->started)
        native->startError = GetLastError();
    for (HANDLE handle : {in, out, err}) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    return native->started;
}

bool ChildProcess::waitForFinished(int milliseconds)
{
    return !native->started
           || WaitForSingleObject(native->info.hProcess, DWORD(milliseconds)) == WAIT_OBJECT_0;
}

bool ChildProcess::isRunning()
{
    return native->started && WaitForSingleObject(native->info.hProcess, 0) == WAIT_TIMEOUT;
}

void ChildProcess::kill()
{
    if (isRunning()) {
        native->killed = true;
        TerminateProcess(native->info.hProcess, 1);
    }
}

qint64 ChildProcess::processId() const
{
    return native->started ? qint64(native->info.dwProcessId) : 0;
}

int ChildProcess::exitCode()
{
    DWORD code = 0;
    if (isRunning() || native->killed || !native->started
        || !GetExitCodeProcess(native->info.hProcess, &code))
        return -1;
    // An exception's code (0xC0000005, ...) ends a crashed process.
    return code >= 0xC0000000u ? -1 : int(code);
}

QString ChildProcess::why()
{
    DWORD code = 0;
    if (!native->started)
        return QStringLiteral("not started: Windows error %1").arg(native->startError);
    if (isRunning())
        return QStringLiteral("still running");
    if (native->killed)
        return QStringLiteral("killed");
    if (!GetExitCodeProcess(native->info.hProcess, &code))
        return QStringLiteral("its exit code unknown");
    return QStringLiteral("ended with 0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

#endif
