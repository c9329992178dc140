// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "consolecapture.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

// A new file in the system's temporary folder, open for reading and writing
// in binary mode, that nobody else uses and that goes away with its
// descriptor: at once on POSIX, where an open file can be removed; on close
// on Windows, where it cannot.
int openScratchFile()
{
    static int count = 0;
    const QString path = QDir::temp().filePath(
        QStringLiteral("sonvale-console-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count));
#ifdef _WIN32
    return _wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                  _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
#else
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        unlink(name.constData());
    return fd;
#endif
}

} // namespace

ConsoleCapture::ConsoleCapture() : savedFd(-1), fileFd(-1), running(false)
{
    std::cout.flush();
    std::fflush(stdout);
    fileFd = openScratchFile();
    if (fileFd < 0)
        return;
    // Standard output now writes into the file, byte for byte: on Windows the
    // descriptor takes the file's binary mode, so "\n" stays "\n".
    savedFd = dup(fileno(stdout));
    dup2(fileFd, fileno(stdout));
    running = true;
}

ConsoleCapture::~ConsoleCapture()
{
    // A check that failed inside the capture wrote its message into it.
    if (running && QTest::currentTestFailed()) {
        const QByteArray captured = stop().toUtf8();
        std::fwrite(captured.constData(), 1, size_t(captured.size()), stdout);
        std::fflush(stdout);
    }
    stop();
    if (fileFd >= 0)
        ::close(fileFd);
}

QString ConsoleCapture::stop()
{
    if (!running)
        return text;
    running = false;
    std::cout.flush();
    std::fflush(stdout);
    dup2(savedFd, fileno(stdout));
    ::close(savedFd);

    QByteArray bytes;
    char buffer[4096];
    lseek(fileFd, 0, SEEK_SET);
    for (int n; (n = int(read(fileFd, buffer, sizeof buffer))) > 0;)
        bytes.append(buffer, n);
    text = QString::fromUtf8(bytes);
    return text;
}
