// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvo::platform::native {

// Work that makes a first click fast, started when the user shows the intent
// to play: the status item's menu opens. Done then rather than at launch, a
// tray app that is never played costs no memory for playback; a person takes
// far longer to pick a channel than the warm-up takes.
//
// A task runs on the main loop at every opening and must return at once
// (hand lasting work to a thread of its own).
void whenMenuOpens(void (*task)());

// Called by the tray when a host is about to show the menu.
void menuOpens();

} // namespace orvo::platform::native
