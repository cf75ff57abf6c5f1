// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/LiveStream.h"

#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/player/PlaybackPolicy.h"
#include "platform/linux/player/Playlist.h"
#include "platform/linux/player/SegmentCipher.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>

namespace orvo::platform::native {
namespace {

using glib::GUnique;
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxSegmentBytes = 16 * 1024 * 1024;
constexpr std::size_t maxInitBytes = 1024 * 1024;
constexpr std::size_t keyBytes = 16;
// Segment downloads that stall or break on one variant before the next start
// picks a variant of lower bandwidth.
constexpr int stallsBeforeSteppingDown = 2;
// Reloads in a row whose window lies behind the last one before the stream
// counts as started over with lower numbers. Two origins behind one address
// that are not in step answer in turn, each a window of its own; the older
// one's are passed over rather than followed back and forth.
constexpr int olderWindowsBeforeRestart = 3;

std::optional<std::pair<std::uint64_t, std::uint64_t>> rangeOf(const std::optional<hls::ByteRange>& range)
{
    if (!range) {
        return std::nullopt;
    }
    return std::make_pair(range->offset, range->length);
}

// What a failed request means for the stream. The playlist's own "not found"
// and "forbidden" are final: the channel is not there, or not for us.
// Certificates and redirects that fail the security checks are final too: a
// retry would not make them safe. Everything else may pass: a segment that
// left the window, a server error, the network.
Trouble classify(const FetchFailure& failure, bool playlist, const char* what)
{
    using Kind = FetchFailure::Kind;
    Trouble trouble { Failure::Transient, Reason::Network, failure.status, std::string(what) + ": " + failure.message };
    switch (failure.kind) {
    case Kind::Certificate:
        return { Failure::Permanent, Reason::Certificate, 0, std::move(trouble.detail) };
    case Kind::Insecure:
    case Kind::TooManyRedirects:
        return { Failure::Permanent, Reason::Insecure, 0, std::move(trouble.detail) };
    case Kind::Status:
        trouble.reason = Reason::Status;
        if (playlist
            && (failure.status == 401 || failure.status == 403 || failure.status == 404 || failure.status == 410)) {
            trouble.failure = Failure::Permanent;
        }
        return trouble;
    case Kind::TooLarge:
        trouble.reason = Reason::Unreadable;
        return trouble;
    case Kind::Network:
        return trouble;
    }
    return trouble;
}

Trouble unreadable(Failure failure, std::string detail)
{
    return { failure, Reason::Unreadable, 0, std::move(detail) };
}

} // namespace

struct LiveStream::Impl {
    Impl(std::string u, Output& o, OnFailure f, const TimerFactory& timers)
        : url(std::move(u))
        , output(o)
        , failed(std::move(f))
        , reloadTimer(timers())
    {
    }

    const std::string url;
    Output& output;
    const OnFailure failed;
    const std::unique_ptr<Timer> reloadTimer;

    bool active = false;
    bool suspended = false;
    bool ended = false;
    bool waitingForRoom = false;
    std::optional<Clock::time_point> suspendedAt;

    // The variant: chosen from a master playlist at each fresh start.
    std::string mediaUrl;
    std::uint64_t variantBandwidth = 0;
    std::optional<std::uint64_t> ceiling;
    int stalls = 0;

    std::optional<hls::MediaPlaylist> playlist;
    std::string playlistText;
    Clock::time_point playlistRequestedAt;
    std::optional<std::uint64_t> nextSequence;
    std::optional<std::uint64_t> lastDelivered;
    int olderWindows = 0;

    // The run the output is in: what a segment must share with it to go on
    // in the same run.
    bool runOpen = false;
    std::uint64_t runDiscontinuity = 0;
    std::optional<hls::InitSection> runInit;

    std::optional<hls::InitSection> initFor;
    GUnique<GBytes> initBytes;
    // Keys by address; a stream uses one or two at a time.
    std::map<std::string, SegmentCipher::Block> keys;

