// SPDX-License-Identifier: GPL-3.0-or-later
// The stream player: one GStreamer playbin pipeline per player, which pairs
// with the legacy hlsdemux. playbin3 with hlsdemux2 sounds sooner (0.14 s from
// process start and 0.09 s after a switch, against 0.26 s and 0.21 s;
// bench/player), but in GStreamer 1.22 every hlsdemux2 stream that has
// started downloading leaves a connection, two eventfds and about 4 MB behind
// when its pipeline is freed (bench/SoakBench.cpp with
// ORVO_SOAK_SETTLE_EVERY=1); a tray radio that runs for weeks cannot afford
// that. ORVO_PLAYBIN=playbin3 picks it for comparison.
#include "platform/StreamPlayer.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/player/Playback.h"
#include "platform/linux/player/RetryController.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#define G_LOG_DOMAIN_PLAYER "orvo-player"

namespace orvo::platform {

namespace native {
namespace {

using namespace glib;

struct GstUnref {
    void operator()(gpointer p) const
    {
        if (p)
            gst_object_unref(p);
    }
};
template <typename T> using GstRef = std::unique_ptr<T, GstUnref>;

struct QueryUnref {
    void operator()(GstQuery* q) const { gst_query_unref(q); }
};

void debugLog(const char* format, ...) G_GNUC_PRINTF(1, 2);
void debugLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    g_logv(G_LOG_DOMAIN_PLAYER, G_LOG_LEVEL_DEBUG, format, args);
    va_end(args);
}

// Trusts the build's extra CA file in addition to the system store. GStreamer
// ignores SSL_CERT_FILE, and hlsdemux2 fetches segments with a libsoup session
// of its own that offers no CA setting, so the process-wide default database
// is the one place both the playlist and the segment connections look.
void installExtraCa(const std::string& extraFile)
{
    GUnique<char> extra;
    gsize extraLength = 0;
    GUnique<GError> error;
    if (!g_file_get_contents(extraFile.c_str(), out(extra), &extraLength, out(error))) {
        g_warning("extra CA file not readable, using the system store only: %s", error->message);
        return;
    }
    GUnique<char> system;
    gsize systemLength = 0;
    g_file_get_contents("/etc/ssl/certs/ca-certificates.crt", out(system), &systemLength, nullptr);

    // g_tls_file_database_new() takes a path, and the OpenSSL backend reads
    // it again on every verification: keep the combined bundle in a memory
    // file held open for the life of the process, reached through /proc.
    // Earlier bundles stay open too, since sessions may still use them.
    struct Fd {
        explicit Fd(int f)
            : fd(f)
        {
        }
        Fd(Fd&& other) noexcept
            : fd(std::exchange(other.fd, -1))
        {
        }
        Fd& operator=(Fd&&) = delete;
        ~Fd()
        {
            if (fd >= 0)
                close(fd);
        }
        int fd;
    };
    static std::vector<Fd> bundles;
    const int bundleFd = memfd_create("orvomenu-ca", MFD_CLOEXEC);
    if (bundleFd < 0) {
        g_warning("cannot hold the combined CA bundle; using the system store only");
        return;
    }
    bundles.emplace_back(bundleFd);
    std::string combined;
    if (system) {
        combined.append(system.get(), systemLength);
        combined += '\n';
    }
    combined.append(extra.get(), extraLength);
    bool written = true;
    for (std::size_t done = 0; done < combined.size();) {
        const ssize_t n = write(bundleFd, combined.data() + done, combined.size() - done);
        if (n <= 0) {
            written = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(bundleFd);
    GRef<GTlsDatabase> database;
    if (written) {
        database = adopt(g_tls_file_database_new(path.c_str(), out(error)));
    }
    if (!database) {
        g_warning("extra CA bundle rejected; using the system store only: %s", error ? error->message : "write failed");
        return;
    }
    g_tls_backend_set_default_database(g_tls_backend_get_default(), database.get());
}

// Reported by the process when the network comes back or the machine wakes,
// so every player waiting to retry tries at once.
class WakeSignals {
public:
    static WakeSignals& instance()
    {
        static WakeSignals signals;
        return signals;
    }

    int add(std::function<void()> listener)
    {
        listeners_[++lastId_] = std::move(listener);
        return lastId_;
    }
    void remove(int id) { listeners_.erase(id); }

private:
    WakeSignals()
    {
        monitor_ = retain(g_network_monitor_get_default());
        available_ = g_network_monitor_get_network_available(monitor_.get());
        g_signal_connect(monitor_.get(), "network-changed", G_CALLBACK(&WakeSignals::onNetworkChanged), this);
        // No system bus (containers, some test hosts): sleep is not watched.
        g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, &WakeSignals::onSystemBus, this);
    }
    ~WakeSignals()
    {
        g_signal_handlers_disconnect_by_data(monitor_.get(), this);
        if (systemBus_ && subscription_) {
            g_dbus_connection_signal_unsubscribe(systemBus_.get(), subscription_);
        }
    }

    static void onNetworkChanged(GNetworkMonitor*, gboolean available, gpointer data)
    {
        auto* self = static_cast<WakeSignals*>(data);
        const bool cameBack = available && !self->available_;
        self->available_ = available;
        if (cameBack) {
            debugLog("network is back");
            self->notify();
        }
    }

    static void onSystemBus(GObject*, GAsyncResult* result, gpointer data)
    {
        auto* self = static_cast<WakeSignals*>(data);
        self->systemBus_ = adopt(g_bus_get_finish(result, nullptr));
        if (!self->systemBus_) {
            return;
        }
        // Losing the system bus must not end the application.
        g_dbus_connection_set_exit_on_close(self->systemBus_.get(), FALSE);
        self->subscription_ = g_dbus_connection_signal_subscribe(self->systemBus_.get(), "org.freedesktop.login1",
            "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1", nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &WakeSignals::onPrepareForSleep, self, nullptr);
    }

    static void onPrepareForSleep(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data)
    {
        gboolean sleeping = TRUE;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
            g_variant_get(parameters, "(b)", &sleeping);
        }
        if (!sleeping) {
            debugLog("woke from sleep");
            static_cast<WakeSignals*>(data)->notify();
        }
    }

    void notify()
    {
        // A listener may remove itself or others; walk a copy of the ids.
        std::vector<int> ids;
        for (const auto& [id, listener] : listeners_) {
            ids.push_back(id);
        }
        for (int id : ids) {
            if (auto it = listeners_.find(id); it != listeners_.end()) {
                auto listener = it->second;
                listener();
            }
        }
    }

    GRef<GNetworkMonitor> monitor_;
    bool available_ = true;
    GRef<GDBusConnection> systemBus_;
    guint subscription_ = 0;
    std::map<int, std::function<void()>> listeners_;
    int lastId_ = 0;
};

// Failures seen with playbin3, souphttpsrc and hlsdemux2 against a live
// server (tests/support/hls switches each one on), and how to meet them:
// - 404 of the playlist: souphttpsrc, RESOURCE NOT_FOUND; 401/403:
//   NOT_AUTHORIZED. The stream is not there or not for us: give up.
// - 5xx: souphttpsrc, RESOURCE OPEN_READ "Internal Server Error": retry.
// - connection refused or reset, and TLS failures (wrong or untrusted
//   certificate): souphttpsrc posts only "Internal data stream error" (STREAM
//   FAILED); a handshake of our own tells them apart (see diagnose()).
// - segments cut short or missing (also after a long pause, once they left
//   the live window): hlsdemux2, RESOURCE NOT_FOUND "Couldn't download
//   fragments". The playlist was there a moment ago: retry, which also
//   rejoins the live edge.
// - a download that stalls may report nothing at all: the watchdog of
//   RetryController notices that the position stopped moving.
// - undecodable segments: hlsdemux2, STREAM TYPE_NOT_FOUND: retry.
// Only the source element fetches the playlist itself, so only its "not
// found" and "forbidden" are final.
Failure classify(const GstMessage* message, const GError* error)
{
    const bool fromSource = g_strcmp0(G_OBJECT_TYPE_NAME(GST_MESSAGE_SRC(message)), "GstSoupHTTPSrc") == 0;
    if (fromSource && error->domain == GST_RESOURCE_ERROR
        && (error->code == GST_RESOURCE_ERROR_NOT_FOUND || error->code == GST_RESOURCE_ERROR_NOT_AUTHORIZED)) {
        return Failure::Permanent;
    }
    if (error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_MISSING_PLUGIN) {
        return Failure::Permanent;
    }
    return Failure::Transient;
}

} // namespace
} // namespace native

