// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <glib.h>

#include <filesystem>

namespace orvo::platform::native {

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else ~/.config. Read afresh at each call.
inline std::filesystem::path configHome()
{
    const char* configured = g_getenv("XDG_CONFIG_HOME");
    if (configured && g_path_is_absolute(configured)) {
        return configured;
    }
    return std::filesystem::path(g_get_home_dir()) / ".config";
}

} // namespace orvo::platform::native
