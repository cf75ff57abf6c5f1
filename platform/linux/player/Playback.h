// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Linux-only extras of the stream player, for the application's start-up and
// for tests. Main loop only.

#include "platform/StreamPlayer.h"

#include <string>

typedef struct _GstElement GstElement;

namespace orvo::platform::native {

// Does the start-up work of playback ahead of the first click: initialises
// GStreamer, loads the plugins a live stream needs and the TLS certificate
// store (the system's, plus the build's extra test CA when one is configured).
// Idempotent; Player::create() calls it too, so calling it is an optimisation.
void preparePlayback();

// The GStreamer pipeline of a stream player made by Player::create(), for
// tests that listen to what it plays; nullptr for any other player.
GstElement* pipelineOf(const Player& player);

// Trusts pemFile's CA in addition to the system store from now on. For tests
// that make their CA at run time; the application uses the build option only.
void trustExtraCa(const std::string& pemFile);

// What the retry logic of a stream player is doing, for tests.
struct PlaybackStatus {
    bool gaveUp = false; // a permanent failure; no retry is pending
    bool waiting = false; // a retry is scheduled
    int restarts = 0; // streams started afresh after a failure
};
PlaybackStatus statusOf(const Player& player);

// Environment variable holding a gst-launch style description of the audio
// sink (for example "fakesink sync=true"); autoaudiosink when unset.
inline constexpr const char* audioSinkVariable = "ORVO_AUDIO_SINK";

} // namespace orvo::platform::native
