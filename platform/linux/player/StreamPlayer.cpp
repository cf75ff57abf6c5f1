// SPDX-License-Identifier: GPL-3.0-or-later
// The stream player: our own live HLS client (LiveStream, over the process's
// one libsoup session) feeds a GStreamer decoding pipeline (AudioPipeline).
// GStreamer's own HLS demuxers are not used: in 1.22 hlsdemux crashed in
// libsoup when a stream was released while its first segment downloaded,
// followed segment redirects to plain http, and fetched the whole window
// before the first sound; hlsdemux2 leaked a connection and about 4 MB per
// released stream.
#include "platform/StreamPlayer.h"

#include "platform/Localization.h"
#include "platform/linux/core/Catalogue.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/PlaybackNotice.h"
#include "platform/linux/core/WakeSignals.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/player/AudioPipeline.h"
#include "platform/linux/player/LiveStream.h"
#include "platform/linux/player/Playback.h"
#include "platform/linux/player/RetryController.h"
#include "platform/linux/store/Volume.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace orvo::platform {

namespace native {

// What the warm-up threads have got ready, as the main loop knows it, and the
// players that wait for it. Main loop only.
class Readiness {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Something got ready; may be called more than once.
        virtual void warmedUp() = 0;
    };

    // GStreamer is initialised and the decoding plugins are loaded.
    bool decoding() const { return decoding_ || playbackPrepared(); }
    // The certificate store, proxy settings and name resolver are set up,
    // so no request makes the main loop wait for them.
    bool network() const { return network_; }

    void add(Listener* listener) { listeners_.push_back(listener); }
    void remove(Listener* listener) { std::erase(listeners_, listener); }

    void decodingReady()
    {
        decoding_ = true;
        tell();
    }
    void networkReady()
    {
        network_ = true;
        tell();
    }
    bool waiting() const { return !listeners_.empty(); }

private:
    static bool playbackPrepared();

    void tell()
    {
        // A listener may add or remove listeners (a player made or dropped).
        const auto listeners = listeners_;
        for (Listener* listener : listeners) {
            if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end()) {
                listener->warmedUp();
            }
        }
    }

    std::vector<Listener*> listeners_;
    bool decoding_ = false;
    bool network_ = false;
};

Readiness& readiness()
{
    static Readiness instance;
    return instance;
}

} // namespace native

namespace {

using native::AudioPipeline;
using native::Failure;
using native::LiveStream;
using native::RetryController;

class Item final : public PlayerItem {
public:
    explicit Item(Url url)
        : url_(std::move(url))
    {
    }
    const Url& url() const override { return url_; }

private:
    Url url_;
};

class HlsPlayer final : public Player, private LiveStream::Output, private native::Readiness::Listener {
public:
    explicit HlsPlayer(std::shared_ptr<PlayerItem> item)
        : item_(std::move(item))
    {
        stream_ = std::make_unique<LiveStream>(
            item_->url().string(), static_cast<LiveStream::Output&>(*this),
            [this](const native::Trouble& trouble) { failed(trouble); }, [] { return native::makeMainLoopTimer(); });
        retry_ = std::make_unique<RetryController>([] { return native::makeMainLoopTimer(); },
            RetryController::Callbacks {
                .restart =
                    [this] {
                        ++restarts_;
                        startFresh();
                    },
                .halt = [this] { halt(); },
                .position = [this] { return pipeline_ ? pipeline_->played() : std::nullopt; },
                .changed = [this] { tell(); },
            });
        wakeListener_ = native::WakeSignals::instance().add([this] { retry_->retryNow(); });
        volumeListener_ = native::Volume::instance().onChange([this] {
            if (pipeline_) {
                pipeline_->setVolume(native::Volume::instance().level());
            }
        });
        // The main loop never waits for GStreamer or the certificate store to
        // start up: on a first play they get ready on threads of their own,
        // side by side, and this player goes on when they are.
        native::prepareForPlaying(item_->url().string());
        native::readiness().add(this);
        warmedUp();
    }

    ~HlsPlayer() override
    {
        native::readiness().remove(this);
        native::WakeSignals::instance().remove(wakeListener_);
        native::Volume::instance().remove(volumeListener_);
        native::PlaybackNotice::instance().release(this);
        retry_.reset();
        // Requests first, so no byte arrives for a pipeline that is gone;
        // then the pipeline, synchronously silent.
        stream_.reset();
        pipeline_.reset();
    }

