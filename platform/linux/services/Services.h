// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Linux-only parts of the login-item service and the update controller: where
// the autostart entry is, version ordering and appcast reading, and the
// services built with a configuration of their own (what `mainAppService()`
// and `UpdaterController::create()` build with the defaults).

#include "platform/BuildConfig.h"
#include "platform/LoginItem.h"
#include "platform/Updater.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::platform::native {

// --- Launch at login ---

// The autostart entry's path: $XDG_CONFIG_HOME/autostart/org.orvomenu.OrvoMenu.desktop,
// ~/.config when XDG_CONFIG_HOME is unset, empty or relative. Read afresh on
// every call.
std::string autostartEntryPath();
// Where earlier versions put it ($XDG_CONFIG_HOME/autostart/orvomenu.desktop).
// Such an entry still starts the app and counts as enabled; registering
// replaces it with the new one, unregistering removes both.
std::string legacyAutostartEntryPath();

struct AutostartConfig {
    // The program the entry starts. std::nullopt: the running executable
    // (/proc/self/exe); an empty string: cannot tell.
    std::optional<std::string> executable;
};
std::unique_ptr<AppService> makeAutostartService(AutostartConfig config);

// --- Update checks ---

// Compares two version texts: negative, zero or positive as a is lower than,
// equal to or higher than b. Numeric parts compare as numbers (1.10 > 1.9),
// missing parts count as zero (1.2 == 1.2.0), a pre-release tag ranks below
// its release (2.0-beta1 < 2.0) and numbers inside tags compare as numbers.
int compareVersions(std::string_view a, std::string_view b);

// One update found in a feed.
struct AppcastItem {
    std::string version; // the version compared with ours
    std::string displayVersion; // what the user is shown
    std::string link; // https download or release page; empty when the feed gives none
};

// The newest item of an appcast (RSS 2.0), or std::nullopt when the text is
// not well-formed or holds no item with a version. A link that is not https
// is left out.
std::optional<AppcastItem> newestAppcastItem(std::string_view xml);

struct UpdaterConfig {
    std::string feedUrl = build::appcastUrl;
    // The overall time limit of one check.
    std::chrono::milliseconds timeout { 30000 };
    // Opens the link of an update notification; empty: the desktop's default
    // handler.
    std::function<void(const std::string&)> openLink;
};

// The update controller with its schedule in view.
class FeedUpdater : public UpdaterController {
public:
    // The one scheduled wake-up for automatic checks.
    struct WakeUp {
        unsigned sourceId = 0; // main-context source id
        double dueAtSeconds = 0; // wall-clock time the check is due (seconds since the epoch)
    };

    // Arms automatic checks as the user's settings say.
    virtual void start() = 0;
    virtual std::optional<WakeUp> scheduledWakeUp() const = 0;
    // Runs the scheduled wake-up now, as if its time had come.
    virtual void wakeUpNow() = 0;
    // Whether a check is under way.
    virtual bool checking() const = 0;
};
std::shared_ptr<FeedUpdater> makeFeedUpdater(UpdaterConfig config);

} // namespace orvo::platform::native
