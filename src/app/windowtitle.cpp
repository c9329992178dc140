#include "app/windowtitle.h"

const QString baseWindowTitle = QString::fromUtf8("Sonvale_Control");
