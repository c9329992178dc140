// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QAccessibleWidget>

class QLabel;

// A label as screen readers meet it: named by its accessible name (or by
// what it shows, when it has none), with what it shows as its text, and
// labelling its buddy. Qt 6.4 gives a label no text interface on Linux
// unless Qt happens to build it before the label has its final properties,
// so AT-SPI could read a label that says something of its own (the
// connection, the problems) only as its name, which is fixed
// ("Connection") while the text is what changes.
class AccessibleLabel : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit AccessibleLabel(QLabel* label);

    // Makes Qt build this interface for every label created from now on.
    static void install();

    void* interface_cast(QAccessible::InterfaceType type) override;
    QVector<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
        QAccessible::Relation match = QAccessible::AllRelations) const override;

    // What the label shows, as plain text; there is no caret and nothing to
    // select.
    QString text(QAccessible::Text t) const override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    QLabel* label() const;
    QString shown() const;
};
