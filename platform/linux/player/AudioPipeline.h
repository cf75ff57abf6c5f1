// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The decoding half of a stream player: bytes of the stream in, sound out.
//
//   run 1: appsrc → decodebin ┐
//   run 2: appsrc → decodebin ┼→ concat → audioconvert → volume → audioresample → sink
//   …                         ┘
//
// A run is a stretch of the stream with one timeline and one container: it
// ends at an HLS discontinuity or a new initialisation section, and the next
// run starts a fresh demuxer and decoder. concat plays the runs one after the
// other and carries the running time across, so a splice in the stream's
// timestamps neither stops the sound nor makes the sink wait. Runs that have
// played out are removed.
//
// Main loop only. GStreamer streams and decodes on its own threads; what
// they report reaches the callbacks through the pipeline's bus, on the main
// loop, and never after the pipeline is destroyed.

#include "platform/linux/player/RetryController.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

typedef struct _GBytes GBytes;
typedef struct _GstElement GstElement;

namespace orvo::platform::native {

class AudioPipeline {
public:
    struct Callbacks {
        // Decoding failed: undecodable data, or a missing plugin.
        std::function<void(const Trouble&)> failed;
        // The queue of undecoded bytes has room again (see hasRoom()).
        std::function<void()> room;
        // Everything handed in has been played (the stream ended).
        std::function<void()> drained;
        // The first sound since the pipeline was made or reset.
        std::function<void()> sounding;
    };

    explicit AudioPipeline(Callbacks callbacks);
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    // The bytes pushed from now on belong to a new run, played after what the
    // current run still holds.
    void beginRun();
    // Bytes of the current run, in stream order. Ignored before beginRun().
    void push(GBytes* bytes);
    // The stream has no more runs; once played out, `drained` is called.
    void endOfStream();
    // Drops all runs and whatever they hold, and stops the sink; beginRun()
    // starts afresh. Synchronous: no sample of the dropped runs is heard after.
    void reset();

    // Sound on (PLAYING) or held (PAUSED). Holding keeps what is queued.
    void setPlaying(bool playing);
    // From silent (0) to as decoded (1).
    void setVolume(double level);

    // Undecoded bytes queued in the current run are below the high-water
    // mark, and a new run may begin (at most three are alive).
    bool hasRoom() const;
    // Nanoseconds of audio handed to the sink since the last reset; grows
    // while sound flows.
    std::optional<std::int64_t> played() const;

    GstElement* element() const;
    // Runs begun since the pipeline was made, for tests.
    int runsBegun() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Finds the audio sink autoaudiosink would pick here and has pipelines made
// from now on use it directly: autoaudiosink opens the audio server once to
// try it and again to play, on every pipeline. A pipeline whose sink fails
// makes the next one look again. Blocking: for a warm-up thread.
void chooseAudioSink();

} // namespace orvo::platform::native
