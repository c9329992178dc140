// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The THD assistant as its tests drive it: the window on the simulated DAC
// and analog path, its widgets by object name, what it prints (its console
// channel into a file read at any time), and the dialogs it opens answered
// as a user would.

#include "base/diagnostics.h"
#include "filedialoganswer.h"
#include "modalwatch.h"
#include "thdui/resulttable.h"
#include "thdui/thdwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <memory>

struct SeenDialog {
    QString kind;       // "question", "warning", "information", "file dialog"
    QString title;
    QString text;
    bool waitCursor = false;
};

// Answers each modal dialog as it opens: message boxes with OK (or Cancel,
// when `cancelQuestions`), a file dialog with `file` (or Cancel when empty).
class DialogAnswerer : public ModalWatch {
public:
    bool cancelQuestions = false;
    QString file;
    QList<SeenDialog> seen;

    DialogAnswerer() : ModalWatch(20) {}

    int count(const QString& kind) const
    {
        int n = 0;
        for (const SeenDialog& d : seen)
            n += d.kind == kind;
        return n;
    }

private:
    void note(QWidget* w) override
    {
        SeenDialog d;
        d.title = w->windowTitle();
        d.waitCursor = QApplication::overrideCursor() != nullptr;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            d.kind = box->icon() == QMessageBox::Question  ? QStringLiteral("question")
                     : box->icon() == QMessageBox::Warning ? QStringLiteral("warning")
                                                           : QStringLiteral("information");
            d.text = box->text();
        } else if (qobject_cast<QFileDialog*>(w)) {
            d.kind = QStringLiteral("file dialog");
        }
        seen << d;
    }

    void answer(QWidget* w) override
    {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            QAbstractButton* cancel = box->button(QMessageBox::Cancel);
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            if (cancelQuestions && cancel)
                cancel->click();
            else if (ok)
                ok->click();
            else
                box->reject();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            answerFileDialog(dialog, file);
        } else {
            w->close();
        }
    }
};

// What the window prints, read while it runs.
class ConsoleFile {
public:
    ConsoleFile()
    {
        file.open();
        stream = std::fopen(qPrintable(file.fileName()), "w");
        previous = Diagnostics::redirect(stream);
    }
    ~ConsoleFile()
    {
        Diagnostics::redirect(previous);
        std::fclose(stream);
    }
    QString text() const
    {
        std::fflush(stream);
        QFile reader(file.fileName());
        // Text: the C runtime writes a Windows line end as CR LF.
        return reader.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(reader.readAll())
                                                                 : QString();
    }
    // The lines that start with `prefix`.
    QStringList lines(const QString& prefix) const
    {
        QStringList found;
        for (const QString& line : text().split(QLatin1Char('\n'))) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }

private:
    QTemporaryFile file;
    std::FILE* stream = nullptr;
    std::FILE* previous = nullptr;
};

struct AssistantWindow {
    ConsoleFile console;
    DialogAnswerer dialogs;
    std::unique_ptr<ThdWindow> window = std::make_unique<ThdWindow>();

    template <typename T>
    T* widget(const char* name) const
    {
        return window->findChild<T*>(QLatin1String(name));
    }
    QPushButton* button(const char* name) const { return widget<QPushButton>(name); }
    ResultTable* table(int channel) const { return widget<ResultTable>(channel == 0 ? "leftTable" : "rightTable"); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }
    QString cell(int channel, int row, ResultTable::Column column) const
    {
        return table(channel)->cellText(row, column);
    }
    // Nothing under way: the engine has answered the last request.
    bool idle() const
    {
        return !button("cancelButton")->isEnabled() && !QApplication::overrideCursor()
               && widget<QProgressBar>("progressBar")->maximum() > 0
               && (button("measureButton")->isEnabled() || button("tryAgainButton")->isVisible());
    }
};
