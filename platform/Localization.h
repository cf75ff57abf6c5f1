// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace orvo::platform {

// The text of a fixed string in the user's language.
//
// Contract: never fails. Falls back to the built-in English text, and a key
// with no text in any language yields the key itself.
std::string localizedString(const std::string& key);

} // namespace orvo::platform
