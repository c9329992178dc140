// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/accessiblelabel.h"

#include <QLabel>

namespace {

QAccessibleInterface* createForLabel(const QString& className, QObject* object)
{
    auto* label = qobject_cast<QLabel*>(object);
    if (className != QLatin1String("QLabel") || !label)
        return nullptr;
    return new AccessibleLabel(label);
}

} // namespace

AccessibleLabel::AccessibleLabel(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText)
{
}

void AccessibleLabel::install()
{
    static const bool installed = (QAccessible::installFactory(createForLabel), true);
    (void)installed;
}

QLabel* AccessibleLabel::label() const
{
    return static_cast<QLabel*>(widget());
}

// The text as read, without the mnemonic's marker ("&Level:" reads "Level:").
QString AccessibleLabel::shownText() const
{
    QString text = label()->text();
    for (qsizetype at = text.indexOf(QLatin1Char('&')); at >= 0 && at < text.size();
         at = text.indexOf(QLatin1Char('&'), at + 1))
        text.remove(at, 1);   // "&&" leaves one '&', skipped by the next search
    return text;
}

void* AccessibleLabel::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString AccessibleLabel::text(QAccessible::Text t) const
{
    if (t == QAccessible::Name && label()->accessibleName().isEmpty())
        return shownText();
    return QAccessibleWidget::text(t);
}

QVector<QPair<QAccessibleInterface*, QAccessible::Relation>> AccessibleLabel::relations(
    QAccessible::Relation match) const
{
    auto found = QAccessibleWidget::relations(match);
    if ((match & QAccessible::Labelled) && label()->buddy())
        found.append({QAccessible::queryAccessibleInterface(label()->buddy()), QAccessible::Labelled});
    return found;
}
