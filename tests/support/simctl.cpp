// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "simctl.h"

#include "testbytes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

namespace {

// The simulated DAC's history where XDG_DATA_HOME does not reach it.
void emptyWindowsHistory()
{
#ifdef Q_OS_WIN
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
         + "/sonvale/history/2fc6-6013-SV9038-0001")
        .removeRecursively();
#endif
}

} // namespace

SimCtl::SimCtl(const QString& program) : program(program)
{
    emptyWindowsHistory();
}

SimCtl::~SimCtl()
{
    running.reset();
    emptyWindowsHistory();
}

QString SimCtl::path(const QString& name) const
{
    return dir.filePath(name);
}

QByteArray SimCtl::block() const
{
    return TestBytes::readFile(path("dac.block"));
}

bool SimCtl::setBlock(const QByteArray& block) const
{
    return TestBytes::writeFile(path("dac.block"), block);
}

QProcessEnvironment SimCtl::environmentWith(const QStringList& environment) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SONVALE_SIM_BLOCK", path("dac.block"));
    env.insert("SONVALE_SIM_REQUESTS", path("requests"));
    env.insert("XDG_DATA_HOME", path("data"));
    // The interface's profiles the user keeps would add to what measure
    // and tune-thd print.
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.remove("SONVALE_SIM_ANALOG");
    for (const QString& assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    return env;
}

SimCtl::Run SimCtl::run(const QStringList& arguments, const QStringList& environment)
{
    start(arguments, environment);
    return finish();
}

ChildProcess& SimCtl::start(const QStringList& arguments, const QStringList& environment)
{
    QFile::remove(path("requests"));
    running.reset(new ChildProcess(program, arguments));
    running->setEnvironment(environmentWith(environment));
    running->setWorkingDirectory(dir.path());
    running->setOutputFiles(path("stdout"), path("stderr"));
    running->start();
    return *running;
}

// Both waits look at files the program writes as it goes, a little at a
// time, until what they wait for is there or the program has ended.
bool SimCtl::waitForError(const QString& text)
{
    while (!TestBytes::consoleText(running->errors()).contains(text)) {
        if (!running->isRunning())
            return TestBytes::consoleText(running->errors()).contains(text);
        QThread::msleep(20);
    }
    return true;
}

bool SimCtl::waitForRequest(const QString& prefix)
{
    for (;;) {
        const bool ended = !running->isRunning();
        for (const QString& request : requestsSoFar()) {
            if (request.startsWith(prefix))
                return true;
        }
        if (ended)
            return false;
        QThread::msleep(20);
    }
}

QStringList SimCtl::requestsSoFar() const
{
    return QString::fromLatin1(TestBytes::readFile(path("requests")))
        .split('\n', Qt::SkipEmptyParts);
}

SimCtl::Run SimCtl::finish()
{
    Run run;
    if (!running->waitForFinished(300000))
        running->kill();
    running->waitForFinished(10000);
    run.exitCode = running->exitCode();
    if (run.exitCode < 0)
        qWarning().noquote() << "sonvalectl" << running->why();
    run.out = TestBytes::consoleText(running->output());
    run.err = TestBytes::consoleText(running->errors());
    run.requests = requestsSoFar();
    running.reset();
    return run;
}