namespace {

using namespace glib;
using native::Failure;
using native::GstRef;
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

class GstPlayer final : public Player {
public:
    explicit GstPlayer(std::shared_ptr<PlayerItem> item)
        : item_(std::move(item))
    {
        native::preparePlayback();
        const char* factory = g_getenv("ORVO_PLAYBIN"); // benchmark knob: "playbin3" or "playbin"
        pipeline_.reset(GST_ELEMENT(
            gst_object_ref_sink(gst_element_factory_make(factory && *factory ? factory : "playbin", nullptr))));
        if (!pipeline_) {
            g_warning("playbin is missing; the stream player stays silent");
            return;
        }
        // Audio only: a radio stream never needs video or subtitle branches.
        constexpr guint playFlagAudio = 1u << 1;
        g_object_set(pipeline_.get(), "uri", item_->url().string().c_str(), "flags", playFlagAudio, nullptr);
        if (const char* sinkDescription = g_getenv(native::audioSinkVariable); sinkDescription && *sinkDescription) {
            GUnique<GError> error;
            GstElement* sink = gst_parse_bin_from_description(sinkDescription, TRUE, out(error));
            if (sink) {
                g_object_set(pipeline_.get(), "audio-sink", sink, nullptr);
            } else {
                g_warning("audio sink \"%s\" not usable: %s", sinkDescription, error ? error->message : "?");
            }
        }
        g_signal_connect(pipeline_.get(), "source-setup", G_CALLBACK(&GstPlayer::onSourceSetup), nullptr);

        GstRef<GstBus> bus(gst_element_get_bus(pipeline_.get()));
        busWatch_ = SourceHandle(gst_bus_add_watch(bus.get(), &GstPlayer::onBusMessage, this));

        retry_ = std::make_unique<RetryController>([] { return native::makeMainLoopTimer(); },
            RetryController::Callbacks {
                .restart =
                    [this] {
                        ++restarts_;
                        startFresh();
                    },
                .halt = [this] { halt(); },
                .position = [this] { return position(); },
            });
        wakeListener_ = native::WakeSignals::instance().add([this] { retry_->retryNow(); });
    }

