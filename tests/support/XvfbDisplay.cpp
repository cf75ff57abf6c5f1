// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/XvfbDisplay.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <glib.h>

#include <stdexcept>

namespace orvo::test {

void XvfbDisplay::Closer::operator()(Display* display) const
{
    XCloseDisplay(display);
}

XvfbDisplay::XvfbDisplay()
    : server_({ "Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "640x480x24" }, true)
{
    const std::string number = server_.readLine();
    if (number.empty()) {
        throw std::runtime_error("Xvfb gave no display number");
    }
    name_ = ":" + number;
    g_setenv("DISPLAY", name_.c_str(), TRUE);
    other_.reset(XOpenDisplay(name_.c_str()));
    if (!other_) {
        throw std::runtime_error("cannot connect to Xvfb " + name_);
    }
}

XvfbDisplay::~XvfbDisplay()
{
    other_.reset();
    server_.stop();
}

bool XvfbDisplay::press(const std::string& combination) const
{
    return runCommand({ "xdotool", "key", combination }).status == 0;
}

unsigned XvfbDisplay::lockedModifiers() const
{
    XkbStateRec state {};
    XkbGetState(other_.get(), XkbUseCoreKbd, &state);
    return state.locked_mods;
}

void XvfbDisplay::stopServer()
{
    other_.reset();
    server_.stop();
}

} // namespace orvo::test
