// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Localization.h"
#include "platform/BuildConfig.h"

#include <libintl.h>

#include <filesystem>
#include <map>
#include <system_error>

namespace orvo::platform {
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

const char* domain()
{
    static const char* bound = [] {
        bindtextdomain(build::appId, catalogueDirectory().c_str());
        bind_textdomain_codeset(build::appId, "UTF-8");
        return build::appId;
    }();
    return bound;
}

} // namespace

std::string localizedString(const std::string& key)
{
    const char* translated = dgettext(domain(), key.c_str());
    if (translated && key != translated) {
        return translated;
    }
    const auto& english = englishTexts();
    const auto it = english.find(key);
    return it != english.end() ? it->second : key;
}

} // namespace orvo::platform
