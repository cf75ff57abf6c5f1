// SPDX-License-Identifier: GPL-3.0-or-later
// Alt+1 … Alt+5 as GNOME custom shortcuts, for GNOME before 48: its Wayland
// session has no GlobalShortcuts portal and refuses key grabs to other
// programs, but gnome-settings-daemon runs a command for a custom shortcut,
// and "orvomenu --hotkey N" is such a command.
//
// Custom shortcuts are a list of settings paths in
// org.gnome.settings-daemon.plugins.media-keys custom-keybindings, each path
// holding name, command and binding of the relocatable
// org.gnome.settings-daemon.plugins.media-keys.custom-keybinding schema.
// Ours live at paths of our own (…/custom-keybindings/orvomenu-alt-N/), so
// entries the user made are never read for writing nor removed, and a key
// GNOME already uses (a custom shortcut of the user's, or one of GNOME's own
// bindings) is left alone.
#include "platform/BuildConfig.h"
#include "platform/Localization.h"
#include "platform/UserDefaults.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Notifications.h"
#include "platform/linux/hotkeys/Backends.h"
#include "platform/linux/hotkeys/HotKeys.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>

namespace orvo::platform::native {
namespace {

constexpr const char* mediaKeysSchema = "org.gnome.settings-daemon.plugins.media-keys";
constexpr const char* customSchema = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
constexpr const char* customListKey = "custom-keybindings";
constexpr const char* customBase = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";
// Set once the user has been asked (or chose on the command line); a key of
// its own, so the hot-key assignments are read by older versions as before.
constexpr const char* offeredKey = "gnomeShortcutsOffered";

// Where GNOME keeps its own key bindings.
constexpr const char* gnomeBindingSchemas[] = {
    "org.gnome.desktop.wm.keybindings",
    "org.gnome.shell.keybindings",
    "org.gnome.mutter.keybindings",
    "org.gnome.mutter.wayland.keybindings",
    mediaKeysSchema,
};

std::string ourPrefix()
{
    return std::string(customBase) + build::appId + "-alt-";
}

std::string ourPath(int digit)
{
    return ourPrefix() + std::to_string(digit) + "/";
}

glib::GUnique<GSettingsSchema> lookUp(const char* id)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    return glib::GUnique<GSettingsSchema>(source ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr);
}

// GSettings aborts on a malformed path; a list entry the user damaged by
// hand must not take the app down with it.
bool validPath(std::string_view path)
{
    return path.size() > 1 && path.front() == '/' && path.back() == '/' && path.find("//") == std::string_view::npos;
}

// Callers have checked that the schema is installed: GSettings aborts on a
// missing one.
glib::GRef<GSettings> customEntry(const std::string& path)
{
    return glib::adopt(g_settings_new_with_path(customSchema, path.c_str()));
}

// An accelerator as GTK writes it ("<Alt>1", "<Mod1>1", "<Primary><Alt>F1")
// reduced to a comparable form: lower-case modifier names in a set, and
// the key name.
struct Accelerator {
    std::set<std::string> modifiers;
    std::string key;
    bool operator==(const Accelerator&) const = default;
};

Accelerator parseAccelerator(std::string_view text)
{
    Accelerator accelerator;
    while (!text.empty() && text.front() == '<') {
        const auto close = text.find('>');
        if (close == std::string_view::npos) {
            break;
        }
        std::string name(text.substr(1, close - 1));
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name == "mod1") {
            name = "alt";
        } else if (name == "primary" || name == "ctrl" || name == "control") {
            name = "control";
        } else if (name == "mod4") {
            name = "super";
        }
        accelerator.modifiers.insert(name);
        text.remove_prefix(close + 1);
    }
    accelerator.key = std::string(text);
    std::ranges::transform(accelerator.key, accelerator.key.begin(), [](unsigned char c) { return std::tolower(c); });
    return accelerator;
}

Accelerator altDigit(int digit)
{
    return { { "alt" }, std::to_string(digit) };
}

std::vector<std::string> stringsOf(GVariant* value)
{
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        return { g_variant_get_string(value, nullptr) };
    }
    std::vector<std::string> strings;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
        GVariantIter iter;
        g_variant_iter_init(&iter, value);
        const char* text = nullptr;
        while (g_variant_iter_next(&iter, "&s", &text)) {
            strings.emplace_back(text);
        }
    }
    return strings;
}

// What GNOME already does on Alt+digit, if anything: a custom shortcut that
// is not ours, or one of GNOME's own bindings.
std::optional<std::string> usedBy(int digit, const std::vector<std::string>& customPaths)
{
    const Accelerator wanted = altDigit(digit);
    for (const auto& path : customPaths) {
        if (path.starts_with(ourPrefix()) || !validPath(path)) {
            continue;
        }
        auto entry = customEntry(path);
        glib::GUnique<char> binding(g_settings_get_string(entry.get(), "binding"));
        if (parseAccelerator(binding.get()) == wanted) {
            glib::GUnique<char> name(g_settings_get_string(entry.get(), "name"));
            return "the custom shortcut \"" + std::string(name.get()) + "\"";
        }
    }
    for (const char* id : gnomeBindingSchemas) {
        const auto schema = lookUp(id);
        if (!schema || !g_settings_schema_get_path(schema.get())) { // missing, or relocatable elsewhere
            continue;
        }
        auto settings = glib::adopt(g_settings_new_full(schema.get(), nullptr, nullptr));
        glib::GUnique<char*> keys(g_settings_schema_list_keys(schema.get()));
        for (char** key = keys.get(); *key; ++key) {
            auto value = glib::GUnique<GVariant>(g_settings_get_value(settings.get(), *key));
            for (const auto& accelerator : stringsOf(value.get())) {
                if (parseAccelerator(accelerator) == wanted) {
                    glib::GUnique<GSettingsSchemaKey> schemaKey(g_settings_schema_get_key(schema.get(), *key));
                    const char* summary = g_settings_schema_key_get_summary(schemaKey.get());
                    return "GNOME's shortcut \"" + std::string(summary ? summary : *key) + "\"";
                }
            }
        }
    }
    return std::nullopt;
}

