// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvo::platform::native {

// Work to do shortly after the application has launched and shown its tray
// item, at low priority on the main loop: warming up what the first click will need, so
// the click itself is fast and start-up is not slowed.
void runAfterLaunch(void (*task)());

// An action that other processes may ask the running instance for over the
// session bus (org.gtk.Actions on the instance's name, see Bus.h), taking one
// 32-bit integer. Add it before Application::sharedApplication() is first
// called; the handler runs on the main loop.
void addInstanceAction(const char* name, void (*handler)(int parameter));

} // namespace orvo::platform::native