    std::unique_ptr<HttpsFetch> playlistFetch;
    std::unique_ptr<HttpsFetch> segmentFetch;
    std::unique_ptr<HttpsFetch> sideFetch; // a key or an initialisation section
    std::string playlistBody;
    std::string sideBody;
    std::unique_ptr<SegmentCipher> cipher;

    void start()
    {
        stop();
        active = true;
        suspended = false;
        suspendedAt.reset();
        mediaUrl.clear();
        variantBandwidth = 0;
        playlist.reset();
        playlistText.clear();
        nextSequence.reset();
        lastDelivered.reset();
        olderWindows = 0;
        runOpen = false;
        fetchPlaylist(url);
    }

    void stop()
    {
        active = false;
        ended = false;
        waitingForRoom = false;
        reloadTimer->stop();
        playlistFetch.reset();
        segmentFetch.reset();
        sideFetch.reset();
        cipher.reset();
    }

    void suspend()
    {
        if (suspended) {
            return;
        }
        suspended = true;
        suspendedAt = Clock::now();
        reloadTimer->stop();
        playlistFetch.reset();
        // Nothing of a key or an initialisation section has reached the output yet.
        sideFetch.reset();
        waitingForRoom = false;
    }

    void resume()
    {
        if (!suspended) {
            return;
        }
        suspended = false;
        suspendedAt.reset();
        if (active) {
            fetchPlaylist(mediaUrl.empty() ? url : mediaUrl);
        }
    }

    bool canResume() const
    {
        if (!suspendedAt || !playlist) {
            return true;
        }
        double window = 0;
        for (const auto& segment : playlist->segments) {
            window += segment.duration;
        }
        return Clock::now() - *suspendedAt < std::chrono::duration<double>(window);
    }

    void roomAgain()
    {
        if (waitingForRoom) {
            waitingForRoom = false;
            pump();
        }
    }

    // Ends the stream's work and reports why. The report may destroy this
    // object: nothing is touched after it.
    void fail(const Trouble& trouble, bool stalledSegment = false)
    {
        if (stalledSegment && variantBandwidth > 0 && ++stalls >= stallsBeforeSteppingDown) {
            ceiling = variantBandwidth;
            stalls = 0;
        }
        stop();
        failed(trouble);
    }

    // --- Playlists ---

    void fetchPlaylist(const std::string& address)
    {
        reloadTimer->stop();
        playlistRequestedAt = Clock::now();
        playlistBody.clear();
        playlistFetch = HttpsFetch::start(
            FetchRequest { address, std::nullopt, hls::maxPlaylistBytes, true },
            [this](GBytes* bytes) {
                gsize size = 0;
                const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                playlistBody.append(data, size);
            },
            [this](const std::optional<FetchFailure>& failure, const std::string& finalUri) {
                playlistFetch.reset();
                if (failure) {
                    fail(classify(*failure, true, "playlist"));
                    return;
                }
                onPlaylist(finalUri);
            });
    }

    void onPlaylist(const std::string& address)
    {
        hls::Parsed parsed = hls::parse(playlistBody, address);
        if (const auto* error = std::get_if<hls::ParseError>(&parsed)) {
            fail(unreadable(Failure::Transient, "playlist unreadable: " + error->reason));
            return;
        }
        if (const auto* master = std::get_if<hls::MasterPlaylist>(&parsed)) {
            if (!mediaUrl.empty()) {
                fail(unreadable(Failure::Permanent, "a variant is itself a master playlist"));
                return;
            }
            auto chosen = hls::chooseVariant(*master, ceiling);
            if (!chosen && ceiling) {
                // Nothing lower: stay with the lowest that plays at all.
                ceiling.reset();
                chosen = hls::chooseVariant(*master, ceiling);
            }
            if (!chosen) {
                fail({ Failure::Permanent, Reason::Decoder, 0, "no variant in a format that can be played" });
                return;
            }
            mediaUrl = master->variants[*chosen].uri;
            variantBandwidth = master->variants[*chosen].bandwidth;
            fetchPlaylist(mediaUrl);
            return;
        }
        auto& media = std::get<hls::MediaPlaylist>(parsed);
        if (behind(media) && ++olderWindows < olderWindowsBeforeRestart) {
            playlistBody.clear();
            scheduleReload(false);
            return;
        }
        olderWindows = 0;
        const bool changed = playlistBody != playlistText;
        playlistText = std::move(playlistBody);
        playlistBody.clear();
        if (!media.segments.empty()) {
            const std::uint64_t first = media.segments.front().sequence;
            const std::uint64_t last = media.segments.back().sequence;
            // Fresh, fallen out of the window, or a stream that started over
            // with lower numbers: go to the live edge, once.
            if (!nextSequence || *nextSequence < first || *nextSequence > last + 1) {
                nextSequence = media.segments[hls::startIndex(media)].sequence;
            }
        }
        playlist = std::move(media);
        scheduleReload(changed);
        pump();
    }

