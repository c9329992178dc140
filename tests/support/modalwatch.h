// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QApplication>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>

// Meets every modal window that comes up while it lives, as a user at the
// screen would: notes each once when it first shows, then answers it, again
// on each tick for as long as it stays up.
class ModalWatch : public QObject {
public:
    explicit ModalWatch(int intervalMs)
    {
        connect(&timer, &QTimer::timeout, this, &ModalWatch::poll);
        timer.start(intervalMs);
    }

protected:
    virtual void note(QWidget* modal) = 0;
    virtual void answer(QWidget* modal) = 0;

private:
    void poll()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (!handled.contains(w)) {
            handled << w;
            note(w);
        }
        answer(w);
    }

    QTimer timer;
    QList<QPointer<QWidget>> handled;
};
