// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/XvfbDisplay.h"

#include <X11/Xlib.h>

#include <glib.h>

#include <stdexcept>

namespace orvo::test {

XvfbDisplay::XvfbDisplay()
    : server_({ "Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "640x480x24" }, true)
{
    const std::string name = ":" + server_.readLine();
    g_setenv("DISPLAY", name.c_str(), TRUE);
    other_ = { XOpenDisplay(name.c_str()), XCloseDisplay };
    if (!other_) {
        throw std::runtime_error("cannot connect to Xvfb " + name);
    }
}

bool XvfbDisplay::press(const std::string& combination) const
{
    return runCommand({ "xdotool", "key", combination }).status == 0;
}

void XvfbDisplay::stopServer()
{
    other_.reset();
    server_.stop();
}

} // namespace orvo::test
