// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until launch at login lands.
#include "platform/LoginItem.h"

namespace orvo::platform {
namespace {
class Unavailable final : public AppService {
public:
    AppServiceStatus status() override { return AppServiceStatus::NotFound; }
    bool registerAndReturnError(std::string* error) override
    {
        if (error)
            *error = "not available";
        return false;
    }
    bool unregisterAndReturnError(std::string* error) override { return registerAndReturnError(error); }
};
} // namespace

AppService& AppService::mainAppService()
{
    static Unavailable service;
    return service;
}

} // namespace orvo::platform
