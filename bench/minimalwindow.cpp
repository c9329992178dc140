// The yardstick for start-up: the least a Qt Widgets program of the same
// size does before its window is on screen. One 700 x 350 main window whose
// central widget is one label of text, so that the font system starts as in
// any real window.
//
// With --menu-bar it also has a menu bar of one menu, as a step towards the
// program's window.
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
    window.setCentralWidget(new QLabel(QStringLiteral("A minimal Qt window.")));
    if (argc > 1 && !std::strcmp(argv[1], "--menu-bar"))
        window.menuBar()->addMenu(QStringLiteral("Menu"))->addAction(QStringLiteral("Action"));
    window.show();
    return app.exec();
}