    void play() override
    {
        const bool playing = rate_ > 0;
        rate_ = 1;
        // Asked again after giving up (the user presses play on a stream that
        // failed for good): that is worth one more try.
        const bool gaveUp = retry_->state() == RetryController::State::GaveUp;
        if (playing && !gaveUp) {
            return;
        }
        retry_->setWanted(true);
        if (!running_ || gaveUp || !stream_->canResume()) {
            startFresh();
        } else {
            pipeline_->setPlaying(true);
            stream_->resume();
        }
    }

    void pause() override
    {
        rate_ = 0;
        startWhenReady_ = false;
        retry_->setWanted(false);
        if (running_) {
            pipeline_->setPlaying(false);
            stream_->suspend();
        }
    }

    float rate() const override { return rate_; }
    const std::shared_ptr<PlayerItem>& currentItem() const override { return item_; }
    GstElement* pipeline() const { return pipeline_ ? pipeline_->element() : nullptr; }
    native::PlaybackStatus status() const
    {
        return { retry_->state() == RetryController::State::GaveUp, retry_->state() == RetryController::State::Waiting,
            restarts_, pipeline_ ? pipeline_->runsBegun() : 0 };
    }

private:
    // LiveStream::Output
    void beginRun() override { pipeline_->beginRun(); }
    void push(GBytes* bytes) override { pipeline_->push(bytes); }
    void endOfStream() override { pipeline_->endOfStream(); }
    bool hasRoom() const override { return pipeline_->hasRoom(); }

    // Readiness::Listener: a half of the warm-up is done.
    void warmedUp() override
    {
        if (!pipeline_ && native::readiness().decoding()) {
            makePipeline();
        }
        if (startWhenReady_) {
            startFresh();
        }
    }

    void makePipeline()
    {
        pipeline_ = std::make_unique<AudioPipeline>(AudioPipeline::Callbacks {
            .failed = [this](const native::Trouble& trouble) { failed(trouble); },
            .room = [this] { stream_->roomAgain(); },
            // A live stream has no end: the server ended the playlist. Try
            // again like any transient failure.
            .drained =
                [this] {
                    failed({ Failure::Transient, native::Reason::Ended, 0, "the stream ended" });
                },
            .sounding = [this] { tell(); },
        });
        pipeline_->setVolume(native::Volume::instance().level());
    }

    void failed(const native::Trouble& trouble)
    {
        g_debug("%s: %s (%s)", item_->url().string().c_str(), trouble.detail.c_str(),
            trouble.failure == Failure::Permanent ? "giving up" : "will retry");
        trouble_ = trouble;
        retry_->failed(trouble.failure);
        tell();
    }

    // What the tray says of this stream: nothing while it plays or is paused.
    void tell()
    {
        using State = RetryController::State;
        const auto state = retry_->state();
        const bool sounding = state == State::Playing || (state == State::Starting && pipeline_ && pipeline_->played());
        std::string text;
        if (state == State::Playing) {
            trouble_.reset();
        } else if (state == State::Starting && !trouble_ && !sounding) {
            text = localizedString("status_connecting");
        } else if (!sounding && (state == State::Starting || state == State::Waiting || state == State::GaveUp)) {
            static const char* const reasons[] = { "reason_network", "reason_http", "reason_certificate",
                "reason_insecure", "reason_unreadable", "reason_decoder", "reason_ended" };
            const auto& trouble = trouble_.value_or(native::Trouble {});
            const std::string reason = native::filledText(
                reasons[static_cast<int>(trouble.reason)], { { "status", std::to_string(trouble.status) } });
            text = native::filledText(
                state == State::GaveUp ? "status_cannot_play" : "status_retrying", { { "reason", reason } });
        }
        native::PlaybackNotice::instance().set(this, text);
    }

    void startFresh()
    {
        // Requests wait for the certificate store, decoding for GStreamer.
        startWhenReady_ = !pipeline_ || !native::readiness().network();
        if (startWhenReady_) {
            return;
        }
        pipeline_->reset();
        // The first request goes out before the audio device is opened, so
        // that the two overlap.
        stream_->start();
        pipeline_->setPlaying(true);
        running_ = true;
    }

    void halt()
    {
        startWhenReady_ = false;
        stream_->stop();
        if (pipeline_) {
            pipeline_->reset();
        }
        running_ = false;
    }

    std::shared_ptr<PlayerItem> item_;
    std::unique_ptr<AudioPipeline> pipeline_;
    std::unique_ptr<LiveStream> stream_;
    std::unique_ptr<RetryController> retry_;
    int wakeListener_ = 0;
    int volumeListener_ = 0;
    int restarts_ = 0;
    // The last failure, until sound flows again.
    std::optional<native::Trouble> trouble_;
    float rate_ = 0;
    bool running_ = false;
    // Asked to start before the warm-up was done.
    bool startWhenReady_ = false;
};

} // namespace

