// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Linux-only extras of the stream player, for the application's start-up and
// for tests. Main loop only unless said otherwise.

#include "platform/StreamPlayer.h"

#include <string>

typedef struct _GstElement GstElement;

namespace orvo::platform::native {

// The start-up work of playback: initialises GStreamer and loads the plugins
// a live stream needs. Idempotent, thread-safe and blocking: for a warm-up
// thread, or a test that wants it done before it makes players.
void preparePlayback();

// Gets ready for a first Player::create() and play() on streamAddress: the
// first time, preparePlayback() and the one-time work of a first request run
// on short-lived threads of their own (the main loop never waits for them),
// then a connection to the stream host is opened; later calls only open that
// connection again if the pool closed it. Player::create() calls it too: a
// player asked to play before all this is done starts when it is, and the
// main loop never waits for it.
void prepareForPlaying(const std::string& streamAddress);

// GStreamer's registry cache is missing or older than the plugins, so that
// the next gst_init() would scan them all. A few file checks; any thread.
bool pluginRegistryStale();

// Rebuilds the registry cache in a child process at low priority: this
// program run again with registryRefreshOption, which calls
// rebuildPluginRegistry(). A warm-up that starts meanwhile waits for it on
// its thread. Main loop; once.
void refreshPluginRegistry();
inline constexpr const char* registryRefreshOption = "--refresh-plugin-registry";
void rebuildPluginRegistry();

// Blocks while a refresh is under way: for the warm-up thread.
void awaitPluginRegistry();

// The GStreamer pipeline of a stream player made by Player::create(), for
// tests that listen to what it plays; nullptr for any other player.
GstElement* pipelineOf(const Player& player);

// What the retry logic of a stream player is doing, for tests.
struct PlaybackStatus {
    bool gaveUp = false; // a permanent failure; no retry is pending
    bool waiting = false; // a retry is scheduled
    int restarts = 0; // streams started afresh after a failure
    int runs = 0; // runs of the decoding pipeline begun so far
};
PlaybackStatus statusOf(const Player& player);

// Environment variable holding a gst-launch style description of the audio
// sink (for example "fakesink sync=true"); autoaudiosink when unset.
inline constexpr const char* audioSinkVariable = "ORVO_AUDIO_SINK";

} // namespace orvo::platform::native
