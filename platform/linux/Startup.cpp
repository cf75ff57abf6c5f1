// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into the application only: what the Linux platform warms up before
// a first click.
#include "platform/BuildConfig.h"
#include "platform/linux/core/WarmUp.h"
#include "platform/linux/player/Playback.h"

namespace {
// GStreamer's registry, the plugins a live stream needs, the TLS store and
// the first connection to the stream host cost about a tenth of a second and
// some 18 MB; pay them when the menu opens, on threads of their own, so that
// the click that follows finds them done.
const bool playbackWarmUp = (orvo::platform::native::whenMenuOpens([] {
    orvo::platform::native::prepareForPlaying(std::string("https://") + orvo::build::streamHost + "/");
}),
    true);
} // namespace
