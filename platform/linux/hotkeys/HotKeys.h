// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Hot keys as passive key grabs on the X11 root window.

namespace orvo::platform::native {

// How many keyboard-mapping changes the hot keys have followed (grabs
// renewed). Lets a test wait until a remap has been taken in before pressing.
unsigned keyboardMappingChangesFollowed();

} // namespace orvo::platform::native
