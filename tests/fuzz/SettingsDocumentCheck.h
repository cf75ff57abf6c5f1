// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What must hold for any bytes given to the settings reader: it returns, and
// a document it accepts survives being written back and read again with
// every value unchanged. Shared by the libFuzzer target and the corpus run
// among the normal tests.

#include "platform/linux/store/SettingsDocument.h"

#include <string>
#include <string_view>

namespace orvo::test {

// An empty string when the properties hold, else what went wrong.
inline std::string checkSettingsDocument(std::string_view bytes)
{
    using namespace orvo::platform;
    const auto document = native::parseDocument(bytes);
    if (!document) {
        return {};
    }
    if (!document->is_object()) {
        return "accepted a document that is not an object";
    }
    native::Json rewritten = native::Json::object();
    for (const auto& [key, member] : document->items()) {
        const Value value = native::toValue(member);
        auto json = native::toJson(value);
        if (!json) {
            return "a value read from the file cannot be written back: " + key;
        }
        rewritten[key] = std::move(*json);
    }
    const auto bytesAgain = native::serializeDocument(rewritten);
    if (!bytesAgain) {
        return "an accepted document cannot be serialised";
    }
    const auto reread = native::parseDocument(*bytesAgain);
    if (!reread || reread->size() != document->size()) {
        return "a written document does not read back whole";
    }
    auto original = document->begin();
    for (auto again = reread->begin(); again != reread->end(); ++again, ++original) {
        if (again.key() != original.key() || !(native::toValue(*again) == native::toValue(*original))) {
            return "a value changed on its way through the file: " + original.key();
        }
    }
    return {};
}

} // namespace orvo::test
