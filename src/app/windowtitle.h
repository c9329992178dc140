#pragma once

#include <QString>

// Every title the main window shows starts with this.
extern const QString baseWindowTitle;
