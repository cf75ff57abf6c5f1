// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/store/SettingsDocument.h"

#include <cmath>
#include <cstdint>

namespace orvo::platform::native {
namespace {

// Nesting depth of the brackets outside strings, stopping early once it passes
// the cap. Runs before the JSON parser so that nothing ever walks a deep tree.
bool nestingWithinCap(std::string_view bytes)
{
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : bytes) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > maxDocumentDepth) {
                return false;
            }
            break;
        case ']':
        case '}':
            if (depth > 0) {
                --depth;
            }
            break;
        default:
            break;
        }
    }
    return true;
}

std::optional<Json> toJsonAtDepth(const Value& value, std::size_t depth)
{
    switch (value.kind()) {
    case Value::Kind::Null:
        return Json(nullptr);
    case Value::Kind::Boolean:
        return Json(value.asBoolean());
    case Value::Kind::Number: {
        const double n = value.asNumber();
        if (!std::isfinite(n)) {
            return std::nullopt;
        }
        // 2^63 itself does not fit; everything strictly inside does exactly.
        constexpr double limit = 9223372036854775808.0;
        if (n == std::trunc(n) && n > -limit && n < limit) {
            return Json(static_cast<std::int64_t>(n));
        }
        return Json(n);
    }
    case Value::Kind::String:
        return Json(value.asString());
    case Value::Kind::Array: {
        if (depth + 1 > maxDocumentDepth) {
            return std::nullopt;
        }
        Json items = Json::array();
        for (const auto& item : value.asArray()) {
            auto converted = toJsonAtDepth(item, depth + 1);
            if (!converted) {
                return std::nullopt;
            }
            items.push_back(std::move(*converted));
        }
        return items;
    }
    case Value::Kind::Object: {
        if (depth + 1 > maxDocumentDepth) {
            return std::nullopt;
        }
        Json members = Json::object();
        for (const auto& [name, member] : value.asObject()) {
            auto converted = toJsonAtDepth(member, depth + 1);
            if (!converted) {
                return std::nullopt;
            }
            members[name] = std::move(*converted);
        }
        return members;
    }
    }
    return std::nullopt;
}

} // namespace

std::optional<Json> parseDocument(std::string_view bytes)
{
    if (bytes.size() > maxDocumentBytes || !nestingWithinCap(bytes)) {
        return std::nullopt;
    }
    Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) {
        return std::nullopt; // also the "discarded" result of a parse error
    }
    return document;
}

Value toValue(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::boolean:
        return Value::boolean(value.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        return Value::number(value.get<double>());
    case Json::value_t::string:
        return Value::string(value.get<std::string>());
    case Json::value_t::array: {
        Value::Array items;
        items.reserve(value.size());
        for (const auto& item : value) {
            items.push_back(toValue(item));
        }
        return Value::array(std::move(items));
    }
    case Json::value_t::object: {
        Value::Object members;
        members.reserve(value.size());
        for (const auto& [name, member] : value.items()) {
            members.emplace_back(name, toValue(member));
        }
        return Value::object(std::move(members));
    }
    default:
        return Value();
    }
}

std::optional<Json> toJson(const Value& value)
{
    // The value sits under a key of the top-level object, one level down.
    return toJsonAtDepth(value, 1);
}

std::optional<std::string> serializeDocument(const Json& document)
{
    try {
        return document.dump(2) + "\n";
    } catch (const Json::exception&) {
        return std::nullopt; // a string that is not UTF-8
    }
}

} // namespace orvo::platform::native
