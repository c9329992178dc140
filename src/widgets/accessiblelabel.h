// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "widgets/readonlyaccessibletext.h"

#include <QAccessibleWidget>

class QLabel;

// A label as screen readers meet it: named by its accessible name (or by
// what it shows, when it has none), with what it shows as its text, and
// labelling its buddy. Qt 6.4 gives a label no text interface on Linux
// unless Qt happens to build it before the label has its final properties,
// so AT-SPI could read a label that says something of its own (the
// connection, the problems) only as its name, which is fixed
// ("Connection") while the text is what changes.
class AccessibleLabel : public QAccessibleWidget, public ReadOnlyAccessibleText {
public:
    explicit AccessibleLabel(QLabel* label);

    // Makes Qt build this interface for every label created from now on.
    static void install();

    void* interface_cast(QAccessible::InterfaceType type) override;
    QVector<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
        QAccessible::Relation match = QAccessible::AllRelations) const override;

    QString text(QAccessible::Text t) const override;
    using ReadOnlyAccessibleText::text;

private:
    QLabel* label() const;
    // What the label shows, as plain text.
    QString shownText() const override;
};
