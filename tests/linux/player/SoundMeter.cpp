// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/linux/player/SoundMeter.h"

#include "platform/linux/player/Playback.h"

#include <gst/gst.h>

#include <cstdlib>
#include <stdexcept>

namespace orvo::test {

void SoundMeter::useForNewPlayers()
{
    g_setenv(platform::native::audioSinkVariable, sinkDescription, TRUE);
}

SoundMeter::SoundMeter(const platform::Player& player)
{
    GstElement* pipeline = platform::native::pipelineOf(player);
    if (!pipeline) {
        throw std::runtime_error("not a GStreamer stream player");
    }
    sink_ = gst_bin_get_by_name(GST_BIN(pipeline), "orvo-meter");
    if (!sink_) {
        throw std::runtime_error("the player's audio sink has no meter");
    }
    handler_ = g_signal_connect(sink_, "handoff", G_CALLBACK(&SoundMeter::onHandoff), this);
}

SoundMeter::~SoundMeter()
{
    g_signal_handler_disconnect(sink_, handler_);
    gst_object_unref(sink_);
}

void SoundMeter::resetTone()
{
    samples_ = 0;
    crossings_ = 0;
}

double SoundMeter::toneHz() const
{
    const auto samples = samples_.load();
    return samples > 0 ? static_cast<double>(crossings_.load()) / 2.0 * rate / static_cast<double>(samples) : 0.0;
}

// Runs on the sink's streaming thread; touches only atomics.
void SoundMeter::onHandoff(GstElement*, void* buffer, void*, void* data)
{
    auto* self = static_cast<SoundMeter*>(data);
    GstMapInfo map;
    if (!gst_buffer_map(static_cast<GstBuffer*>(buffer), &map, GST_MAP_READ)) {
        return;
    }
    const auto* samples = reinterpret_cast<const std::int16_t*>(map.data);
    const std::size_t count = map.size / sizeof(std::int16_t);
    std::int64_t loud = 0;
    std::int64_t crossings = 0;
    bool positive = self->wasPositive_.load();
    for (std::size_t i = 0; i < count; ++i) {
        const int s = samples[i];
        if (std::abs(s) > 1000) {
            ++loud;
        }
        // Hysteresis keeps noise near zero from counting as crossings.
        if ((positive && s < -300) || (!positive && s > 300)) {
            positive = !positive;
            ++crossings;
        }
    }
    gst_buffer_unmap(static_cast<GstBuffer*>(buffer), &map);
    self->wasPositive_ = positive;
    self->loud_ += loud;
    self->samples_ += static_cast<std::int64_t>(count);
    self->crossings_ += crossings;
}

} // namespace orvo::test
