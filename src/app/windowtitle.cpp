// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/windowtitle.h"

const QString baseWindowTitle = QString::fromUtf8("Sonvale_Control");
