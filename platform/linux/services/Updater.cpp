// SPDX-License-Identifier: GPL-3.0-or-later
// Update checks against an appcast (RSS 2.0 with versioned enclosures) served
// over HTTPS. Results reach the user as desktop notifications; a newer
// version carries its link as an action. Everything runs on the main loop:
// the feed is fetched with libsoup's asynchronous calls, and automatic checks
// (off unless the user turns them on) wake the loop once per due check only.
#include "platform/Updater.h"
#include "platform/BuildConfig.h"
#include "platform/Localization.h"
#include "platform/UserDefaults.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/WakeSignals.h"
#include "platform/linux/services/Services.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <vector>

namespace orvo::platform {
namespace native {
namespace {

struct TestHooks {
    std::string feedUrl;
    std::string caFile;
    std::optional<std::chrono::milliseconds> timeout;
    std::function<void(const std::string&)> launcher;
};

TestHooks& hooks()
{
    static TestHooks* h = new TestHooks();
    return *h;
}

// --- Versions ---

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct ParsedVersion {
    std::vector<std::string_view> release; // runs of digits: 1.10.2 → 1, 10, 2
    std::vector<std::string_view> tag; // pre-release runs: -beta.2 → beta, 2
};

ParsedVersion parseVersion(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.front())) {
        text.remove_prefix(1);
    }
    if (text.size() > 1 && (text[0] == 'v' || text[0] == 'V') && isDigit(text[1])) {
        text.remove_prefix(1);
    }
    // Build metadata after '+' does not order versions.
    text = text.substr(0, text.find('+'));

