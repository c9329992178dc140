// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the main window's form, and the form with its "Settings" menu open,
// into PNG files under the build directory, so that a person can look at the
// window without a display. Also checks what a picture alone would show
// wrongly: a widget hidden or cut off by its parent, or a blank window.

#include "formmembers.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QSet>
#include <QtTest>

namespace {

QString artifactPath(const QString& file)
{
    return QDir(QStringLiteral(SONVALE_ARTIFACT_DIR)).filePath(file);
}

int distinctColours(const QImage& image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

} // namespace

class TestMainWindowPicture : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void widgetOnScreen_data();
    void widgetOnScreen();

    void window();
    void windowWithSettingsMenu();

private:
    Form* form = nullptr;
};

void TestMainWindowPicture::init()
{
    QVERIFY(QDir().mkpath(QStringLiteral(SONVALE_ARTIFACT_DIR)));
    form = new Form;
    form->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form->window));
}

void TestMainWindowPicture::cleanup()
{
    delete form;
    form = nullptr;
}

void TestMainWindowPicture::widgetOnScreen_data()
{
    QTest::addColumn<QString>("name");
    for (const FormMember& m : formMembers()) {
        const QString name = QString::fromLatin1(m.name);
        if (name.startsWith(QLatin1String("action")) || name == QLatin1String("menuSonvale"))
            continue;  // not on screen until the menu opens
        QTest::newRow(m.name) << name;
    }
}

void TestMainWindowPicture::widgetOnScreen()
{
    QFETCH(QString, name);

    QWidget* w = form->widget(name);
    QVERIFY(w);
    QVERIFY(w->isVisible());
    QVERIFY(!w->size().isEmpty());
    QWidget* parent = w->parentWidget();
    QVERIFY(parent);
    QVERIFY2(parent->rect().contains(w->geometry()),
             qPrintable(QStringLiteral("(%1,%2 %3x%4) sticks out of %5 (%6x%7)")
                            .arg(w->x()).arg(w->y()).arg(w->width()).arg(w->height())
                            .arg(parent->objectName()).arg(parent->width()).arg(parent->height())));
}

void TestMainWindowPicture::window()
{
    const QPixmap shot = form->window.grab();
    QCOMPARE(shot.deviceIndependentSize().toSize(), QSize(700, 350));
    QVERIFY(distinctColours(shot.toImage()) > 16);  // text and frames, not a blank field

    const QString path = artifactPath(QStringLiteral("mainwindow.png"));
    QVERIFY2(shot.save(path), qPrintable(path));
    qInfo("picture: %s", qPrintable(path));
}

void TestMainWindowPicture::windowWithSettingsMenu()
{
    QMenu* menu = form->ui.menuSonvale;
    QMenuBar* bar = form->ui.menubar;
    const QRect entry = bar->actionGeometry(menu->menuAction());
    QVERIFY(entry.isValid());

    // Where the open menu hangs below its menu-bar entry, in window coordinates.
    const QPoint inWindow = bar->mapTo(&form->window, entry.bottomLeft() + QPoint(0, 1));
    menu->popup(form->window.mapToGlobal(inWindow));
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    QVERIFY(menu->isVisible());

    QPixmap shot = form->window.grab();
    {
        QPainter painter(&shot);
        painter.drawPixmap(inWindow, menu->grab());
    }
    menu->hide();

    const QString path = artifactPath(QStringLiteral("mainwindow-settings-menu.png"));
    QVERIFY2(shot.save(path), qPrintable(path));
    qInfo("picture: %s", qPrintable(path));
}

QTEST_MAIN(TestMainWindowPicture)
#include "tst_mainwindowpicture.moc"