namespace native {

namespace {
// Set once preparePlayback() has done its work, on whichever thread.
std::atomic<bool> playbackReady { false };

// A detached thread that ends by itself.
bool spawn(const char* name, GThreadFunc work, gpointer data)
{
    if (GThread* thread = g_thread_try_new(name, work, data, nullptr)) {
        g_thread_unref(thread);
        return true;
    }
    return false;
}
} // namespace

bool Readiness::playbackPrepared()
{
    return playbackReady;
}

void preparePlayback()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        // Prefer faad (GPL, like this program) to libav's AAC decoder where it
        // is installed: first sound comes sooner and the process stays far
        // smaller, since libavcodec is never loaded (see bench/player).
        if (glib::GRef<GstPluginFeature> faad(gst_registry_lookup_feature(gst_registry_get(), "faad")); faad) {
            gst_plugin_feature_set_rank(faad.get(), GST_RANK_PRIMARY + 1);
        }
        // Load what decoding a live AAC stream in MPEG-TS needs now rather
        // than on the first click. Other containers (fMP4, packed audio with
        // ID3) load theirs when a stream needs them: a few milliseconds then,
        // against memory held by every process that never meets them.
        for (const char* name : { "app", "coreelements", "playback", "typefindfunctions", "mpegtsdemux", "audioparsers",
                 "faad", "autodetect", "pulseaudio", "audioconvert", "volume", "audioresample" }) {
            glib::GRef<GstPlugin> plugin(gst_plugin_load_by_name(name));
        }
        playbackReady = true;
    });
}

void prepareForPlaying(const std::string& streamAddress)
{
    static bool started = false;
    if (started) {
        // Only the connection may need opening again: the pool closes idle
        // ones after a minute. (Before the first warm-up is done, it opens
        // one itself.)
        if (readiness().network()) {
            preconnect(streamAddress);
        }
        return;
    }
    started = true;
    // Two threads, since the two halves do not depend on each other: a click
    // that comes early waits for the slower of them, not for their sum.
    const bool decoding = spawn(
        "orvo-warm-gst",
        [](gpointer) -> gpointer {
            // A registry being rebuilt is shared through its file: wait
            // rather than scan the plugins a second time.
            awaitPluginRegistry();
            preparePlayback();
            // Decoding elements: their classes are set up on first use.
            for (const char* factory : { "appsrc", "decodebin", "concat", "audioconvert", "volume", "audioresample" }) {
                if (GstElement* element = gst_element_factory_make(factory, nullptr)) {
                    gst_object_unref(gst_object_ref_sink(element));
                }
            }
            native::chooseAudioSink();
            g_idle_add_full(
                G_PRIORITY_DEFAULT,
                [](gpointer) -> gboolean {
                    readiness().decodingReady();
                    return G_SOURCE_REMOVE;
                },
                nullptr, nullptr);
            return nullptr;
        },
        nullptr);
    auto* address = new std::string(streamAddress);
    const bool network = spawn(
        "orvo-warm-net",
        [](gpointer data) -> gpointer {
            prepareRequestsTo(*static_cast<std::string*>(data));
            g_idle_add_full(
                G_PRIORITY_DEFAULT,
                [](gpointer ready) -> gboolean {
                    const std::unique_ptr<std::string> host(static_cast<std::string*>(ready));
                    // A player that waits makes its own connection at once;
                    // a second one would only double the handshake.
                    if (!readiness().waiting()) {
                        preconnect(*host);
                    }
                    readiness().networkReady();
                    return G_SOURCE_REMOVE;
                },
                data, nullptr);
            return nullptr;
        },
        address);
    // Without threads, the work is done here, once.
    if (!decoding) {
        preparePlayback();
        readiness().decodingReady();
    }
    if (!network) {
        prepareRequestsTo(*address);
        delete address;
        readiness().networkReady();
    }
}

PlaybackStatus statusOf(const Player& player)
{
    const auto* ours = dynamic_cast<const HlsPlayer*>(&player);
    return ours ? ours->status() : PlaybackStatus {};
}

GstElement* pipelineOf(const Player& player)
{
    const auto* ours = dynamic_cast<const HlsPlayer*>(&player);
    return ours ? ours->pipeline() : nullptr;
}

} // namespace native

std::shared_ptr<PlayerItem> PlayerItem::create(const Url& url)
{
    return std::make_shared<Item>(url);
}

std::unique_ptr<Player> Player::create(std::shared_ptr<PlayerItem> item)
{
    return std::make_unique<HlsPlayer>(std::move(item));
}

} // namespace orvo::platform
