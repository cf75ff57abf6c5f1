// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvo::platform::native {

// Work to do shortly after the application has launched and shown its tray
// item, at low priority on the main loop: warming up what the first click will need, so
// the click itself is fast and start-up is not slowed.
void runAfterLaunch(void (*task)());

} // namespace orvo::platform::native
