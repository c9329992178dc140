// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "widgets/readonlyaccessibletext.h"

#include <QAccessibleWidget>

class QComboBox;

// A combo box as screen readers meet it: named by its accessible name, with
// its current item as its value and as read-only text. Qt 6.4 leaves a combo
// box's accessible name unused on Linux: AT-SPI gets the current item as the
// name, and what the box edits only from a label tied to it. The window's
// combo boxes have no labels, so without this they would read "15" or
// "DAC1". Everything else is as Qt's own: the popup list as the only child,
// expandable, and opened or closed by its actions. Editable combo boxes keep
// Qt's own interface.
class AccessibleComboBox : public QAccessibleWidget, public ReadOnlyAccessibleText {
public:
    explicit AccessibleComboBox(QComboBox* box);

    // Makes Qt build this interface for every combo box created from now on.
    static void install();

    void* interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text t) const override;
    QAccessible::State state() const override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QStringList actionNames() const override;
    QString localizedActionDescription(const QString& action) const override;
    void doAction(const QString& action) override;
    QStringList keyBindingsForAction(const QString& action) const override;

    using ReadOnlyAccessibleText::text;

private:
    QComboBox* box() const;
    // The current item's text.
    QString shownText() const override;
};
