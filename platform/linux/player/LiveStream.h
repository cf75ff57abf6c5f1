// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The network half of a stream player: follows one live HLS stream (RFC 8216)
// and hands its media bytes on as they arrive.
//
// A fresh start loads the playlist (choosing a variant of a master playlist),
// begins three segments behind the live edge and fetches one segment after
// the other, reloading a live playlist as RFC 8216 asks. Bytes go on to the
// output piece by piece, decrypted where the segment is AES-128, so decoding
// starts with the first bytes of the first segment while the rest loads
// behind it. A discontinuity or a new initialisation section begins a new run
// of the output. Every request goes through HttpsFetch: HTTPS only, certificate
// checked, redirects only to https.
//
// Failures end the stream's work and are reported once, classed for the
// retry logic: a missing or forbidden playlist and a certificate or redirect
// that fails the security checks are final; everything else is transient.
// Main loop only; destroying it cancels every request at once.

#include "platform/linux/player/RetryController.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

typedef struct _GBytes GBytes;

namespace orvo::platform::native {

class LiveStream {
public:
    // Where the bytes go (the decoder).
    class Output {
    public:
        virtual ~Output() = default;
        // The bytes pushed from now on start a new run (fresh demuxer).
        virtual void beginRun() = 0;
        virtual void push(GBytes* bytes) = 0;
        // An ended playlist has been delivered whole.
        virtual void endOfStream() = 0;
        // Whether to fetch the next segment now; when false, the output calls
        // LiveStream::roomAgain() later.
        virtual bool hasRoom() const = 0;
    };

    using OnFailure = std::function<void(const Trouble&)>;

    LiveStream(std::string url, Output& output, OnFailure failed, const TimerFactory& timers);
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    // Starts afresh from the live edge (any earlier work is dropped).
    void start();
    // Stops every request and timer; start() begins again.
    void stop();
    // Holds: no new request, no reload; the segment under way completes.
    void suspend();
    // Goes on after suspend() with the segment after the last one delivered.
    void resume();
    // Whether resume() can still go on where the stream was held: false once
    // the hold outlasted the playlist's window, so that the next segment has
    // left the server.
    bool canResume() const;
    // The output has room again.
    void roomAgain();

    // Bandwidth of the variant being played; 0 for a media playlist.
    std::uint64_t bandwidth() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace orvo::platform::native
