// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The program's window alone: the form and its controller, with no settings
// mirror, no device layer and no console echo. What sonvale-sim adds to it
// is the program's own start-up work.
#include "ui/mainwindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
