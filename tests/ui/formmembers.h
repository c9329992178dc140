// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The members of the main window's form, in declaration order, for tests that
// look widgets up by name and compare them with the form's own pointers.

#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QObject>
#include <QString>

#include <cstddef>
#include <vector>

#define SONVALE_FORM_MEMBERS(X) \
    X(actionRead_state)         \
    X(actionRestoreFactory)     \
    X(actionFileBrowser)        \
    X(centralwidget)            \
    X(label)                    \
    X(volumeSlider)             \
    X(groupBox)                 \
    X(mclkBox)                  \
    X(mclkFreqBox)              \
    X(groupBox_2)               \
    X(secondThdEdit)            \
    X(label_3)                  \
    X(thirdThdEdit)             \
    X(label_4)                  \
    X(groupBox_3)               \
    X(filterBox)                \
    X(filterFreqBox)            \
    X(startDRTestBtn)           \
    X(groupBox_4)               \
    X(secondThdEdit_2)          \
    X(label_5)                  \
    X(thirdThdEdit_2)           \
    X(label_6)                  \
    X(label_7)                  \
    X(menubar)                  \
    X(menuSonvale)              \
    X(statusbar)

struct FormMember {
    const char* name;
    std::size_t offset;
    QObject* (*get)(const Ui_MainWindow&);
};

inline const std::vector<FormMember>& formMembers()
{
#define SONVALE_FORM_MEMBER_ROW(m) \
    {#m, offsetof(Ui_MainWindow, m), [](const Ui_MainWindow& ui) -> QObject* { return ui.m; }},
    static const std::vector<FormMember> members = {SONVALE_FORM_MEMBERS(SONVALE_FORM_MEMBER_ROW)};
#undef SONVALE_FORM_MEMBER_ROW
    return members;
}

// A form built on a plain QMainWindow, the way the window controller builds it.
struct Form {
    QMainWindow window;
    Ui_MainWindow ui;

    Form() { ui.setupUi(&window); }

    // "MainWindow" is the window itself; any other name is a member of the form.
    QObject* object(const QString& name) const
    {
        if (name == QLatin1String("MainWindow"))
            return const_cast<QMainWindow*>(&window);
        for (const FormMember& m : formMembers()) {
            if (name == QLatin1String(m.name))
                return m.get(ui);
        }
        return nullptr;
    }

    QWidget* widget(const QString& name) const { return qobject_cast<QWidget*>(object(name)); }

    // The form member that is `w` or holds it (a spin box's inner line edit
    // reports as the spin box); empty for anything outside the form.
    QString memberName(const QObject* w) const
    {
        for (; w; w = w->parent()) {
            for (const FormMember& m : formMembers()) {
                if (m.get(ui) == w)
                    return QString::fromLatin1(m.name);
            }
        }
        return {};
    }
};
