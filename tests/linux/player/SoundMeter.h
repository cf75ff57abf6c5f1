// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Listens to what a stream player really plays: the test build routes the
// player's audio through a fakesink (see sinkDescription) and this meter reads
// the decoded samples it renders, counting loud ones and estimating the tone.

#include "platform/StreamPlayer.h"

#include <atomic>
#include <cstdint>

typedef struct _GstElement GstElement;

namespace orvo::test {

class SoundMeter {
public:
    // The audio sink for the player; set it before creating a player.
    static constexpr const char* sinkDescription
        = "audioconvert ! audioresample ! audio/x-raw,format=S16LE,channels=1,rate=48000 ! "
          "fakesink name=orvo-meter sync=true signal-handoffs=true";
    static constexpr int rate = 48000;
    static void useForNewPlayers();

    explicit SoundMeter(const platform::Player& player);
    ~SoundMeter();
    SoundMeter(const SoundMeter&) = delete;
    SoundMeter& operator=(const SoundMeter&) = delete;

    // Samples above a whisper since the start.
    std::int64_t loudSamples() const { return loud_.load(); }
    // Starts a new tone measurement.
    void resetTone();
    // Samples measured since resetTone(), and the tone they hold in hertz.
    std::int64_t toneSamples() const { return samples_.load(); }
    double toneHz() const;

private:
    static void onHandoff(GstElement*, void* buffer, void* pad, void* data);

    GstElement* sink_ = nullptr;
    unsigned long handler_ = 0;
    std::atomic<std::int64_t> loud_ { 0 };
    std::atomic<std::int64_t> samples_ { 0 };
    std::atomic<std::int64_t> crossings_ { 0 };
    std::atomic<bool> wasPositive_ { false };
};

} // namespace orvo::test