    ~GstPlayer() override
    {
        native::WakeSignals::instance().remove(wakeListener_);
        cancelDiagnosis();
        retry_.reset();
        busWatch_.reset();
        if (pipeline_) {
            // Synchronous: when this returns, no streaming thread runs and no
            // sample of this stream reaches the sink any more.
            gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        }
    }

    void play() override
    {
        const bool playing = rate_ > 0;
        rate_ = 1;
        if (!pipeline_) {
            return;
        }
        // Asked again after giving up (the user presses play on a stream that
        // failed for good): that is worth one more try.
        const bool gaveUp = retry_->state() == RetryController::State::GaveUp;
        if (playing && !gaveUp) {
            return;
        }
        retry_->setWanted(true);
        if (!running_ || gaveUp || pausedPastWindow()) {
            startFresh();
        } else {
            gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
        }
        pausedAt_.reset();
    }

    void pause() override
    {
        rate_ = 0;
        if (!pipeline_) {
            return;
        }
        retry_->setWanted(false);
        cancelDiagnosis();
        if (running_) {
            window_ = liveWindow();
            pausedAt_ = std::chrono::steady_clock::now();
            gst_element_set_state(pipeline_.get(), GST_STATE_PAUSED);
        }
    }

    float rate() const override { return rate_; }
    const std::shared_ptr<PlayerItem>& currentItem() const override { return item_; }
    GstElement* pipeline() const { return pipeline_.get(); }
    native::PlaybackStatus status() const
    {
        if (!retry_) {
            return {};
        }
        return { retry_->state() == RetryController::State::GaveUp, retry_->state() == RetryController::State::Waiting,
            restarts_ };
    }

private:
    static void onSourceSetup(GstElement*, GstElement* source, gpointer)
    {
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "ssl-strict")) {
            g_object_set(source, "ssl-strict", TRUE, nullptr);
        }
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "automatic-redirect")) {
            g_object_set(source, "automatic-redirect", FALSE, nullptr);
        }
    }

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        static_cast<GstPlayer*>(data)->handle(message);
        return G_SOURCE_CONTINUE;
    }

    void handle(GstMessage* message)
    {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR: {
            GUnique<GError> error;
            GUnique<char> debug;
            gst_message_parse_error(message, out(error), out(debug));
            native::debugLog("error from %s: %s (%s:%d) [%s]", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                error->message, g_quark_to_string(error->domain), error->code, debug ? debug.get() : "");
            if (redirect_) {
                // The source stopped at a redirect (it follows none by itself).
                const std::string target = *std::exchange(redirect_, std::nullopt);
                if (target.empty() || ++redirects_ > maxRedirects) {
                    native::debugLog("redirect refused");
                    retry_->failed(Failure::Permanent);
                } else {
                    start(target);
                }
                break;
            }
            if (native::classify(message, error.get()) == Failure::Permanent) {
                retry_->failed(Failure::Permanent);
            } else {
                diagnose();
            }
            break;
        }
        case GST_MESSAGE_EOS:
            // A live stream has no end: the server ended the playlist or the
            // source gave out. Try again like any transient failure.
            native::debugLog("end of stream");
            retry_->failed(Failure::Transient);
            break;
        case GST_MESSAGE_WARNING: {
            GUnique<GError> error;
            GUnique<char> debug;
            gst_message_parse_warning(message, out(error), out(debug));
            native::debugLog("warning: %s [%s]", error->message, debug ? debug.get() : "");
            break;
        }
        case GST_MESSAGE_ELEMENT:
            noteRedirect(gst_message_get_structure(message));
            break;
        default:
            break;
        }
    }

    void startFresh()
    {
        redirects_ = 0;
        start(item_->url().string());
    }

    void start(const std::string& uri)
    {
        native::debugLog("starting %s", uri.c_str());
        cancelDiagnosis();
        redirect_.reset();
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        g_object_set(pipeline_.get(), "uri", uri.c_str(), nullptr);
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
        running_ = true;
    }

    // Redirects are followed here, not by the source, so that none leads to
    // plain HTTP: the source reports the 3xx answer, then fails.
    void noteRedirect(const GstStructure* structure)
    {
        guint status = 0;
        if (!structure || !gst_structure_has_name(structure, "http-headers")
            || !gst_structure_get_uint(structure, "http-status-code", &status) || status < 300 || status > 399) {
            return;
        }
        const char* base = gst_structure_get_string(structure, "uri");
        GstStructure* headers = nullptr;
        if (!base || !gst_structure_get(structure, "response-headers", GST_TYPE_STRUCTURE, &headers, nullptr)) {
            return;
        }
        const char* location = gst_structure_get_string(headers, "Location");
        GUnique<char> target(location ? g_uri_resolve_relative(base, location, G_URI_FLAGS_NONE, nullptr) : nullptr);
        gst_structure_free(headers);
        if (!target) {
            return;
        }
        const bool secure = g_ascii_strncasecmp(target.get(), "https://", 8) == 0;
        native::debugLog("redirect to %s%s", target.get(), secure ? "" : " (not https)");
        redirect_ = secure ? std::string(target.get()) : std::string();
    }

    // The source reports TLS failures and refused connections alike as a
    // generic stream error; one handshake of our own tells them apart. A
    // certificate that fails here will not pass on a retry either.
    void diagnose()
    {
        if (diagnosis_) {
            return;
        }
        halt();
        GRef<GSocketClient> client = adopt(g_socket_client_new());
        g_socket_client_set_tls(client.get(), TRUE);
        g_socket_client_set_timeout(client.get(), 10);
        diagnosis_ = adopt(g_cancellable_new());
        g_socket_client_connect_to_uri_async(client.get(), item_->url().string().c_str(), 443, diagnosis_.get(),
            &GstPlayer::onDiagnosed, new std::weak_ptr<GstPlayer*>(alive_));
    }

    static void onDiagnosed(GObject* source, GAsyncResult* result, gpointer data)
    {
        const std::unique_ptr<std::weak_ptr<GstPlayer*>> token(static_cast<std::weak_ptr<GstPlayer*>*>(data));
        GUnique<GError> error;
        GRef<GSocketConnection> connection
            = adopt(g_socket_client_connect_to_uri_finish(G_SOCKET_CLIENT(source), result, out(error)));
        const auto alive = token->lock();
        if (!alive || (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))) {
            return;
        }
        GstPlayer* self = *alive;
        self->diagnosis_.reset();
        const bool tlsFailure = error && error->domain == G_TLS_ERROR;
        native::debugLog(
            "diagnosis: %s -> %s", error ? error->message : "server reachable", tlsFailure ? "give up" : "retry");
        self->retry_->failed(tlsFailure ? Failure::Permanent : Failure::Transient);
    }

    void cancelDiagnosis()
    {
        if (diagnosis_) {
            g_cancellable_cancel(diagnosis_.get());
            diagnosis_.reset();
        }
    }

    void halt()
    {
        redirect_.reset();
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        running_ = false;
    }

    std::optional<std::int64_t> position() const
    {
        gint64 value = 0;
        if (running_ && gst_element_query_position(pipeline_.get(), GST_FORMAT_TIME, &value) && value >= 0) {
            return value;
        }
        return std::nullopt;
    }

    // How far back the live playlist reaches (its seekable range).
    std::chrono::nanoseconds liveWindow() const
    {
        std::unique_ptr<GstQuery, native::QueryUnref> query(gst_query_new_seeking(GST_FORMAT_TIME));
        gboolean seekable = FALSE;
        gint64 start = 0;
        gint64 end = 0;
        if (gst_element_query(pipeline_.get(), query.get())) {
            gst_query_parse_seeking(query.get(), nullptr, &seekable, &start, &end);
        }
        if (seekable && start >= 0 && end > start) {
            return std::chrono::nanoseconds(end - start);
        }
        return std::chrono::seconds(10);
    }

    // After a pause longer than the live window the paused position is gone
    // from the server; start again at the live edge instead of failing.
    bool pausedPastWindow() const { return pausedAt_ && std::chrono::steady_clock::now() - *pausedAt_ > window_; }

    std::shared_ptr<PlayerItem> item_;
    GstRef<GstElement> pipeline_;
    SourceHandle busWatch_;
    std::unique_ptr<RetryController> retry_;
    int wakeListener_ = 0;
    int restarts_ = 0;
    static constexpr int maxRedirects = 5;
    int redirects_ = 0;
    // Set between a 3xx answer and the source's failure: the https target,
    // or empty when the redirect leads elsewhere.
    std::optional<std::string> redirect_;
    GRef<GCancellable> diagnosis_;
    // Lets a pending diagnosis find out whether this player still exists.
    std::shared_ptr<GstPlayer*> alive_ = std::make_shared<GstPlayer*>(this);
    float rate_ = 0;
    bool running_ = false;
    std::optional<std::chrono::steady_clock::time_point> pausedAt_;
    std::chrono::nanoseconds window_ { 0 };
};

} // namespace

