// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A private X server for one test, plus a connection of its own that plays
// "another program" (it grabs keys, changes the keyboard mapping, reads lock
// state), and xdotool as the real source of key presses.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

// Xlib's Display, declared here without Xlib's macros (None, Bool, …), which
// clash with the test framework's names.
struct _XDisplay;

namespace orvo::test {

class XvfbDisplay {
public:
    // Starts Xvfb, which picks a free display number itself, and points
    // DISPLAY at it.
    XvfbDisplay();
    ~XvfbDisplay();

    const std::string& name() const { return name_; }
    // A client connection separate from the code under test.
    _XDisplay* otherClient() const { return other_.get(); }
    // Presses and releases a combination such as "alt+1" through XTest.
    // Returns when the server has taken the events.
    bool press(const std::string& combination) const;
    // The locked modifiers of the keyboard (LockMask, the NumLock mask, …).
    unsigned lockedModifiers() const;
    // Ends the server, as when the session's X server goes away.
    void stopServer();

private:
    struct Closer {
        void operator()(_XDisplay* display) const;
    };
    ChildProcess server_;
    std::string name_;
    std::unique_ptr<_XDisplay, Closer> other_;
};

} // namespace orvo::test
