// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/net/HttpsFetch.h"

#include "platform/BuildConfig.h"
#include "platform/linux/core/GLibPtr.h"

#include <libsoup/soup.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace orvo::platform::native {
namespace {

using namespace glib;

using UriPtr = GUnique<GUri>;

constexpr int maxRedirects = 5;
// Sends handed to libsoup at once per host; further ones wait in our own
// queue, which a released request simply leaves. libsoup's queue would keep
// every message, a cancelled one too, until a connection frees up, and walks
// all of it at each finished send: after a burst of channel changes it went
// on sending superseded requests for a minute. Released sends that libsoup
// still finishes count apart, up to as many again (the session's limit).
constexpr int sendsPerHost = 4;
constexpr auto uriFlags = static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS);
constexpr gsize readSize = 64 * 1024;

// The combined bundle of the system store and the extra CA, in a memory file
// held open for the life of the process: g_tls_file_database_new() takes a
// path, and a backend may read the file again later.
bool installExtraCa(const std::string& pemFile)
{
    GUnique<char> extra;
    gsize extraLength = 0;
    GUnique<GError> error;
    if (!g_file_get_contents(pemFile.c_str(), out(extra), &extraLength, out(error))) {
        g_warning("extra CA file not readable, using the system store only: %s", error->message);
        return false;
    }
    std::string combined;
    GUnique<char> system;
    gsize systemLength = 0;
    if (g_file_get_contents("/etc/ssl/certs/ca-certificates.crt", out(system), &systemLength, nullptr)) {
        combined.assign(system.get(), systemLength);
        combined += '\n';
    }
    combined.append(extra.get(), extraLength);

    UniqueFd bundle(memfd_create("orvomenu-ca", MFD_CLOEXEC));
    const int fd = bundle.get();
    if (!bundle) {
        g_warning("cannot hold the combined CA bundle; using the system store only");
        return false;
    }
    std::size_t done = 0;
    while (done < combined.size()) {
        const ssize_t n = write(fd, combined.data() + done, combined.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    GRef<GTlsDatabase> database;
    if (done == combined.size()) {
        database = adopt(g_tls_file_database_new(path.c_str(), out(error)));
    }
    if (!database) {
        g_warning("extra CA bundle rejected; using the system store only: %s", error ? error->message : "write failed");
        return false;
    }
    // Earlier bundles stay open too: connections made with them may remain.
    static std::vector<UniqueFd> bundles;
    static std::mutex bundlesLock;
    std::lock_guard lock(bundlesLock);
    bundles.push_back(std::move(bundle));
    g_tls_backend_set_default_database(g_tls_backend_get_default(), database.get());
    return true;
}

SoupSession* sharedSession()
{
    static SoupSession* session = [] {
        loadCertificateStore();
        const std::string userAgent = std::string("OrvoMenu/") + build::version;
        // The session lives as long as the process: its idle connections are
        // what makes the next request fast.
        return soup_session_new_with_options("user-agent", userAgent.c_str(), "timeout", silenceTimeoutSeconds,
            "idle-timeout", 60u, "max-conns-per-host", 2 * sendsPerHost, nullptr);
    }();
    return session;
}

FetchFailure failureFrom(const GError* error)
{
    FetchFailure failure;
    failure.message = error ? error->message : "unknown error";
    if (error && error->domain == G_TLS_ERROR) {
        failure.kind = FetchFailure::Kind::Certificate;
    }
    return failure;
}

class Fetch final : public HttpsFetch {
public:
    Fetch(FetchRequest request, OnBody onBody, OnDone onDone)
        : state_(std::make_shared<State>())
    {
        state_->request = std::move(request);
        state_->onBody = std::move(onBody);
        state_->onDone = std::move(onDone);
    }

    ~Fetch() override
    {
        // Pending calls complete with G_IO_ERROR_CANCELLED and find the state
        // dead. A send is cancelled only while its answer has not begun:
        // libsoup 3.4 to 3.6.5 (Debian 13 has 3.6.5) finish a message twice
        // when a cancel meets an answer that has just arrived, and read freed
        // memory in soup_session_send_finish (fixed in 3.6.6). An answered
        // send ends at once by itself; its body is never read.
        state_->dead = true;
        g_cancellable_cancel(state_->cancellable.get());
        if (state_->host.empty()) {
            return; // never sent
        }
        HostQueue& queue = queueOf(state_->host);
        if (state_->waiting) {
            std::erase(queue.waiting, state_);
        } else if (state_->sending) {
            --queue.live;
            ++queue.released;
            state_->releasedSend = true;
            if (!state_->answered) {
                g_cancellable_cancel(state_->sendCancellable.get());
            }
        }
    }

    void begin()
    {
        UriPtr uri(g_uri_parse(state_->request.uri.c_str(), uriFlags, nullptr));
        const auto& range = state_->request.range;
        std::optional<FetchFailure> refused;
        if (range && (range->second == 0 || range->second > state_->request.maxBytes)) {
            refused = FetchFailure { FetchFailure::Kind::TooLarge, 0, "range out of bounds" };
        } else {
            refused = send(state_, std::move(uri));
        }
        if (refused) {
            // Reported from the main loop, as every other outcome is, never
            // before start() has returned.
            state_->failure = std::move(refused);
            g_idle_add_full(G_PRIORITY_DEFAULT, &Fetch::onRefused, new StateRef(state_), nullptr);
        }
    }

private:
    struct State {
        FetchRequest request;
        OnBody onBody;
        OnDone onDone;
        GRef<GCancellable> cancellable = adopt(g_cancellable_new()); // body reads
        GRef<GCancellable> sendCancellable;
        GRef<SoupMessage> message;
        std::string host; // host:port, the queue the sends wait in
        bool waiting = false; // in that queue, not yet handed to libsoup
        bool sending = false; // handed to libsoup, not finished yet
        bool releasedSend = false; // released while sending: counts as such
        bool answered = false; // the current send's response headers have come
        GRef<GInputStream> body;
        int redirects = 0;
        // Bytes of the response still to skip or to hand on, for a range the
        // server answered with the whole resource.
        std::uint64_t skip = 0;
        std::uint64_t remaining = 0;
        std::size_t received = 0;
        std::optional<std::uint64_t> announced; // Content-Length, when given
        std::string finalUri;
        std::optional<FetchFailure> failure;
        bool dead = false;
    };
    using StateRef = std::shared_ptr<State>;

    static gboolean onRefused(gpointer data)
    {
        if (const StateRef state = take(data)) {
            finish(state, state->failure);
        }
        return G_SOURCE_REMOVE;
    }

    // Sends the request for uri, or says why it may not be sent.
    static std::optional<FetchFailure> send(const StateRef& state, UriPtr uri)
    {
        if (!uri || g_strcmp0(g_uri_get_scheme(uri.get()), "https") != 0 || !g_uri_get_host(uri.get())) {
            return FetchFailure { FetchFailure::Kind::Insecure, 0, "not an https address" };
        }
        GUnique<char> text(g_uri_to_string(uri.get()));
        state->finalUri = text.get();
        state->message = adopt(soup_message_new_from_uri("GET", uri.get()));
        soup_message_add_flags(state->message.get(), SOUP_MESSAGE_NO_REDIRECT);
        if (!state->request.text) {
            soup_message_disable_feature(state->message.get(), SOUP_TYPE_CONTENT_DECODER);
            soup_message_headers_replace(
                soup_message_get_request_headers(state->message.get()), "Accept-Encoding", "identity");
        }
        if (state->request.range) {
            const auto [offset, length] = *state->request.range;
            soup_message_headers_set_range(soup_message_get_request_headers(state->message.get()),
                static_cast<goffset>(offset), static_cast<goffset>(offset + length - 1));
        }
        state->host = std::string(g_uri_get_host(uri.get())) + ":" + std::to_string(g_uri_get_port(uri.get()));
        HostQueue& queue = queueOf(state->host);
        if (queue.live < sendsPerHost && queue.live + queue.released < 2 * sendsPerHost) {
            startSend(state, queue);
        } else {
            state->waiting = true;
            queue.waiting.push_back(state);
        }
        return std::nullopt;
    }

    struct HostQueue {
        int live = 0; // sends of requests still wanted, handed to libsoup
        int released = 0; // sends libsoup finishes for released requests
        std::deque<StateRef> waiting;
    };

    static HostQueue& queueOf(const std::string& host)
    {
        static auto* queues = new std::map<std::string, HostQueue>(); // lives until the process ends
        return (*queues)[host];
    }

    static void startSend(const StateRef& state, HostQueue& queue)
    {
        ++queue.live;
        state->waiting = false;
        state->sending = true;
        state->answered = false;
        state->sendCancellable = adopt(g_cancellable_new());
        g_debug("GET %s", state->finalUri.c_str());
        g_signal_connect(state->message.get(), "got-headers",
            G_CALLBACK(+[](SoupMessage*, gpointer answered) { *static_cast<bool*>(answered) = true; }),
            &state->answered);
        soup_session_send_async(sharedSession(), state->message.get(), G_PRIORITY_DEFAULT, state->sendCancellable.get(),
            &Fetch::onSent, new StateRef(state));
    }

    // A send has finished, whatever its outcome: the next one waiting for
    // the host may go.
    static void sendEnded(const std::string& host, bool released)
    {
        HostQueue& queue = queueOf(host);
        --(released ? queue.released : queue.live);
        if (!queue.waiting.empty() && queue.live < sendsPerHost && queue.live + queue.released < 2 * sendsPerHost) {
            const StateRef next = queue.waiting.front();
            queue.waiting.pop_front();
            startSend(next, queue);
        }
    }

    // Takes back the state handed to an asynchronous call; null once the
    // request was cancelled.
    static StateRef take(gpointer data)
    {
        std::unique_ptr<StateRef> held(static_cast<StateRef*>(data));
        return (*held)->dead ? nullptr : *held;
    }

    static void onSent(GObject* source, GAsyncResult* result, gpointer data)
    {
        GUnique<GError> error;
        auto stream = adopt(soup_session_send_finish(SOUP_SESSION(source), result, out(error)));
        const std::unique_ptr<StateRef> sent(static_cast<StateRef*>(data));
        State& ended = **sent;
        g_signal_handlers_disconnect_by_data(ended.message.get(), &ended.answered);
        ended.sending = false;
        sendEnded(ended.host, std::exchange(ended.releasedSend, false));
        const StateRef state = ended.dead ? nullptr : *sent;
        if (!state) {
            return;
        }
        if (!stream) {
            finish(state, failureFrom(error.get()));
            return;
        }
        SoupMessage* message = state->message.get();
        const guint status = soup_message_get_status(message);
        SoupMessageHeaders* headers = soup_message_get_response_headers(message);
        if (SOUP_STATUS_IS_REDIRECTION(status)) {
            const char* location = soup_message_headers_get_one(headers, "Location");
            if (++state->redirects > maxRedirects) {
                finish(state, FetchFailure { FetchFailure::Kind::TooManyRedirects, status, "too many redirects" });
                return;
            }
            UriPtr next(
                location ? g_uri_parse_relative(soup_message_get_uri(message), location, uriFlags, nullptr) : nullptr);
            if (auto refused = send(state, std::move(next))) {
                finish(state, refused);
            }
            return;
        }
        if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
            finish(state, FetchFailure { FetchFailure::Kind::Status, status, soup_message_get_reason_phrase(message) });
            return;
        }
        const FetchRequest& request = state->request;
        state->remaining = request.maxBytes + 1ull;
        if (request.range) {
            // A server without ranges sends the whole resource: cut it here.
            state->skip = status == SOUP_STATUS_PARTIAL_CONTENT ? 0 : request.range->first;
            state->remaining = request.range->second;
        }
        const goffset announced = soup_message_headers_get_content_length(headers);
        if (announced > 0 && static_cast<std::uint64_t>(announced) > state->skip + request.maxBytes) {
            finish(state, FetchFailure { FetchFailure::Kind::TooLarge, status, "body too large" });
            return;
        }
        if (announced >= 0 && !request.range) {
            state->announced = static_cast<std::uint64_t>(announced);
        }
        state->body = std::move(stream);
        readMore(state);
    }

    static void readMore(const StateRef& state)
    {
        g_input_stream_read_bytes_async(state->body.get(), readSize, G_PRIORITY_DEFAULT, state->cancellable.get(),
            &Fetch::onRead, new StateRef(state));
    }

    static void onRead(GObject* source, GAsyncResult* result, gpointer data)
    {
        GUnique<GError> error;
        GUnique<GBytes> bytes(g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, out(error)));
        const StateRef state = take(data);
        if (!state) {
            return;
        }
        if (!bytes) {
            finish(state, failureFrom(error.get()));
            return;
        }
        gsize size = g_bytes_get_size(bytes.get());
        if (size == 0) {
            // A connection closed early can look like the end of the body.
            if ((state->request.range && state->remaining > 0)
                || (state->announced && state->received < *state->announced)) {
                finish(state, FetchFailure { FetchFailure::Kind::Network, 0, "body cut short" });
            } else {
                finish(state, std::nullopt);
            }
            return;
        }
        gsize from = 0;
        if (state->skip > 0) {
            from = static_cast<gsize>(std::min<std::uint64_t>(state->skip, size));
            state->skip -= from;
        }
        const gsize take = static_cast<gsize>(std::min<std::uint64_t>(size - from, state->remaining));
        state->remaining -= take;
        state->received += take;
        if (!state->request.range && state->received > state->request.maxBytes) {
            finish(state, FetchFailure { FetchFailure::Kind::TooLarge, 0, "body too large" });
            return;
        }
        if (take > 0) {
            GUnique<GBytes> piece(
                take == size ? g_bytes_ref(bytes.get()) : g_bytes_new_from_bytes(bytes.get(), from, take));
            state->onBody(piece.get());
            if (state->dead) {
                return; // the body's receiver released the request
            }
        }
        if (state->request.range && state->remaining == 0) {
            finish(state, std::nullopt);
            return;
        }
        readMore(state);
    }

    static void finish(const StateRef& state, const std::optional<FetchFailure>& failure)
    {
        state->body.reset();
        state->message.reset();
        state->dead = true;
        // The callback may destroy the Fetch; nothing of it is touched after.
        const auto onDone = std::move(state->onDone);
        onDone(failure, state->finalUri);
    }

    StateRef state_;
};

} // namespace

