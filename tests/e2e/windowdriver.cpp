// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into the unmodified sonvale binary: once its main window is
// shown, presses and releases "Connect&Read" as a user would, moves the
// volume slider, prints what the window then shows (its title again after
// the move) and quits the program.
// Its lines on standard output begin with "window: ".
//
// A message box the window opens (a failed connection) is read and closed,
// so that the session always ends.

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

void say(const QString& text)
{
    std::printf("window: %s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

QWidget* mainWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->inherits("MainWindow"))
            return widget;
    return nullptr;
}

template <typename T>
T* child(QWidget* window, const char* name)
{
    T* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        say(QStringLiteral("no widget %1").arg(QLatin1String(name)));
    return widget;
}

void closeMessageBoxes()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible()) {
            say(QStringLiteral("message box \"%1\": %2").arg(box->windowTitle(), box->text()));
            box->accept();
        }
    }
}

void printWidgets(QWidget* window)
{
    say(QStringLiteral("title \"%1\"").arg(window->windowTitle()));
    auto* label = child<QLabel>(window, "label");
    auto* slider = child<QAbstractSlider>(window, "volumeSlider");
    if (label && slider)
        say(QStringLiteral("volume %1, slider %2").arg(label->text()).arg(slider->value()));
    auto* second = child<QSpinBox>(window, "secondThdEdit");
    auto* third = child<QSpinBox>(window, "thirdThdEdit");
    auto* second2 = child<QSpinBox>(window, "secondThdEdit_2");
    auto* third2 = child<QSpinBox>(window, "thirdThdEdit_2");
    if (second && third && second2 && third2)
        say(QStringLiteral("THD left %1 %2, right %3 %4")
                .arg(second->value()).arg(third->value()).arg(second2->value()).arg(third2->value()));
    for (const auto& pair : {std::make_pair("mclkFreqBox", "mclkBox"),
                             std::make_pair("filterFreqBox", "filterBox")}) {
        auto* which = child<QComboBox>(window, pair.first);
        auto* value = child<QComboBox>(window, pair.second);
        if (which && value)
            say(QStringLiteral("%1 \"%2\": %3 \"%4\"")
                    .arg(QLatin1String(pair.first), which->currentText(),
                         QLatin1String(pair.second), value->currentText()));
    }
}

void drive()
{
    QWidget* window = mainWindow();
    if (!window) {
        say(QStringLiteral("no main window"));
        QCoreApplication::exit(3);
        return;
    }
    printWidgets(window);

    auto* button = child<QAbstractButton>(window, "startDRTestBtn");
    if (!button) {
        QCoreApplication::exit(3);
        return;
    }
    // The window answers a failed connection with a modal box; it is shown
    // from within the click, so look for it from the box's own event loop.
    auto* boxCloser = new QTimer(window);
    QObject::connect(boxCloser, &QTimer::timeout, &closeMessageBoxes);
    boxCloser->start(50);
    say(QStringLiteral("press and release \"%1\"").arg(button->text()));
    button->click();
    boxCloser->stop();
    printWidgets(window);

    if (auto* slider = child<QAbstractSlider>(window, "volumeSlider")) {
        say(QStringLiteral("volume slider to 200"));
        slider->setValue(200);
        if (auto* label = child<QLabel>(window, "label"))
            say(QStringLiteral("volume %1").arg(label->text()));
        say(QStringLiteral("title \"%1\"").arg(window->windowTitle()));
    }
    QCoreApplication::exit(0);
}

// Waits for the first showing of the main window, then drives it from the
// event loop.
class ShowWatcher : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (!started && event->type() == QEvent::Show && object->inherits("MainWindow")) {
            started = true;
            QTimer::singleShot(0, &drive);
        }
        return false;
    }
    bool started = false;
};

void installWatcher()
{
    QCoreApplication* app = QCoreApplication::instance();
    app->installEventFilter(new ShowWatcher(app));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installWatcher)