    // The window starts before the one last followed.
    bool behind(const hls::MediaPlaylist& media) const
    {
        return playlist && !playlist->segments.empty() && !media.segments.empty()
            && media.segments.front().sequence < playlist->segments.front().sequence;
    }

    void scheduleReload(bool changed)
    {
        if (playlist->endList) {
            return;
        }
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - playlistRequestedAt);
        const auto delay = std::max(std::chrono::milliseconds(0), hls::reloadDelay(*playlist, changed) - since);
        reloadTimer->start(delay, false, [this] {
            if (!suspended) {
                fetchPlaylist(mediaUrl.empty() ? url : mediaUrl);
            }
        });
    }

    // --- Segments ---

    const hls::Segment* segmentToFetch() const
    {
        if (!playlist || !nextSequence) {
            return nullptr;
        }
        for (const auto& segment : playlist->segments) {
            if (segment.sequence == *nextSequence) {
                return &segment;
            }
        }
        return nullptr;
    }

    void pump()
    {
        if (!active || suspended || ended || segmentFetch || sideFetch) {
            return;
        }
        const hls::Segment* segment = segmentToFetch();
        if (!segment) {
            if (playlist && playlist->endList && nextSequence && !playlist->segments.empty()
                && *nextSequence > playlist->segments.back().sequence) {
                ended = true;
                output.endOfStream();
            }
            return; // else the next reload brings it
        }
        if (!output.hasRoom()) {
            waitingForRoom = true;
            return;
        }
        if (needsKey(segment->key)) {
            fetchKey(segment->key.uri);
            return;
        }
        const bool newRun = !runOpen || segment->discontinuitySequence != runDiscontinuity || segment->init != runInit
            || !lastDelivered || segment->sequence != *lastDelivered + 1;
        if (newRun && segment->init && (!initBytes || initFor != segment->init)) {
            if (needsKey(segment->init->key)) {
                fetchKey(segment->init->key.uri);
            } else {
                fetchInit(*segment->init);
            }
            return;
        }
        if (newRun) {
            output.beginRun();
            runOpen = true;
            runDiscontinuity = segment->discontinuitySequence;
            runInit = segment->init;
            if (segment->init) {
                output.push(initBytes.get());
            }
        }
        fetchSegment(*segment);
    }

    bool needsKey(const hls::Key& key) const
    {
        return key.method == hls::Key::Method::Aes128 && !keys.contains(key.uri);
    }

    // The key of the segments to come, or their initialisation section: small
    // bodies fetched whole before the segment itself.
    void fetchKey(const std::string& keyAddress)
    {
        fetchSide(FetchRequest { keyAddress, std::nullopt, keyBytes }, "key", [this, keyAddress] {
            if (sideBody.size() != keyBytes) {
                fail(unreadable(Failure::Transient, "the key is not 16 bytes"));
                return false;
            }
            if (keys.size() >= 8) {
                keys.clear(); // keys rotate; old ones are not needed again
            }
            std::copy(sideBody.begin(), sideBody.end(), keys[keyAddress].begin());
            return true;
        });
    }

