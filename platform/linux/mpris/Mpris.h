// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The desktop's media controls reach OrvoMenu over MPRIS2 as the bus name
// org.mpris.MediaPlayer2.orvomenu; NowPlaying.h is the interface the
// application uses. This header adds what only Linux code asks about.

namespace orvo::platform::native {

// True while this process owns the media-player bus name. False before
// anything was published to the Now Playing centre (the first channel
// played), and while another running instance holds the name: this one then
// waits in the bus's queue and takes the name over when that instance goes
// away. Main loop only.
bool mprisNameOwned();

} // namespace orvo::platform::native
