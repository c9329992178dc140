#include "consolecapture.h"

#include <QByteArray>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

ConsoleCapture::ConsoleCapture() : savedFd(-1), fileFd(-1), running(false)
{
    std::cout.flush();
    std::fflush(stdout);
    char path[] = "/tmp/sonvale-console-XXXXXX";
    fileFd = mkstemp(path);
    if (fileFd < 0)
        return;
    unlink(path);
    savedFd = dup(STDOUT_FILENO);
    dup2(fileFd, STDOUT_FILENO);
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
    dup2(savedFd, STDOUT_FILENO);
    ::close(savedFd);

    QByteArray bytes;
    char buffer[4096];
    lseek(fileFd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fileFd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, n);
    text = QString::fromUtf8(bytes);
    return text;
}
