// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/thdwindow.h"

#include "base/version.h"

#include <QApplication>

#ifdef _WIN32
#include "base/parentconsole.h"
#endif

int main(int argc, char* argv[])
{
#ifdef _WIN32
    ParentConsole::attach();        // before anything is printed
#endif
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(
        QStringLiteral(SONVALE_THD_APP_ID)); // the desktop entry's name
    ThdWindow window;
    // Opened before the window is shown, so that it is laid out once, as it
    // looks while the DAC answers (its first answer takes over a second).
    window.start();
    window.show();
    return app.exec();
}
