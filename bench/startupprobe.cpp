// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded by bench_startup into the program it measures. When the first
// window has been exposed and painted, it writes two numbers to the file
// descriptor named in STARTUP_PROBE_FD: the CLOCK_MONOTONIC time in
// nanoseconds, and the process's peak resident memory so far in KiB (VmHWM).
// It then ends the event loop, unless STARTUP_PROBE_STAY is set, in which case
// it leaves the program running and does nothing more: no timer, no polling.
#include "measure.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <time.h>
#include <unistd.h>

namespace {

class StartupProbe : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (seen || event->type() != QEvent::Expose)
            return false;
        auto* window = qobject_cast<QWindow*>(watched);
        if (!window || !window->isExposed())
            return false;
        // The window paints while this event is delivered; the report
        // follows once it has been handled.
        seen = true;
        QMetaObject::invokeMethod(this, &StartupProbe::report, Qt::QueuedConnection);
        return false;
    }

private:
    void report()
    {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ns = now.tv_sec * 1000000000LL + now.tv_nsec;
        const char* fd = std::getenv("STARTUP_PROBE_FD");
        if (fd) {
            dprintf(std::atoi(fd), "%lld %lld\n", ns, procStatusField("/proc/self/status", "VmHWM"));
            ::close(std::atoi(fd));
        }
        if (!std::getenv("STARTUP_PROBE_STAY"))
            QCoreApplication::quit();
    }

    bool seen = false;
};

void installProbe()
{
    QCoreApplication* app = QCoreApplication::instance();
    app->installEventFilter(new StartupProbe(app));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
