// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvo::platform {

// A stored value of any kind, so that a reader can tell a list of strings from
// a list that also holds, say, a number.
class Value {
public:
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    using Array = std::vector<Value>;
    using Object = std::vector<std::pair<std::string, Value>>;

    Value() = default;
    static Value boolean(bool b);
    static Value number(double n);
    static Value string(std::string s);
    static Value array(Array items);
    static Value object(Object members);
    static Value stringArray(const std::vector<std::string>& strings);

    Kind kind() const { return kind_; }
    bool isString() const { return kind_ == Kind::String; }
    bool asBoolean() const { return boolean_; }
    double asNumber() const { return number_; }
    const std::string& asString() const { return string_; }
    const Array& asArray() const { return array_; }
    const Object& asObject() const { return object_; }

    bool operator==(const Value& other) const;

private:
    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    double number_ = 0;
    std::string string_;
    Array array_;
    Object object_;
};

// The user's settings store.
//
// Contract: main loop only; every read sees the last write at once.
// - arrayForKey() is absent when the key is missing or its value is not a list.
//   An unreadable or damaged store reads as empty; a read never writes.
// - setObject() stores the value under the key and keeps every other key as it
//   was. It does not report failure: a store that cannot be written keeps its
//   previous content and the application goes on.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    static UserDefaults& standardUserDefaults();

    virtual std::optional<Value> objectForKey(const std::string& key) = 0;
    std::optional<Value::Array> arrayForKey(const std::string& key);
    virtual void setObject(const Value& value, const std::string& key) = 0;
};

} // namespace orvo::platform
