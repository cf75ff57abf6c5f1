// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until the settings store lands.
#include "platform/UserDefaults.h"

#include <map>

namespace orvo::platform {
namespace {
class MemoryDefaults final : public UserDefaults {
public:
    std::optional<Value> objectForKey(const std::string& key) override
    {
        auto it = values_.find(key);
        if (it == values_.end())
            return std::nullopt;
        return it->second;
    }
    void setObject(const Value& value, const std::string& key) override { values_[key] = value; }

private:
    std::map<std::string, Value> values_;
};
} // namespace

UserDefaults& UserDefaults::standardUserDefaults()
{
    static MemoryDefaults defaults;
    return defaults;
}

} // namespace orvo::platform
