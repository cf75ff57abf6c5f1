// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into the application only: what the Linux platform warms up before
// a first click.
#include "platform/BuildConfig.h"
#include "platform/linux/core/WarmUp.h"
#include "platform/linux/player/Playback.h"

#include <glib.h>

namespace {
// GStreamer's registry, the plugins a live stream needs, the TLS store and
// the first connection to the stream host cost about a tenth of a second and
// some 20 MB; pay them when the menu opens, on threads of their own, so that
// the click that follows finds them done. (A click that comes first, or a
// hot key, starts them itself.) Not at launch: a tray app that is never
// played would carry the 20 MB all day.
const bool playbackWarmUp = (orvo::platform::native::whenMenuOpens([] {
    orvo::platform::native::prepareForPlaying(std::string("https://") + orvo::build::streamHost + "/");
}),
    true);

// A stale registry cache, though, would make that warm-up take half a second
// or more: have it rebuilt soon after launch, in a child process, once the
// launch work is done.
const guint registryCheck = g_idle_add_full(
    G_PRIORITY_LOW,
    [](gpointer) -> gboolean {
        if (orvo::platform::native::pluginRegistryStale()) {
            orvo::platform::native::refreshPluginRegistry();
        }
        return G_SOURCE_REMOVE;
    },
    nullptr, nullptr);
} // namespace
