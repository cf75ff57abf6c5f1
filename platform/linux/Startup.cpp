// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into the application only: what the Linux platform warms up once
// the tray item stands.
#include "platform/linux/core/Launch.h"
#include "platform/linux/player/Playback.h"

namespace {
// GStreamer's registry, the plugins a live stream needs and the TLS store
// cost a few hundred milliseconds the first time; pay them before the first
// click instead of on it.
const bool playbackWarmUp = (orvo::platform::native::runAfterLaunch(&orvo::platform::native::preparePlayback), true);
} // namespace
