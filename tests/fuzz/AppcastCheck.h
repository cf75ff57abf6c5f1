// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What must hold for any bytes given to the appcast reader: it returns, and
// an item it finds has a usable version and no link other than https. The
// bytes also go through the version ordering, which must be consistent.
// Shared by the libFuzzer target and the corpus run among the normal tests.

#include "platform/linux/services/Services.h"

#include <glib.h>

#include <string>
#include <string_view>

namespace orvo::test {

// An empty string when the properties hold, else what went wrong.
inline std::string checkAppcast(std::string_view bytes)
{
    using orvo::platform::native::compareVersions;
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    if (compareVersions(bytes, bytes) != 0) {
        return "a version text differs from itself";
    }
    if (sign(compareVersions(bytes, "1.2-beta3")) != -sign(compareVersions("1.2-beta3", bytes))) {
        return "the version ordering is not antisymmetric";
    }
    const auto item = orvo::platform::native::newestAppcastItem(bytes);
    if (!item) {
        return {};
    }
    const std::string_view v = item->version;
    const bool digit = !v.empty() && (v[0] >= '0' && v[0] <= '9');
    const bool prefixed = v.size() > 1 && (v[0] == 'v' || v[0] == 'V') && v[1] >= '0' && v[1] <= '9';
    if (!digit && !prefixed) {
        return "an item without a usable version: " + item->version;
    }
    if (!item->link.empty() && g_ascii_strncasecmp(item->link.c_str(), "https://", 8) != 0) {
        return "a link that is not https: " + item->link;
    }
    return {};
}

} // namespace orvo::test
