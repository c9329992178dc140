// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/readonlyaccessibletext.h"

#include <QRect>

QString ReadOnlyAccessibleText::text(int startOffset, int endOffset) const
{
    return shownText().mid(startOffset, endOffset < 0 ? -1 : endOffset - startOffset);
}

int ReadOnlyAccessibleText::characterCount() const
{
    return int(shownText().size());
}

QRect ReadOnlyAccessibleText::characterRect(int) const
{
    return {};
}

int ReadOnlyAccessibleText::offsetAtPoint(const QPoint&) const
{
    return -1;
}

void ReadOnlyAccessibleText::selection(int, int* startOffset, int* endOffset) const
{
    *startOffset = *endOffset = 0;
}

int ReadOnlyAccessibleText::selectionCount() const
{
    return 0;
}

void ReadOnlyAccessibleText::addSelection(int, int) {}
void ReadOnlyAccessibleText::removeSelection(int) {}
void ReadOnlyAccessibleText::setSelection(int, int, int) {}

int ReadOnlyAccessibleText::cursorPosition() const
{
    return 0;
}

void ReadOnlyAccessibleText::setCursorPosition(int) {}
void ReadOnlyAccessibleText::scrollToSubstring(int, int) {}

QString ReadOnlyAccessibleText::attributes(int, int* startOffset, int* endOffset) const
{
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}