    void fetchInit(const hls::InitSection& init)
    {
        fetchSide(FetchRequest { init.uri, rangeOf(init.range), maxInitBytes }, "initialisation section", [this, init] {
            std::vector<std::uint8_t> plain(sideBody.begin(), sideBody.end());
            if (init.key.method == hls::Key::Method::Aes128) {
                auto initCipher
                    = SegmentCipher::create(keys.at(init.key.uri), init.key.iv.value_or(SegmentCipher::Block {}));
                auto head = initCipher ? initCipher->update(plain) : std::vector<std::uint8_t> {};
                auto rest = initCipher ? initCipher->finish() : std::nullopt;
                if (!rest) {
                    fail(unreadable(Failure::Transient, "initialisation section does not decrypt"));
                    return false;
                }
                head.insert(head.end(), rest->begin(), rest->end());
                plain = std::move(head);
            }
            initBytes.reset(g_bytes_new(plain.data(), plain.size()));
            initFor = init;
            return true;
        });
    }

    void fetchSide(FetchRequest request, const char* what, std::function<bool()> take)
    {
        sideBody.clear();
        sideFetch = HttpsFetch::start(
            std::move(request),
            [this](GBytes* bytes) {
                gsize size = 0;
                const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                sideBody.append(data, size);
            },
            [this, what, take = std::move(take)](const std::optional<FetchFailure>& failure, const std::string&) {
                sideFetch.reset();
                if (failure) {
                    fail(classify(*failure, false, what));
                    return;
                }
                if (take()) {
                    pump();
                }
            });
    }

    void fetchSegment(const hls::Segment& segment)
    {
        cipher.reset();
        if (segment.key.method == hls::Key::Method::Aes128) {
            cipher = SegmentCipher::create(keys.at(segment.key.uri), hls::ivFor(segment));
            if (!cipher) {
                fail({ Failure::Permanent, Reason::Decoder, 0, "AES-128 is not available" });
                return;
            }
        }
        const std::uint64_t sequence = segment.sequence;
        segmentFetch = HttpsFetch::start(
            FetchRequest { segment.uri, rangeOf(segment.range), maxSegmentBytes },
            [this](GBytes* bytes) {
                if (!cipher) {
                    output.push(bytes);
                    return;
                }
                gsize size = 0;
                const auto* data = static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size));
                pushPlain(cipher->update(std::span(data, size)));
            },
            [this, sequence](const std::optional<FetchFailure>& failure, const std::string&) {
                segmentFetch.reset();
                if (failure) {
                    fail(classify(*failure, false, "segment"), failure->kind == FetchFailure::Kind::Network);
                    return;
                }
                if (cipher) {
                    auto rest = cipher->finish();
                    cipher.reset();
                    if (!rest) {
                        fail(unreadable(Failure::Transient, "segment does not decrypt"));
                        return;
                    }
                    pushPlain(std::move(*rest));
                }
                lastDelivered = sequence;
                nextSequence = sequence + 1;
                pump();
            });
    }

    void pushPlain(std::vector<std::uint8_t> plain)
    {
        if (plain.empty()) {
            return;
        }
        auto* holder = new std::vector<std::uint8_t>(std::move(plain));
        GUnique<GBytes> bytes(g_bytes_new_with_free_func(
            holder->data(), holder->size(), [](gpointer data) { delete static_cast<std::vector<std::uint8_t>*>(data); },
            holder));
        output.push(bytes.get());
    }
};

LiveStream::LiveStream(std::string url, Output& output, OnFailure failed, const TimerFactory& timers)
    : impl_(std::make_unique<Impl>(std::move(url), output, std::move(failed), timers))
{
}

LiveStream::~LiveStream() = default;

void LiveStream::start()
{
    impl_->start();
}

void LiveStream::stop()
{
    impl_->stop();
}

void LiveStream::suspend()
{
    impl_->suspend();
}

void LiveStream::resume()
{
    impl_->resume();
}

bool LiveStream::canResume() const
{
    return impl_->canResume();
}

void LiveStream::roomAgain()
{
    impl_->roomAgain();
}

std::uint64_t LiveStream::bandwidth() const
{
    return impl_->variantBandwidth;
}

} // namespace orvo::platform::native
