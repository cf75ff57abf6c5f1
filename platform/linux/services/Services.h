// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Linux-only parts of the login-item service and the update controller that
// tests reach: where the executable is, where the feed is and whom to trust,
// how long a check may take, and what is scheduled.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::platform {
class UpdaterController;
}

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

// Replaces the running executable's path (read from /proc/self/exe) for tests;
// an empty string means "cannot tell"; std::nullopt restores the real lookup.
void setExecutablePathForTesting(std::optional<std::string> path);

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
    std::string link; // download or release page; may be empty
};

// The newest item of an appcast (RSS 2.0), or std::nullopt when the text is
// not well-formed or holds no item with a version.
std::optional<AppcastItem> newestAppcastItem(std::string_view xml);

// Test hooks; call them before the controller's first check.
// The feed's address instead of the built-in one.
void setUpdateFeedForTesting(std::string url);
// Trust exactly this CA file (absolute path) for the feed instead of the
// process's default TLS database.
void setUpdateCaFileForTesting(std::string absolutePath);
// The overall time limit of one check (30 s otherwise).
void setUpdateTimeoutForTesting(std::chrono::milliseconds timeout);
// Called instead of the desktop's default handler when the user opens the
// link of an update notification.
void setUriLauncherForTesting(std::function<void(const std::string&)> launcher);

// The one scheduled wake-up for automatic checks, if any.
struct UpdateWakeUp {
    unsigned sourceId = 0; // main-context source id
    double dueAtSeconds = 0; // wall-clock time the check is due (seconds since the epoch)
};
std::optional<UpdateWakeUp> scheduledUpdateWakeUp(UpdaterController& controller);
// Runs the scheduled wake-up now, as if its time had come.
void fireUpdateWakeUpForTesting(UpdaterController& controller);
// Whether a check is under way.
bool updateCheckRunning(UpdaterController& controller);

} // namespace orvo::platform::native
