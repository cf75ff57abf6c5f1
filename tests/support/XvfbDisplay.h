// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A private X server for one test, a connection of its own that plays
// "another program" (grabs keys, changes the keyboard mapping), and xdotool
// as the real source of key presses.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

// Xlib's Display, without Xlib's macros (None, Bool, …) that clash with the
// test framework's names.
struct _XDisplay;

namespace orvo::test {

class XvfbDisplay {
public:
    // Starts Xvfb on a display number it picks and points DISPLAY at it.
    XvfbDisplay();
    ~XvfbDisplay() { stopServer(); }

    _XDisplay* otherClient() const { return other_.get(); }
    // Presses and releases a combination such as "alt+1" through XTest;
    // returns when the server has taken the events.
    bool press(const std::string& combination) const;
    // Ends the server, as when the session's X server goes away.
    void stopServer();

private:
    ChildProcess server_;
    std::unique_ptr<_XDisplay, int (*)(_XDisplay*)> other_ { nullptr, nullptr };
};

} // namespace orvo::test