bool trustExtraCa(const std::string& pemFile)
{
    // After the build's own choice, which would otherwise replace this one.
    loadCertificateStore();
    return installExtraCa(pemFile);
}

void loadCertificateStore()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (*build::extraCaFile) {
            installExtraCa(build::extraCaFile);
        }
        // Loading the system store costs tens of milliseconds; the backend
        // keeps it once loaded.
        GRef<GTlsDatabase> database(g_tls_backend_get_default_database(g_tls_backend_get_default()));
    });
}

void prepareRequestsTo(const std::string& address)
{
    loadCertificateStore();
    UriPtr uri(g_uri_parse(address.c_str(), uriFlags, nullptr));
    if (!uri || !g_uri_get_host(uri.get())) {
        return;
    }
    // Both load modules and read configuration on first use: tens of
    // milliseconds that a first click would otherwise wait for.
    GUnique<char*> proxies(g_proxy_resolver_lookup(g_proxy_resolver_get_default(), address.c_str(), nullptr, nullptr));
    if (GList* found
        = g_resolver_lookup_by_name(g_resolver_get_default(), g_uri_get_host(uri.get()), nullptr, nullptr)) {
        g_resolver_free_addresses(found);
    }
}

void preconnect(const std::string& address)
{
    UriPtr uri(g_uri_parse(address.c_str(), uriFlags, nullptr));
    if (!uri || g_strcmp0(g_uri_get_scheme(uri.get()), "https") != 0) {
        return;
    }
    GRef<SoupMessage> message = adopt(soup_message_new_from_uri("HEAD", uri.get()));
    soup_session_preconnect_async(
        sharedSession(), message.get(), G_PRIORITY_LOW, nullptr,
        [](GObject* session, GAsyncResult* result, gpointer) {
            // A failure here is met again, and reported, by the request itself.
            soup_session_preconnect_finish(SOUP_SESSION(session), result, nullptr);
        },
        nullptr);
}

std::unique_ptr<HttpsFetch> HttpsFetch::start(FetchRequest request, OnBody onBody, OnDone onDone)
{
    auto fetch = std::make_unique<Fetch>(std::move(request), std::move(onBody), std::move(onDone));
    fetch->begin();
    return fetch;
}

} // namespace orvo::platform::native
