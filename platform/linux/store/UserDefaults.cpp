// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/UserDefaults.h"
#include "platform/linux/store/SettingsFile.h"

namespace orvo::platform {
namespace {

class FileUserDefaults final : public UserDefaults {
public:
    // The file is small and the user may edit it while the application runs,
    // so every look-up reads it again instead of keeping a copy.
    std::optional<Value> objectForKey(const std::string& key) override
    {
        return native::standardSettingsFile().value(key);
    }
    // A failed write leaves the previous document; the application goes on.
    void setObject(const Value& value, const std::string& key) override
    {
        native::standardSettingsFile().setValue(key, value);
    }
};

} // namespace

UserDefaults& UserDefaults::standardUserDefaults()
{
    static FileUserDefaults defaults;
    return defaults;
}

} // namespace orvo::platform
