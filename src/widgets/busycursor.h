// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The wait cursor over the whole application for as long as it lives, or
// until restore(). Exchanges with the device block the GUI thread, so this
// is all that shows the window is working; restore it before a message box
// opens, which should not come up with the wait cursor over it.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

    void restore();

private:
    bool active;
};