    ParsedVersion version;
    std::size_t i = 0;
    while (i < text.size() && isDigit(text[i])) {
        const std::size_t start = i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        version.release.push_back(text.substr(start, i - start));
        if (i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    while (i < text.size()) {
        const std::size_t start = i;
        if (isDigit(text[i])) {
            while (i < text.size() && isDigit(text[i])) {
                ++i;
            }
        } else if (isAlpha(text[i])) {
            while (i < text.size() && isAlpha(text[i])) {
                ++i;
            }
        } else {
            ++i; // a separator: '-', '.', '_', '~', …
            continue;
        }
        version.tag.push_back(text.substr(start, i - start));
    }
    return version;
}

// Digit runs of any length, without overflow.
int compareNumbers(std::string_view a, std::string_view b)
{
    while (a.size() > 1 && a.front() == '0') {
        a.remove_prefix(1);
    }
    while (b.size() > 1 && b.front() == '0') {
        b.remove_prefix(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    const int c = a.compare(b);
    return (c > 0) - (c < 0);
}

int compareWords(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = g_ascii_tolower(a[i]);
        const int y = g_ascii_tolower(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

int compareVersions(std::string_view a, std::string_view b)
{
    const ParsedVersion x = parseVersion(a);
    const ParsedVersion y = parseVersion(b);
    const std::size_t parts = std::max(x.release.size(), y.release.size());
    for (std::size_t i = 0; i < parts; ++i) {
        const std::string_view p = i < x.release.size() ? x.release[i] : "0";
        const std::string_view q = i < y.release.size() ? y.release[i] : "0";
        if (const int c = compareNumbers(p, q)) {
            return c;
        }
    }
    // A release ranks above any of its pre-releases.
    if (x.tag.empty() || y.tag.empty()) {
        return x.tag.empty() == y.tag.empty() ? 0 : (x.tag.empty() ? 1 : -1);
    }
    const std::size_t tokens = std::min(x.tag.size(), y.tag.size());
    for (std::size_t i = 0; i < tokens; ++i) {
        const bool pn = isDigit(x.tag[i].front());
        const bool qn = isDigit(y.tag[i].front());
        int c = 0;
        if (pn && qn) {
            c = compareNumbers(x.tag[i], y.tag[i]);
        } else if (!pn && !qn) {
            c = compareWords(x.tag[i], y.tag[i]); // alpha < beta < rc
        } else {
            c = pn ? -1 : 1;
        }
        if (c) {
            return c;
        }
    }
    return x.tag.size() == y.tag.size() ? 0 : (x.tag.size() < y.tag.size() ? -1 : 1);
}

// --- Appcast ---

namespace {

struct MarkupContextFree {
    void operator()(GMarkupParseContext* context) const { g_markup_parse_context_free(context); }
};

std::string_view localName(std::string_view name)
{
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string trimmed(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && g_ascii_isspace(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// Reads what matters of each <item> and ignores the rest: unknown elements,
// attributes and namespaces are skipped, items without a version are passed
// over. Nesting is bounded so that a hostile feed cannot grow the state.
struct AppcastReader {
    static constexpr int maxDepth = 64;
    static constexpr std::size_t maxText = 4096;

    int depth = 0;
    int itemDepth = 0; // depth of the open <item>, 0 outside one
    std::string text;
    std::string elementVersion, elementShortVersion, enclosureVersion, enclosureShortVersion, enclosureUrl, link;
    std::optional<AppcastItem> newest;

    void beginItem()
    {
        itemDepth = depth;
        elementVersion.clear();
        elementShortVersion.clear();
        enclosureVersion.clear();
        enclosureShortVersion.clear();
        enclosureUrl.clear();
        link.clear();
    }

    void endItem()
    {
        itemDepth = 0;
        AppcastItem item;
        // The short version string is the one people read and the one our own
        // version resembles; a bare version may be a build number.
        for (const std::string* candidate :
            { &enclosureShortVersion, &elementShortVersion, &enclosureVersion, &elementVersion }) {
            if (!candidate->empty()) {
                item.version = *candidate;
                break;
            }
        }
        const std::string_view v = item.version;
        const bool usable
            = !v.empty() && (isDigit(v[0]) || (v.size() > 1 && (v[0] == 'v' || v[0] == 'V') && isDigit(v[1])));
        if (!usable) {
            return;
        }
        item.displayVersion = item.version;
        item.link = !enclosureUrl.empty() ? enclosureUrl : link;
        if (!newest || compareVersions(item.version, newest->version) > 0) {
            newest = std::move(item);
        }
    }

    static void onStart(GMarkupParseContext*, const char* name, const char** attributeNames,
        const char** attributeValues, gpointer data, GError** error)
    {
        auto* self = static_cast<AppcastReader*>(data);
        if (++self->depth > maxDepth) {
            g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "nested too deeply");
            return;
        }
        self->text.clear();
        const std::string_view local = localName(name);
        if (local == "item" && !self->itemDepth) {
            self->beginItem();
            return;
        }
        if (!self->itemDepth || local != "enclosure") {
            return;
        }
        for (int i = 0; attributeNames[i]; ++i) {
            const std::string_view attribute = attributeNames[i];
            const std::string_view attributeLocal = localName(attribute);
            if (attribute == "url") {
                self->enclosureUrl = trimmed(attributeValues[i]);
            } else if (attributeLocal == "shortVersionString" && attribute != attributeLocal) {
                self->enclosureShortVersion = trimmed(attributeValues[i]);
            } else if (attributeLocal == "version" && attribute != attributeLocal) {
                self->enclosureVersion = trimmed(attributeValues[i]);
            }
        }
    }

    static void onEnd(GMarkupParseContext*, const char* name, gpointer data, GError**)
    {
        auto* self = static_cast<AppcastReader*>(data);
        const std::string_view local = localName(name);
        if (self->itemDepth && self->depth == self->itemDepth) {
            self->endItem();
        } else if (self->itemDepth && self->depth == self->itemDepth + 1) {
            if (local == "version") {
                self->elementVersion = trimmed(self->text);
            } else if (local == "shortVersionString") {
                self->elementShortVersion = trimmed(self->text);
            } else if (local == "link") {
                self->link = trimmed(self->text);
            }
        }
        self->text.clear();
        --self->depth;
    }

    static void onText(GMarkupParseContext*, const char* text, gsize length, gpointer data, GError**)
    {
        auto* self = static_cast<AppcastReader*>(data);
        if (self->itemDepth && self->text.size() < maxText) {
            self->text.append(text, std::min<gsize>(length, maxText - self->text.size()));
        }
    }
};

} // namespace

std::optional<AppcastItem> newestAppcastItem(std::string_view xml)
{
    static const GMarkupParser parser
        = { &AppcastReader::onStart, &AppcastReader::onEnd, &AppcastReader::onText, nullptr, nullptr };
    AppcastReader reader;
    std::unique_ptr<GMarkupParseContext, MarkupContextFree> context(
        g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &reader, nullptr));
    if (!g_markup_parse_context_parse(context.get(), xml.data(), static_cast<gssize>(xml.size()), nullptr)
        || !g_markup_parse_context_end_parse(context.get(), nullptr)) {
        return std::nullopt;
    }
    return reader.newest;
}

void setUpdateFeedForTesting(std::string url)
{
    hooks().feedUrl = std::move(url);
}

void setUpdateCaFileForTesting(std::string absolutePath)
{
    hooks().caFile = std::move(absolutePath);
}

void setUpdateTimeoutForTesting(std::chrono::milliseconds timeout)
{
    hooks().timeout = timeout;
}

void setUriLauncherForTesting(std::function<void(const std::string&)> launcher)
{
    hooks().launcher = std::move(launcher);
}

} // namespace native

namespace {

constexpr std::size_t maxFeedBytes = 1024 * 1024;
constexpr gsize readChunk = 64 * 1024;
constexpr int maxRedirects = 5;
constexpr auto httpUriFlags = static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS);
constexpr std::chrono::milliseconds checkTimeout { 30000 };
constexpr double checkInterval = 24 * 60 * 60;
// An overdue check waits a moment after start-up, so that loading the
// certificate store and connecting stay out of the way of the first stream.
constexpr double startUpGrace = 5;
// A failed automatic check is tried again after a minute, then after twice as
// long each time up to an hour, and at once when the network comes back.
constexpr double firstRetry = 60;
constexpr double longestRetry = 60 * 60;
constexpr const char* automaticKey = "automaticallyChecksForUpdates";
constexpr const char* lastCheckKey = "lastUpdateCheck";
constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";

enum class Failure { NoConnection, TimedOut, BadCertificate, NotFound, Unreadable, Insecure };

// The catalogue key of what went wrong.
const char* describe(Failure failure)
{
    switch (failure) {
    case Failure::NoConnection:
        return "update_no_connection";
    case Failure::TimedOut:
        return "update_timed_out";
    case Failure::BadCertificate:
        return "update_bad_certificate";
    case Failure::NotFound:
        return "update_not_found";
    case Failure::Unreadable:
        return "update_unreadable";
    case Failure::Insecure:
        return "update_insecure";
    }
    return "update_unreadable";
}

// A text of the catalogue with its {version} filled in.
std::string text(const char* key, std::string_view version = {})
{
    std::string result = localizedString(key);
    if (const auto at = result.find("{version}"); at != std::string::npos) {
        result.replace(at, std::string_view("{version}").size(), version);
    }
    return result;
}

double nowSeconds()
{
    return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC;
}

struct UriUnref {
    void operator()(GUri* uri) const { g_uri_unref(uri); }
};
using UriPtr = std::unique_ptr<GUri, UriUnref>;

bool isHttps(GUri* uri)
{
    return uri && g_ascii_strcasecmp(g_uri_get_scheme(uri), "https") == 0;
}

// Only https links are handed to the desktop: a feed must not be able to
// start an arbitrary URI handler, nor send the user to a download that
// anyone on the way can replace.
bool isDownloadLink(const std::string& link)
{
    UriPtr uri(g_uri_parse(link.c_str(), G_URI_FLAGS_NONE, nullptr));
    return isHttps(uri.get());
}

class FeedUpdater;

// One check: its own session (so no idle connection or its timer outlives
// the check), the message under way, the body read so far and the deadline.
struct Check {
    glib::GRef<SoupSession> session; // declared first: released last
    std::weak_ptr<FeedUpdater> owner;
    bool userInitiated = false;
    glib::GRef<GCancellable> cancellable { g_cancellable_new() };
    glib::GRef<SoupMessage> message;
    glib::GRef<GInputStream> body;
    std::string data;
    int redirects = 0;
    bool timedOut = false;
    glib::SourceHandle deadline;
};

using CheckRef = std::shared_ptr<Check>;

class FeedUpdater final : public UpdaterController, public std::enable_shared_from_this<FeedUpdater> {
public:
    ~FeedUpdater() override
    {
        if (running_) {
            g_cancellable_cancel(running_->cancellable.get());
        }
        if (subscription_) {
            g_dbus_connection_signal_unsubscribe(native::sessionBus(), subscription_);
        }
        if (wakeListener_) {
            native::WakeSignals::instance().remove(wakeListener_);
        }
    }

    bool respondsToSelector(const Selector& selector) const override { return selector == "checkForUpdates:"; }

    void performSelector(const Selector& selector, MenuItem*) override
    {
        if (selector == "checkForUpdates:") {
            beginCheck(true);
        }
    }

    void start()
    {
        wakeListener_ = native::WakeSignals::instance().add([this] { networkBack(); });
        scheduleAutomaticCheck();
    }

    std::optional<native::UpdateWakeUp> wakeUp() const
    {
        if (!wakeUp_) {
            return std::nullopt;
        }
        return native::UpdateWakeUp { wakeUpId_, wakeUpDue_ };
    }

    void fireWakeUp()
    {
        if (wakeUp_) {
            wakeUp_.reset();
            wokeUp(true);
        }
    }

    bool checking() const { return running_ != nullptr; }

private:
    // --- Automatic checks ---

    static bool automaticChecksEnabled()
    {
        const auto value = UserDefaults::standardUserDefaults().objectForKey(automaticKey);
        return value && value->kind() == Value::Kind::Boolean && value->asBoolean();
    }

    // Arms the one wake-up for the next due check, or none when automatic
    // checks are off. No timer runs between checks other than this one.
    void scheduleAutomaticCheck()
    {
        wakeUp_.reset();
        if (!automaticChecksEnabled()) {
            return;
        }
        const double now = nowSeconds();
        double due = now + startUpGrace;
        const auto last = UserDefaults::standardUserDefaults().objectForKey(lastCheckKey);
        if (failures_) {
            due = std::max(retryDue_, now);
        } else if (last && last->kind() == Value::Kind::Number && std::isfinite(last->asNumber())) {
            // A time in the future means the clock was set back: count from now.
            due = std::max(std::min(last->asNumber(), now) + checkInterval, due);
        }
        const auto delay = static_cast<guint>(std::ceil(due - now));
        wakeUpDue_ = due;
        wakeUpId_ = g_timeout_add_seconds(delay, &FeedUpdater::onWakeUp, this);
        wakeUp_ = glib::SourceHandle(wakeUpId_);
    }

    static gboolean onWakeUp(gpointer data)
    {
        auto* self = static_cast<FeedUpdater*>(data);
        self->wakeUp_.forget();
        self->wokeUp(false);
        return G_SOURCE_REMOVE;
    }

    void wokeUp(bool due)
    {
        if (!automaticChecksEnabled()) {
            return; // turned off meanwhile: stay asleep
        }
        // The monotonic timer may have drifted from the wall clock (suspend,
        // clock changes): only check when the check is really due.
        if (!due && nowSeconds() + 1 < wakeUpDue_) {
            scheduleAutomaticCheck();
            return;
        }
        if (!running_) {
            beginCheck(false);
        } // else the running check re-arms when it ends
    }

    void networkBack()
    {
        if (failures_ && !running_ && automaticChecksEnabled()) {
            wakeUp_.reset();
            beginCheck(false);
        }
    }

    // --- Fetching the feed ---

    void beginCheck(bool userInitiated)
    {
        if (running_) {
            return; // one check at a time; the second request is ignored
        }
        auto check = std::make_shared<Check>();
        check->owner = weak_from_this();
        check->userInitiated = userInitiated;
        running_ = check;

        const std::string userAgent = std::string("OrvoMenu/") + build::version;
        check->session = glib::adopt(soup_session_new_with_options("user-agent", userAgent.c_str(), nullptr));
        const std::string& caFile = native::hooks().caFile;
        if (!caFile.empty()) {
            glib::GUnique<GError> error;
            auto database = glib::adopt(g_tls_file_database_new(caFile.c_str(), glib::out(error)));
            if (database) {
                g_object_set(check->session.get(), "tls-database", database.get(), nullptr);
            }
        }
        const auto timeout = native::hooks().timeout.value_or(checkTimeout);
        check->deadline = glib::SourceHandle(
            g_timeout_add(static_cast<guint>(timeout.count()), &FeedUpdater::onDeadline, check.get()));

        const std::string& configured = native::hooks().feedUrl;
        UriPtr uri(g_uri_parse(configured.empty() ? build::appcastUrl : configured.c_str(), httpUriFlags, nullptr));
        if (!uri) {
            finish(check, Failure::NotFound);
            return;
        }
        request(check, uri.get());
    }

    static gboolean onDeadline(gpointer data)
    {
        auto* check = static_cast<Check*>(data);
        check->deadline.forget();
        check->timedOut = true;
        // The pending call ends with G_IO_ERROR_CANCELLED and reports the timeout.
        g_cancellable_cancel(check->cancellable.get());
        return G_SOURCE_REMOVE;
    }

    void request(const CheckRef& check, GUri* uri)
    {
        // Redirects are followed here, not by libsoup, so that one to plain
        // HTTP is refused before anything is sent there.
        if (!isHttps(uri)) {
            finish(check, Failure::Insecure);
            return;
        }
        check->message = glib::adopt(soup_message_new_from_uri("GET", uri));
        soup_message_set_flags(check->message.get(), SOUP_MESSAGE_NO_REDIRECT);
        soup_message_headers_replace(soup_message_get_request_headers(check->message.get()), "Accept",
            "application/rss+xml, application/xml, text/xml");
        soup_session_send_async(check->session.get(), check->message.get(), G_PRIORITY_DEFAULT,
            check->cancellable.get(), &FeedUpdater::onSent, new CheckRef(check));
    }

    // Takes back the check handed to an asynchronous call; returns its owner
    // when the check is still the one under way.
    static std::shared_ptr<FeedUpdater> resume(gpointer data, CheckRef& check)
    {
        std::unique_ptr<CheckRef> held(static_cast<CheckRef*>(data));
        check = *held;
        auto owner = check->owner.lock();
        if (!owner || owner->running_ != check) {
            return nullptr;
        }
        return owner;
    }

    static Failure classify(const GError* error)
    {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)
            || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
            return Failure::TimedOut;
        }
        if (error && error->domain == G_TLS_ERROR) {
            return Failure::BadCertificate;
        }
        return Failure::NoConnection;
    }

    static void onSent(GObject* source, GAsyncResult* result, gpointer data)
    {
        CheckRef check;
        glib::GUnique<GError> error;
        auto stream = glib::adopt(soup_session_send_finish(SOUP_SESSION(source), result, glib::out(error)));
        auto self = resume(data, check);
        if (!self) {
            return;
        }
        if (!stream) {
            self->finish(check, classify(error.get()));
            return;
        }
        SoupMessage* message = check->message.get();
        const guint status = soup_message_get_status(message);
        SoupMessageHeaders* headers = soup_message_get_response_headers(message);
        if (SOUP_STATUS_IS_REDIRECTION(status)) {
            const char* location = soup_message_headers_get_one(headers, "Location");
            UriPtr next(location ? g_uri_parse_relative(soup_message_get_uri(message), location, httpUriFlags, nullptr)
                                 : nullptr);
            if (!next || ++check->redirects > maxRedirects) {
                self->finish(check, Failure::Unreadable);
            } else {
                self->request(check, next.get());
            }
            return;
        }
        if (status == SOUP_STATUS_NOT_FOUND || status == SOUP_STATUS_GONE) {
            self->finish(check, Failure::NotFound);
            return;
        }
        if (!SOUP_STATUS_IS_SUCCESSFUL(status)
            || soup_message_headers_get_content_length(headers) > static_cast<goffset>(maxFeedBytes)) {
            self->finish(check, Failure::Unreadable);
            return;
        }
        check->body = std::move(stream);
        self->readMore(check);
    }

    void readMore(const CheckRef& check)
    {
        g_input_stream_read_bytes_async(check->body.get(), readChunk, G_PRIORITY_DEFAULT, check->cancellable.get(),
            &FeedUpdater::onRead, new CheckRef(check));
    }

    static void onRead(GObject* source, GAsyncResult* result, gpointer data)
    {
        CheckRef check;
        glib::GUnique<GError> error;
        glib::GUnique<GBytes> bytes(g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, glib::out(error)));
        auto self = resume(data, check);
        if (!self) {
            return;
        }
        if (!bytes) {
            self->finish(check, classify(error.get()));
            return;
        }
        gsize size = 0;
        const auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
        if (size == 0) {
            self->finishWithFeed(check);
            return;
        }
        if (check->data.size() + size > maxFeedBytes) {
            self->finish(check, Failure::Unreadable); // far larger than any feed: stop reading
            return;
        }
        check->data.append(chunk, size);
        self->readMore(check);
    }

    void finishWithFeed(const CheckRef& check)
    {
        const auto newest = native::newestAppcastItem(check->data);
        if (!newest) {
            finish(check, Failure::Unreadable);
            return;
        }
        check->data.clear();
        endCheck(check, true);
        if (native::compareVersions(newest->version, build::version) > 0) {
            const std::string link = isDownloadLink(newest->link) ? newest->link : std::string();
            notify(text("update_available", newest->displayVersion), text("update_installed", build::version), link);
        } else if (check->userInitiated) {
            notify(text("update_none"), text("update_newest", build::version), {});
        }
    }

    void finish(const CheckRef& check, Failure failure)
    {
        endCheck(check, false);
        if (check->userInitiated) {
            notify(text("update_failed"), text(describe(failure)), {});
        }
    }

    // Common end of every check: release the connection, remember when a
    // check last succeeded (or when to retry a failed automatic one) and arm
    // the next automatic check.
    void endCheck(const CheckRef& check, bool succeeded)
    {
        running_.reset();
        check->deadline.reset();
        g_cancellable_cancel(check->cancellable.get());
        check->body.reset();
        if (succeeded) {
            failures_ = 0;
            UserDefaults::standardUserDefaults().setObject(Value::number(std::floor(nowSeconds())), lastCheckKey);
        } else if (!check->userInitiated) {
            const double delay = failures_ < 6 ? firstRetry * (1 << failures_) : longestRetry;
            retryDue_ = nowSeconds() + std::min(delay, longestRetry);
            ++failures_;
        }
        scheduleAutomaticCheck();
    }

    // --- Telling the user ---

    struct PendingNotification {
        std::weak_ptr<FeedUpdater> owner;
        std::string link;
    };

    void notify(const std::string& summary, const std::string& body, const std::string& link)
    {
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        if (!link.empty()) {
            // "default" is what a click on the notification itself invokes.
            g_variant_builder_add(&actions, "s", "default");
            g_variant_builder_add(&actions, "s", text("update_download").c_str());
            subscribe();
        }
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(build::desktopId));
        GVariant* parameters = g_variant_new(
            "(susssasa{sv}i)", "OrvoMenu", 0u, build::appId, summary.c_str(), body.c_str(), &actions, &hints, -1);
        g_dbus_connection_call(native::sessionBus(), notificationsName, notificationsPath, notificationsName, "Notify",
            parameters, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &FeedUpdater::onNotified,
            new PendingNotification { weak_from_this(), link });
    }

    static void onNotified(GObject* source, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<PendingNotification> pending(static_cast<PendingNotification*>(data));
        // Without a notification server there is nobody to tell; nothing else to do.
        auto reply = glib::GUnique<GVariant>(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
        auto self = pending->owner.lock();
        if (!reply || !self || pending->link.empty()) {
            return;
        }
        guint32 id = 0;
        g_variant_get(reply.get(), "(u)", &id);
        self->links_[id] = pending->link;
    }

    void subscribe()
    {
        if (subscription_) {
            return;
        }
        subscription_ = g_dbus_connection_signal_subscribe(native::sessionBus(), notificationsName, notificationsName,
            nullptr, notificationsPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &FeedUpdater::onSignal, this, nullptr);
    }

    static void onSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal,
        GVariant* parameters, gpointer data)
    {
        auto* self = static_cast<FeedUpdater*>(data);
        if (g_strcmp0(signal, "ActionInvoked") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            guint32 id = 0;
            const char* action = nullptr;
            g_variant_get(parameters, "(u&s)", &id, &action);
            const auto it = self->links_.find(id);
            if (it != self->links_.end()) {
                const std::string link = it->second;
                self->links_.erase(it);
                open(link);
            }
        } else if (g_strcmp0(signal, "NotificationClosed") == 0
            && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
            guint32 id = 0;
            guint32 reason = 0;
            g_variant_get(parameters, "(uu)", &id, &reason);
            self->links_.erase(id);
        }
    }

    static void open(const std::string& link)
    {
        if (native::hooks().launcher) {
            native::hooks().launcher(link);
            return;
        }
        g_app_info_launch_default_for_uri_async(link.c_str(), nullptr, nullptr, nullptr, nullptr);
    }

    CheckRef running_;
    glib::SourceHandle wakeUp_;
    guint wakeUpId_ = 0;
    double wakeUpDue_ = 0;
    guint subscription_ = 0;
    int wakeListener_ = 0;
    int failures_ = 0; // automatic checks failed in a row
    double retryDue_ = 0;
    std::map<guint32, std::string> links_; // notification id → link offered in it
};

FeedUpdater* feedUpdater(UpdaterController& controller)
{
    return dynamic_cast<FeedUpdater*>(&controller);
}

} // namespace

std::shared_ptr<UpdaterController> UpdaterController::create(bool startingUpdater)
{
    auto updater = std::make_shared<FeedUpdater>();
    if (startingUpdater) {
        updater->start();
    }
    return updater;
}

namespace native {

std::optional<UpdateWakeUp> scheduledUpdateWakeUp(UpdaterController& controller)
{
    auto* updater = feedUpdater(controller);
    return updater ? updater->wakeUp() : std::nullopt;
}

void fireUpdateWakeUpForTesting(UpdaterController& controller)
{
    if (auto* updater = feedUpdater(controller)) {
        updater->fireWakeUp();
    }
}

bool updateCheckRunning(UpdaterController& controller)
{
    auto* updater = feedUpdater(controller);
    return updater && updater->checking();
}

} // namespace native
} // namespace orvo::platform