std::vector<std::string> customPaths(GSettings* mediaKeys)
{
    glib::GUnique<char*> paths(g_settings_get_strv(mediaKeys, customListKey));
    std::vector<std::string> list;
    for (char** path = paths.get(); *path; ++path) {
        list.emplace_back(*path);
    }
    return list;
}

void setCustomPaths(GSettings* mediaKeys, const std::vector<std::string>& list)
{
    std::vector<const char*> strings;
    strings.reserve(list.size() + 1);
    for (const auto& path : list) {
        strings.push_back(path.c_str());
    }
    strings.push_back(nullptr);
    g_settings_set_strv(mediaKeys, customListKey, strings.data());
}

// The command gnome-settings-daemon runs: it splits it like a shell, so a
// path with unusual characters is quoted.
std::string commandFor(const std::string& executable, int digit)
{
    const bool plain = std::ranges::all_of(executable,
        [](unsigned char c) { return std::isalnum(c) || std::string_view("/._+-").find(c) != std::string_view::npos; });
    std::string command;
    if (plain) {
        command = executable;
    } else {
        glib::GUnique<char> quoted(g_shell_quote(executable.c_str()));
        command = quoted.get();
    }
    return command + " --hotkey " + std::to_string(digit);
}

void rememberOffered()
{
    UserDefaults::standardUserDefaults().setObject(Value::boolean(true), offeredKey);
}

bool offeredBefore()
{
    const auto value = UserDefaults::standardUserDefaults().objectForKey(offeredKey);
    return value && value->kind() == Value::Kind::Boolean && value->asBoolean();
}

bool gnomeDesktop()
{
    const char* desktops = g_getenv("XDG_CURRENT_DESKTOP");
    glib::GUnique<char*> names(g_strsplit(desktops ? desktops : "", ":", -1));
    for (char** name = names.get(); *name; ++name) {
        if (g_ascii_strcasecmp(*name, "GNOME") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string runningExecutable()
{
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    // After an upgrade replaced the binary: the new one is at the old path.
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return error ? std::string(build::appId) : path;
}

bool gnomeShortcutsSupported()
{
    return lookUp(mediaKeysSchema) && lookUp(customSchema);
}

std::vector<std::string> setGnomeShortcuts(bool on, const std::string& executable)
{
    std::vector<std::string> leftAlone;
    if (!gnomeShortcutsSupported()) {
        return leftAlone;
    }
    auto mediaKeys = glib::adopt(g_settings_new(mediaKeysSchema));
    std::vector<std::string> list = customPaths(mediaKeys.get());
    const std::vector<std::string> before = list;
    for (int digit = firstHotKeyDigit; digit <= lastHotKeyDigit; ++digit) {
        const std::string path = ourPath(digit);
        const auto listed = std::ranges::find(list, path);
        auto entry = customEntry(path);
        if (!on) {
            if (listed != list.end()) {
                list.erase(listed);
            }
            for (const char* key : { "name", "command", "binding" }) {
                g_settings_reset(entry.get(), key);
            }
            continue;
        }
        if (const auto user = usedBy(digit, list)) {
            leftAlone.push_back("Alt+" + std::to_string(digit) + " is not available: GNOME uses it for " + *user);
            continue;
        }
        const std::string name = std::string(build::appName) + ": play the channel on Alt+" + std::to_string(digit);
        g_settings_set_string(entry.get(), "name", name.c_str());
        g_settings_set_string(entry.get(), "command", commandFor(executable, digit).c_str());
        g_settings_set_string(entry.get(), "binding", ("<Alt>" + std::to_string(digit)).c_str());
        if (listed == list.end()) {
            list.push_back(path);
        }
    }
    if (list != before) {
        setCustomPaths(mediaKeys.get(), list);
    }
    rememberOffered();
    // A command-line run ends right after: the writes must have reached dconf.
    g_settings_sync();
    return leftAlone;
}

void offerGnomeShortcuts()
{
    static bool asked = false;
    if (asked || !gnomeDesktop() || !gnomeShortcutsSupported() || offeredBefore()) {
        return;
    }
    asked = true;
    static Notifier* notifier = new Notifier(); // lives until the process ends
    notifier->ask(
        localizedString("gnome_shortcuts_question"), localizedString("gnome_shortcuts_explanation"),
        { { "add", localizedString("gnome_shortcuts_add") },
            { "decline", localizedString("gnome_shortcuts_decline") } },
        [](const std::string& answer) {
            if (answer == "add") {
                for (const auto& taken : setGnomeShortcuts(true, runningExecutable())) {
                    reportOnce("gnome " + taken, taken);
                }
            }
        },
        // Without a notification server nobody was asked: ask at a later start.
        [](bool shown) {
            if (shown) {
                rememberOffered();
            }
        });
}

} // namespace orvo::platform::native
