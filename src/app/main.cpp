// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/commandline.h"
#include "base/version.h"
#include "device/es9038.h"
#include "settings/es9038state.h"
#include "ui/mainwindow.h"

#include <QApplication>

#ifdef _WIN32
#include "base/parentconsole.h"
#endif

int main(int argc, char* argv[])
{
#ifdef _WIN32
    ParentConsole::attach();        // before anything is printed
#endif
    QApplication app(argc, argv);   // takes Qt's own options out of argv
    QGuiApplication::setDesktopFileName(QStringLiteral(SONVALE_APP_ID));   // the desktop entry's name
    ES9038 dac;
    ES9038State state(&dac);
    applyCommandLine(argc, argv, *dac.link);

    MainWindow window;
    window.setState(&state);
    window.show();
    return app.exec();
}
