// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

// Every title the main window shows starts with this.
extern const QString baseWindowTitle;
