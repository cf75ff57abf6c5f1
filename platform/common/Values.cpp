// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/StreamPlayer.h"
#include "platform/UserDefaults.h"

namespace orvo::platform {

Value Value::boolean(bool b)
{
    Value v;
    v.kind_ = Kind::Boolean;
    v.boolean_ = b;
    return v;
}

Value Value::number(double n)
{
    Value v;
    v.kind_ = Kind::Number;
    v.number_ = n;
    return v;
}

Value Value::string(std::string s)
{
    Value v;
    v.kind_ = Kind::String;
    v.string_ = std::move(s);
    return v;
}

Value Value::array(Array items)
{
    Value v;
    v.kind_ = Kind::Array;
    v.array_ = std::move(items);
    return v;
}

Value Value::object(Object members)
{
    Value v;
    v.kind_ = Kind::Object;
    v.object_ = std::move(members);
    return v;
}

Value Value::stringArray(const std::vector<std::string>& strings)
{
    Array items;
    items.reserve(strings.size());
    for (const auto& s : strings) {
        items.push_back(string(s));
    }
    return array(std::move(items));
}

bool Value::operator==(const Value& other) const
{
    if (kind_ != other.kind_) {
        return false;
    }
    switch (kind_) {
    case Kind::Null:
        return true;
    case Kind::Boolean:
        return boolean_ == other.boolean_;
    case Kind::Number:
        return number_ == other.number_;
    case Kind::String:
        return string_ == other.string_;
    case Kind::Array:
        return array_ == other.array_;
    case Kind::Object:
        return object_ == other.object_;
    }
    return false;
}

std::optional<Value::Array> UserDefaults::arrayForKey(const std::string& key)
{
    auto value = objectForKey(key);
    if (!value || value->kind() != Value::Kind::Array) {
        return std::nullopt;
    }
    return value->asArray();
}

std::optional<Url> Url::parse(const std::string& text)
{
    static const std::string scheme = "https://";
    if (text.compare(0, scheme.size(), scheme) != 0) {
        return std::nullopt;
    }
    const auto hostEnd = text.find_first_of("/?#", scheme.size());
    const auto host
        = text.substr(scheme.size(), hostEnd == std::string::npos ? std::string::npos : hostEnd - scheme.size());
    if (host.empty() || host.front() == ':') {
        return std::nullopt;
    }
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f) {
            return std::nullopt;
        }
    }
    return Url(text);
}

} // namespace orvo::platform
