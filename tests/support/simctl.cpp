// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "simctl.h"

#include "testbytes.h"

#include <QDeadlineTimer>
#include <QFile>

SimCtl::SimCtl(const QString& program) : program(program)
{
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

QProcess& SimCtl::start(const QStringList& arguments, const QStringList& environment)
{
    QFile::remove(path("requests"));
    running.reset(new QProcess);
    running->setProcessEnvironment(environmentWith(environment));
    running->setWorkingDirectory(dir.path());
    running->setStandardOutputFile(path("stdout"));
    running->start(program, arguments);
    running->waitForStarted();
    errSoFar.clear();
    return *running;
}

bool SimCtl::waitForError(const QString& text)
{
    while (!TestBytes::consoleText(errSoFar).contains(text)) {
        if (running->state() == QProcess::NotRunning)
            return false;
        running->waitForReadyRead(100);
        errSoFar += running->readAllStandardError();
    }
    return true;
}

bool SimCtl::waitForRequest(const QString& prefix)
{
    for (;;) {
        for (const QString& request : requestsSoFar()) {
            if (request.startsWith(prefix))
                return true;
        }
        if (running->state() == QProcess::NotRunning)
            return false;
        // Its standard error is read meanwhile: a full pipe would stop it.
        running->waitForReadyRead(20);
        errSoFar += running->readAllStandardError();
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
    // Read as it comes: a pipe left full would stop the program.
    QDeadlineTimer deadline(300000);
    while (running->state() != QProcess::NotRunning && !deadline.hasExpired()) {
        running->waitForReadyRead(1000);
        errSoFar += running->readAllStandardError();
    }
    if (running->state() != QProcess::NotRunning) {
        running->kill();
        running->waitForFinished();
    }
    errSoFar += running->readAllStandardError();
    if (running->exitStatus() == QProcess::NormalExit)
        run.exitCode = running->exitCode();
    run.out = TestBytes::consoleText(TestBytes::readFile(path("stdout")));
    run.err = TestBytes::consoleText(errSoFar);
    run.requests = requestsSoFar();
    running.reset();
    return run;
}
