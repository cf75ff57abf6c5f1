// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Localization.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/Catalogue.h"
#include "platform/linux/core/GLibPtr.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

namespace orvo::platform {
namespace native {
namespace {

std::string environment(const char* name)
{
    const char* value = g_getenv(name);
    return value ? value : "";
}

// "C", "C.UTF-8", "POSIX" and their variants name no language.
bool namesNoLanguage(const std::string& name)
{
    const auto base = name.substr(0, name.find_first_of("_.@"));
    return base == "C" || base == "POSIX";
}

class Reader {
public:
    explicit Reader(const std::string& data)
        : data_(data)
    {
    }

    std::optional<std::uint32_t> word(std::uint64_t offset) const
    {
        if (offset + 4 > data_.size()) {
            return std::nullopt;
        }
        std::uint32_t value;
        std::memcpy(&value, data_.data() + offset, sizeof value);
        return swapped_ ? __builtin_bswap32(value) : value;
    }

    void setSwapped(bool swapped) { swapped_ = swapped; }

    // The first NUL-terminated part of the string that a table entry
    // describes (a plural entry holds its forms one after another).
    std::optional<std::string> string(std::uint64_t table, std::uint32_t index) const
    {
        const auto length = word(table + 8ull * index);
        const auto offset = word(table + 8ull * index + 4);
        if (!length || !offset || std::uint64_t { *offset } + *length >= data_.size()) {
            return std::nullopt;
        }
        const char* start = data_.data() + *offset;
        return std::string(start, strnlen(start, *length));
    }

private:
    const std::string& data_;
    bool swapped_ = false;
};

} // namespace

std::vector<std::string> messageLanguages()
{
    std::string locale;
    for (const char* name : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        locale = environment(name);
        if (!locale.empty()) {
            break;
        }
    }
    if (locale.empty()) {
        locale = "C";
    }
    std::vector<std::string> wanted;
    const auto language = environment("LANGUAGE");
    if (!language.empty() && locale != "C" && locale != "POSIX") {
        glib::GUnique<gchar*> parts(g_strsplit(language.c_str(), ":", -1));
        for (gchar** part = parts.get(); *part; ++part) {
            wanted.emplace_back(*part);
        }
    } else {
        wanted.push_back(locale);
    }

    std::vector<std::string> languages;
    for (const auto& name : wanted) {
        if (name.empty() || namesNoLanguage(name)) {
            continue;
        }
        glib::GUnique<gchar*> variants(g_get_locale_variants(name.c_str()));
        for (gchar** variant = variants.get(); *variant; ++variant) {
            if (std::find(languages.begin(), languages.end(), *variant) == languages.end()) {
                languages.emplace_back(*variant);
            }
        }
    }
    return languages;
}

std::map<std::string, std::string> readCatalogue(const std::filesystem::path& file)
{
    // Ours hold a handful of short texts; anything near this size is not one.
    constexpr std::uintmax_t largest = 1 << 20;
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > largest) {
        return {};
    }
    std::string data(size, '\0');
    std::ifstream in(file, std::ios::binary);
    if (!in.read(data.data(), static_cast<std::streamsize>(size))) {
        return {};
    }

    Reader reader(data);
    const auto magic = reader.word(0);
    if (magic == 0xde120495u) {
        reader.setSwapped(true);
    } else if (magic != 0x950412deu) {
        return {};
    }
    const auto revision = reader.word(4);
    const auto count = reader.word(8);
    const auto originals = reader.word(12);
    const auto translations = reader.word(16);
    if (!revision || (*revision >> 16) > 1 || !count || !originals || !translations) {
        return {};
    }
    std::map<std::string, std::string> texts;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto key = reader.string(*originals, i);
        const auto text = reader.string(*translations, i);
        if (!key || !text) {
            return {};
        }
        // The entry with the empty key is the catalogue's own header.
        if (!key->empty() && !text->empty()) {
            texts.emplace(*key, *text);
        }
    }
    return texts;
}

