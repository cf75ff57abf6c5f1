// SPDX-License-Identifier: GPL-3.0-or-later
// Launch at login as an XDG autostart entry. The entry is the state: nothing
// is cached, so a change the user makes by hand shows at the next read.
#include "platform/LoginItem.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Paths.h"
#include "platform/linux/services/Services.h"

#include <glib/gstdio.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace orvo::platform {
namespace native {
namespace {

std::optional<std::string> runningExecutable()
{
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error || path.empty()) {
        return std::nullopt;
    }
    // After a package upgrade replaced the running binary the kernel reports
    // "<path> (deleted)"; the new binary sits at the old path.
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with the four characters that stay special inside quotes escaped, and a
// literal percent sign doubled so it is not taken for a field code. The
// key file's own string escaping (a backslash becomes two) comes on top when
// the value is stored with g_key_file_set_string.
std::string execArgument(std::string_view argument)
{
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quoted = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    std::string text;
    text.reserve(argument.size() + 8);
    if (quoted) {
        text += '"';
    }
    for (const char c : argument) {
        if (c == '%') {
            text += "%%";
            continue;
        }
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            text += '\\';
        }
        text += c;
    }
    if (quoted) {
        text += '"';
    }
    return text;
}

// The Exec line that starts the executable. GLib's loader (used by GNOME's
// session) checks that the program exists before expanding field codes, so a
// path holding '%' would be looked up with "%%" in it and the entry dropped;
// such a path is handed to sh(1) as $0 instead, where it is expanded. Not
// env(1): it would take a path holding '=' for a variable to set.
std::string execLine(const std::string& executable)
{
    if (executable.find('%') != std::string::npos) {
        return "/bin/sh -c " + execArgument("exec \"$0\"") + " " + execArgument(executable);
    }
    return execArgument(executable);
}

enum class EntryState { Missing, Unusable, Hidden, Enabled };

EntryState readEntry(const std::string& path)
{
    if (!g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) {
        return EntryState::Missing;
    }
    glib::GUnique<GKeyFile> file(g_key_file_new());
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) {
        return EntryState::Unusable;
    }
    constexpr const char* group = G_KEY_FILE_DESKTOP_GROUP;
    glib::GUnique<char> type(g_key_file_get_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_TYPE, nullptr));
    glib::GUnique<char> exec(g_key_file_get_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_EXEC, nullptr));
    if (!type || std::strcmp(type.get(), G_KEY_FILE_DESKTOP_TYPE_APPLICATION) != 0 || !exec || !*exec.get()) {
        return EntryState::Unusable;
    }
    // A value other than true/false reads as false, as desktop environments
    // read it. GNOME's switch in its startup settings writes
    // X-GNOME-Autostart-enabled=false instead of hiding the entry.
    glib::GUnique<GError> missing;
    const bool enabled = g_key_file_get_boolean(file.get(), group, "X-GNOME-Autostart-enabled", glib::out(missing));
    if (g_key_file_get_boolean(file.get(), group, G_KEY_FILE_DESKTOP_KEY_HIDDEN, nullptr) || (!missing && !enabled)) {
        return EntryState::Hidden;
    }
    return EntryState::Enabled;
}

} // namespace

std::string autostartEntryPath()
{
    const auto base = native::configHome();
    return (base / "autostart" / (std::string(build::desktopId) + ".desktop")).string();
}

std::string legacyAutostartEntryPath()
{
    const auto base = native::configHome();
    return (base / "autostart" / (std::string(build::appId) + ".desktop")).string();
}

namespace {

void setError(std::string* error, std::string text)
{
    if (error) {
        *error = std::move(text);
    }
}

class AutostartEntry final : public AppService {
public:
    explicit AutostartEntry(AutostartConfig config)
        : config_(std::move(config))
    {
    }

    AppServiceStatus status() override
    {
        if (!executablePath()) {
            return AppServiceStatus::NotFound;
        }
        // An entry under the name of earlier versions starts the app just
        // as well.
        return readEntry(autostartEntryPath()) == EntryState::Enabled
                || readEntry(legacyAutostartEntryPath()) == EntryState::Enabled
            ? AppServiceStatus::Enabled
            : AppServiceStatus::NotRegistered;
    }

    bool registerAndReturnError(std::string* error) override
    {
        const auto executable = executablePath();
        if (!executable) {
            setError(error, "cannot tell where the application is installed");
            return false;
        }
        if (!g_utf8_validate(executable->data(), static_cast<gssize>(executable->size()), nullptr)) {
            setError(error, "the application's path is not valid UTF-8");
            return false;
        }
        const std::string path = autostartEntryPath();
        const std::string folder = std::filesystem::path(path).parent_path().string();
        if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
            setError(error, "cannot create " + folder + ": " + g_strerror(errno));
            return false;
        }

        glib::GUnique<GKeyFile> file(g_key_file_new());
        constexpr const char* group = G_KEY_FILE_DESKTOP_GROUP;
        g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_TYPE, G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
        g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_NAME, build::appName);
        g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_EXEC, execLine(*executable).c_str());
        g_key_file_set_string(file.get(), group, G_KEY_FILE_DESKTOP_KEY_ICON, build::appId);
        g_key_file_set_boolean(file.get(), group, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
        g_key_file_set_boolean(file.get(), group, "X-GNOME-Autostart-enabled", TRUE);
        gsize length = 0;
        glib::GUnique<char> data(g_key_file_to_data(file.get(), &length, nullptr));

        // A temporary file in the same folder, flushed and renamed over the
        // entry: a session starting meanwhile sees the old entry or the new
        // one, never half of one. This also replaces a damaged entry.
        glib::GUnique<GError> writeError;
        if (!g_file_set_contents_full(path.c_str(), data.get(), static_cast<gssize>(length),
                static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), 0644,
                glib::out(writeError))) {
            setError(error, writeError ? writeError->message : "cannot write " + path);
            return false;
        }
        // The entry now has the app's id for a name, which the session's
        // autostart turns into the app id that desktop portals go by; the
        // one earlier versions wrote would start a second copy.
        return removeEnabledEntry(legacyAutostartEntryPath(), error);
    }

    bool unregisterAndReturnError(std::string* error) override
    {
        return removeEnabledEntry(autostartEntryPath(), error) && removeEnabledEntry(legacyAutostartEntryPath(), error);
    }

private:
    std::optional<std::string> executablePath() const
    {
        if (config_.executable) {
            return config_.executable->empty() ? std::nullopt : config_.executable;
        }
        return runningExecutable();
    }

    // Only an entry that would start the application is removed; one the
    // user hid, switched off or damaged already does not, and stays as they
    // left it.
    static bool removeEnabledEntry(const std::string& path, std::string* error)
    {
        if (readEntry(path) != EntryState::Enabled) {
            return true;
        }
        if (g_unlink(path.c_str()) != 0 && errno != ENOENT) {
            setError(error, "cannot remove " + path + ": " + g_strerror(errno));
            return false;
        }
        return true;
    }

    AutostartConfig config_;
};

} // namespace

std::unique_ptr<AppService> makeAutostartService(AutostartConfig config)
{
    return std::make_unique<AutostartEntry>(std::move(config));
}

} // namespace native

AppService& AppService::mainAppService()
{
    static AppService* service = native::makeAutostartService({}).release(); // lives until the process ends
    return *service;
}

} // namespace orvo::platform
