// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The settings document: the bytes of defaults.json taken apart and put back
// together. No file access here, so the reader can be fed arbitrary bytes.

#include "platform/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::platform::native {

// Objects keep the member order of the file, so a rewrite leaves the
// user's layout of the other keys alone.
using Json = nlohmann::ordered_json;

// The document holds a few short values; a larger file is not one we wrote,
// and reading it whole would only cost memory.
inline constexpr std::size_t maxDocumentBytes = 64 * 1024;
// Deeper nesting than this is never written by the application; the cap keeps
// every walk over a document (conversion, copy, comparison) shallow.
inline constexpr std::size_t maxDocumentDepth = 64;

// The top-level object of bytes, or nothing when they are not a settings
// document: too large, too deeply nested, not JSON, or not a JSON object.
std::optional<Json> parseDocument(std::string_view bytes);

// The stored value as the application sees it. Every JSON number becomes a
// double. value must come from parseDocument() (so its depth is bounded).
Value toValue(const Json& value);

// The JSON form of value, or nothing when it cannot be stored faithfully: a
// number that is not finite, or nesting beyond maxDocumentDepth (it would not
// read back). Whole numbers that a 64-bit
// integer holds exactly are written without a fraction.
std::optional<Json> toJson(const Value& value);

// The bytes of a document as written to disk: indented, ending in a newline.
// Nothing when a string in it is not UTF-8.
std::optional<std::string> serializeDocument(const Json& document);

} // namespace orvo::platform::native