Catalogue findCatalogue(
    const std::filesystem::path& directory, const std::string& domain, const std::vector<std::string>& languages)
{
    for (const auto& language : languages) {
        auto texts = readCatalogue(directory / language / "LC_MESSAGES" / (domain + ".mo"));
        if (!texts.empty()) {
            return { language, std::move(texts) };
        }
    }
    return {};
}

} // namespace native

namespace {

// The English texts, built in so that a missing catalogue never shows keys.
const std::map<std::string, std::string>& englishTexts()
{
    static const std::map<std::string, std::string> texts = {
        { "regional", "Regional" },
        { "thematic", "Thematic" },
        { "launch_at_login", "Launch at Login" },
        { "keyboard_shortcuts", "Keyboard Shortcuts" },
        { "hotkey_none", "None" },
        { "check_for_updates", "Check for Updates…" },
        { "quit", "Quit" },
        { "update_available", "OrvoMenu {version} is available" },
        { "update_installed", "You have version {version}." },
        { "update_download", "Download" },
        { "update_none", "You're up to date." },
        { "update_newest", "OrvoMenu {version} is the newest version." },
        { "update_failed", "Could not check for updates" },
        { "update_no_connection", "The update server could not be reached." },
        { "update_timed_out", "The update server did not answer in time." },
        { "update_bad_certificate", "The update server's certificate is not trusted." },
        { "update_not_found", "The update feed was not found." },
        { "update_unreadable", "The update feed could not be read." },
        { "update_insecure", "The update feed was sent to an insecure address." },
        { "gnome_shortcuts_question", "Use Alt+1 … Alt+5 for OrvoMenu?" },
        { "gnome_shortcuts_explanation",
            "GNOME lets programs have keys on Wayland only through its own keyboard shortcuts. OrvoMenu can add "
            "Alt+1 … Alt+5 there; you can change or remove them in Settings → Keyboard → Custom Shortcuts." },
        { "gnome_shortcuts_add", "Add Shortcuts" },
        { "gnome_shortcuts_decline", "No Thanks" },
        { "status_connecting", "Connecting…" },
        { "status_retrying", "Trying again: {reason}" },
        { "status_cannot_play", "Cannot be played: {reason}" },
        { "reason_network", "no connection to the station" },
        { "reason_http", "the station answered HTTP {status}" },
        { "reason_certificate", "the station's certificate is not trusted" },
        { "reason_insecure", "the station redirected to an insecure address" },
        { "reason_unreadable", "the stream could not be read" },
        { "reason_decoder", "no decoder for its format is installed" },
        { "reason_ended", "the stream ended" },
    };
    return texts;
}

// Catalogues sit beside the binary when installed (bin/../share/locale) and in
// the build tree during development.
std::string catalogueDirectory()
{
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = exe.parent_path().parent_path() / "share" / "locale";
        if (std::filesystem::is_directory(installed, error)) {
            return installed.string();
        }
    }
    if (std::filesystem::is_directory(build::buildLocaleDir, error)) {
        return build::buildLocaleDir;
    }
    return build::localeDir;
}

// The catalogue is chosen from the environment, not through libc's gettext:
// glibc translates only when the user's locale has been generated on the
// machine, and since 2.39 it ignores LANGUAGE under C.UTF-8 as under C, so a
// German menu would depend on which locales the administrator generated.
const native::Catalogue& catalogue()
{
    static const native::Catalogue chosen
        = native::findCatalogue(catalogueDirectory(), build::appId, native::messageLanguages());
    return chosen;
}

} // namespace

std::string localizedString(const std::string& key)
{
    const auto& texts = catalogue().texts;
    if (const auto it = texts.find(key); it != texts.end()) {
        return it->second;
    }
    const auto& english = englishTexts();
    const auto it = english.find(key);
    return it != english.end() ? it->second : key;
}

} // namespace orvo::platform

namespace orvo::platform::native {

std::string filledText(const std::string& key, const std::vector<std::pair<std::string, std::string>>& values)
{
    std::string text = localizedString(key);
    for (const auto& [name, value] : values) {
        const std::string field = "{" + name + "}";
        if (const auto at = text.find(field); at != std::string::npos) {
            text.replace(at, field.size(), value);
        }
    }
    return text;
}

} // namespace orvo::platform::native
