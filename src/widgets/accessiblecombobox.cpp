// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/accessiblecombobox.h"

#include <QAbstractItemView>
#include <QComboBox>

namespace {

QAccessibleInterface* createForComboBox(const QString& className, QObject* object)
{
    auto* box = qobject_cast<QComboBox*>(object);
    if (className != QLatin1String("QComboBox") || !box || box->isEditable())
        return nullptr;
    return new AccessibleComboBox(box);
}

} // namespace

AccessibleComboBox::AccessibleComboBox(QComboBox* box)
    : QAccessibleWidget(box, QAccessible::ComboBox)
{
}

void AccessibleComboBox::install()
{
    static const bool installed = (QAccessible::installFactory(createForComboBox), true);
    (void)installed;
}

QComboBox* AccessibleComboBox::box() const
{
    return static_cast<QComboBox*>(widget());
}

void* AccessibleComboBox::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString AccessibleComboBox::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value || (t == QAccessible::Name && box()->accessibleName().isEmpty()))
        return box()->currentText();
    return QAccessibleWidget::text(t);
}

QAccessible::State AccessibleComboBox::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.expandable = true;
    s.expanded = isValid() && box()->view()->isVisible();
    return s;
}

int AccessibleComboBox::childCount() const
{
    return 1;
}

QAccessibleInterface* AccessibleComboBox::child(int index) const
{
    return index == 0 ? QAccessible::queryAccessibleInterface(box()->view()) : nullptr;
}

int AccessibleComboBox::indexOfChild(const QAccessibleInterface* child) const
{
    return child && child->object() == box()->view() ? 0 : -1;
}

QAccessibleInterface* AccessibleComboBox::childAt(int, int) const
{
    return nullptr;
}

QStringList AccessibleComboBox::actionNames() const
{
    return {showMenuAction(), pressAction()};
}

QString AccessibleComboBox::localizedActionDescription(const QString& action) const
{
    return actionNames().contains(action) ? QComboBox::tr("Open the combo box selection popup")
                                          : QString();
}

void AccessibleComboBox::doAction(const QString& action)
{
    if (!actionNames().contains(action))
        return;
    if (box()->view()->isVisible())
        box()->hidePopup();
    else
        box()->showPopup();
}

QStringList AccessibleComboBox::keyBindingsForAction(const QString&) const
{
    return {};
}

QString AccessibleComboBox::shownText() const
{
    return box()->currentText();
}