namespace native {

void preparePlayback()
{
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    gst_init(nullptr, nullptr);
    // Prefer faad (GPL, like this program) to libav's AAC decoder where it is
    // installed: first sound comes sooner and the process stays far smaller,
    // since libavcodec is never loaded (see bench/player).
    if (GstRef<GstPluginFeature> faad(gst_registry_lookup_feature(gst_registry_get(), "faad")); faad) {
        gst_plugin_feature_set_rank(faad.get(), GST_RANK_PRIMARY + 1);
    }
    // Load what a live AAC stream needs now rather than on the first click.
    for (const char* name : { "playback", "soup", "hls", "mpegtsdemux", "audioparsers", "faad", "autodetect",
             "pulseaudio", "audioconvert", "audioresample", "typefindfunctions", "volume" }) {
        GstRef<GstPlugin> plugin(gst_plugin_load_by_name(name));
    }
    const std::string extraCa = orvo::build::extraCaFile;
    if (!extraCa.empty()) {
        installExtraCa(extraCa);
    }
    // Loading the certificate store costs tens of milliseconds; the backend
    // keeps it once loaded.
    GRef<GTlsDatabase> database(g_tls_backend_get_default_database(g_tls_backend_get_default()));
    WakeSignals::instance();
}

void trustExtraCa(const std::string& pemFile)
{
    preparePlayback();
    installExtraCa(pemFile);
}

PlaybackStatus statusOf(const Player& player)
{
    const auto* ours = dynamic_cast<const GstPlayer*>(&player);
    return ours ? ours->status() : PlaybackStatus {};
}

GstElement* pipelineOf(const Player& player)
{
    const auto* ours = dynamic_cast<const GstPlayer*>(&player);
    return ours ? ours->pipeline() : nullptr;
}

} // namespace native

std::shared_ptr<PlayerItem> PlayerItem::create(const Url& url)
{
    return std::make_shared<Item>(url);
}

std::unique_ptr<Player> Player::create(std::shared_ptr<PlayerItem> item)
{
    return std::make_unique<GstPlayer>(std::move(item));
}

} // namespace orvo::platform
