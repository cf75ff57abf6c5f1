// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvo::platform::native {

// Work to finish when the application quits (the user's Quit, or the session
// ending), run once the main loop has stopped and before the process ends:
// what was held back to spare the disk is written then.
void whenQuitting(void (*task)());

} // namespace orvo::platform::native
