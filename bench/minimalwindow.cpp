// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick for start-up: the least a Qt Widgets program of the same
// size does before its window is on screen. One 700 x 350 main window whose
// central widget is one label of text, so that the font system starts as in
// any real window.
//
// Two options add, step by step, what the program's window has besides:
//   --menu-bar  a menu bar of one menu
//   --fonts     three more labels, in the form's other fonts (13 pt, 16 pt
//               bold, 12 pt)
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>

#include <cstring>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setFixedSize(700, 350);
    window.setWindowTitle(QStringLiteral("Minimal"));
    auto* label = new QLabel(QStringLiteral("A minimal Qt window."));
    window.setCentralWidget(label);
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--menu-bar")) {
            window.menuBar()->addMenu(QStringLiteral("Menu"))->addAction(QStringLiteral("Action"));
        } else if (!std::strcmp(argv[i], "--fonts")) {
            const struct {
                int pointSize;
                bool bold;
            } fonts[] = {{13, false}, {16, true}, {12, false}};
            int y = 10;
            for (const auto& f : fonts) {
                auto* text = new QLabel(QStringLiteral("THD DAC LEFT 2nd 3rd -12.5dB 0123456789"), label);
                QFont font;
                font.setPointSize(f.pointSize);
                font.setBold(f.bold);
                text->setFont(font);
                text->setGeometry(10, y, 680, 40);
                y += 50;
            }
        }
    }
    window.show();
    return app.exec();
}
