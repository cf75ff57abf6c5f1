// SPDX-License-Identifier: GPL-3.0-or-later
// Update checks against an appcast served over HTTPS. Results reach the user
// as desktop notifications; a newer version carries its link as an action.
// Everything runs on the main loop: the feed comes through the process's
// HTTPS client, and automatic checks (off unless the user turns them on) wake
// the loop once per due check only.
#include "platform/BuildConfig.h"
#include "platform/Localization.h"
#include "platform/UserDefaults.h"
#include "platform/linux/core/Catalogue.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Notifications.h"
#include "platform/linux/core/WakeSignals.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/services/Services.h"

#include <gio/gio.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvo::platform {
namespace native {
namespace {

constexpr std::size_t maxFeedBytes = 1024 * 1024;
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

// The catalogue key of what went wrong. The HTTPS client reports a server
// that fell silent as a network failure, after silenceTimeoutSeconds.
const char* describe(const FetchFailure& failure, double secondsTaken)
{
    switch (failure.kind) {
    case FetchFailure::Kind::Network:
        return secondsTaken >= silenceTimeoutSeconds ? "update_timed_out" : "update_no_connection";
    case FetchFailure::Kind::Certificate:
        return "update_bad_certificate";
    case FetchFailure::Kind::Insecure:
        return "update_insecure";
    case FetchFailure::Kind::Status:
        return failure.status == 404 || failure.status == 410 ? "update_not_found" : "update_unreadable";
    case FetchFailure::Kind::TooManyRedirects:
    case FetchFailure::Kind::TooLarge:
        break;
    }
    return "update_unreadable";
}

// A text of the catalogue with its {version} filled in.
std::string text(const char* key, std::string_view version = {})
{
    return filledText(key, { { "version", std::string(version) } });
}

double nowSeconds()
{
    return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC;
}

class Updater final : public FeedUpdater {
public:
    explicit Updater(UpdaterConfig config)
        : config_(std::move(config))
    {
    }

    ~Updater() override { stopListening(); }

    bool respondsToSelector(const Selector& selector) const override { return selector == "checkForUpdates:"; }

    void performSelector(const Selector& selector, MenuItem*) override
    {
        if (selector == "checkForUpdates:") {
            beginCheck(true);
        }
    }

    void start() override { scheduleAutomaticCheck(); }

    std::optional<WakeUp> scheduledWakeUp() const override
    {
        if (!wakeUp_) {
            return std::nullopt;
        }
        return WakeUp { wakeUpId_, wakeUpDue_ };
    }

    void wakeUpNow() override
    {
        if (wakeUp_) {
            wakeUp_.reset();
            wokeUp(true);
        }
    }

    bool checking() const override { return fetch_ != nullptr; }

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
        wakeUpId_ = g_timeout_add_seconds(delay, &Updater::onWakeUp, this);
        wakeUp_ = glib::SourceHandle(wakeUpId_);
    }

    static gboolean onWakeUp(gpointer data)
    {
        auto* self = static_cast<Updater*>(data);
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
        beginCheck(false); // a check under way re-arms when it ends
    }

    // Only while a failed automatic check waits for its retry: the network
    // monitor is not even started otherwise.
    void listenForTheNetwork()
    {
        if (!wakeListener_) {
            wakeListener_ = WakeSignals::instance().add([this] { networkBack(); });
        }
    }

    void stopListening()
    {
        if (wakeListener_) {
            WakeSignals::instance().remove(std::exchange(wakeListener_, 0));
        }
    }

    void networkBack()
    {
        if (failures_ && !fetch_ && automaticChecksEnabled()) {
            wakeUp_.reset();
            beginCheck(false);
        }
    }

    // --- One check ---

    void beginCheck(bool userInitiated)
    {
        if (fetch_) {
            return; // one check at a time; the second request is ignored
        }
        userInitiated_ = userInitiated;
        startedAt_ = g_get_monotonic_time();
        feed_.clear();
        deadline_ = glib::SourceHandle(
            g_timeout_add(static_cast<guint>(config_.timeout.count()), &Updater::onDeadline, this));
        fetch_ = HttpsFetch::start(
            FetchRequest { config_.feedUrl, std::nullopt, maxFeedBytes, true },
            [this](GBytes* bytes) {
                gsize size = 0;
                const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                feed_.append(data, size);
            },
            [this](const std::optional<FetchFailure>& failure, const std::string&) {
                if (failure) {
                    finish(
                        describe(*failure, static_cast<double>(g_get_monotonic_time() - startedAt_) / G_USEC_PER_SEC));
                } else {
                    finishWithFeed();
                }
            });
    }

    static gboolean onDeadline(gpointer data)
    {
        auto* self = static_cast<Updater*>(data);
        self->deadline_.forget();
        self->finish("update_timed_out");
        return G_SOURCE_REMOVE;
    }

    void finishWithFeed()
    {
        const auto newest = newestAppcastItem(feed_);
        if (!newest) {
            finish("update_unreadable");
            return;
        }
        endCheck(true);
        if (compareVersions(newest->version, build::version) > 0) {
            std::function<void()> open;
            if (!newest->link.empty()) {
                open = [link = newest->link, openLink = config_.openLink] {
                    if (openLink) {
                        openLink(link);
                    } else {
                        g_app_info_launch_default_for_uri_async(link.c_str(), nullptr, nullptr, nullptr, nullptr);
                    }
                };
            }
            notifier_.post(text("update_available", newest->displayVersion), text("update_installed", build::version),
                text("update_download"), std::move(open));
        } else if (userInitiated_) {
            notifier_.post(text("update_none"), text("update_newest", build::version));
        }
    }

    void finish(const char* failureKey)
    {
        endCheck(false);
        if (userInitiated_) {
            notifier_.post(text("update_failed"), text(failureKey));
        }
    }

    // Common end of every check: release the connection, remember when a
    // check last succeeded (or when to retry a failed automatic one) and arm
    // the next automatic check.
    void endCheck(bool succeeded)
    {
        fetch_.reset(); // allowed from its own callback; none runs afterwards
        deadline_.reset();
        feed_.clear();
        if (succeeded) {
            failures_ = 0;
            stopListening();
            UserDefaults::standardUserDefaults().setObject(Value::number(std::floor(nowSeconds())), lastCheckKey);
        } else if (!userInitiated_) {
            const double delay = failures_ < 6 ? firstRetry * (1 << failures_) : longestRetry;
            retryDue_ = nowSeconds() + std::min(delay, longestRetry);
            ++failures_;
            listenForTheNetwork();
        }
        scheduleAutomaticCheck();
    }

    UpdaterConfig config_;
    Notifier notifier_;
    std::unique_ptr<HttpsFetch> fetch_; // the check under way
    std::string feed_;
    bool userInitiated_ = false;
    gint64 startedAt_ = 0; // monotonic microseconds
    glib::SourceHandle deadline_;
    glib::SourceHandle wakeUp_;
    guint wakeUpId_ = 0;
    double wakeUpDue_ = 0;
    int wakeListener_ = 0;
    int failures_ = 0; // automatic checks failed in a row
    double retryDue_ = 0;
};

} // namespace

std::shared_ptr<FeedUpdater> makeFeedUpdater(UpdaterConfig config)
{
    return std::make_shared<Updater>(std::move(config));
}

} // namespace native

std::shared_ptr<UpdaterController> UpdaterController::create(bool startingUpdater)
{
    auto updater = native::makeFeedUpdater({});
    if (startingUpdater) {
        updater->start();
    }
    return updater;
}

} // namespace orvo::platform
