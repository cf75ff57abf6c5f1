// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace orvo::platform {

enum class AppServiceStatus : int { NotRegistered = 0, Enabled = 1, RequiresApproval = 2, NotFound = 3 };

// Starting the application when the user logs in.
//
// Contract: main loop only; mainAppService() is one object for the whole run.
// status() reads the current state afresh (the user may change it outside the
// application). register/unregister return whether they succeeded; on failure
// they put a short reason into *error when error is not null.
class AppService {
public:
    virtual ~AppService() = default;
    static AppService& mainAppService();
    virtual AppServiceStatus status() = 0;
    virtual bool registerAndReturnError(std::string* error) = 0;
    virtual bool unregisterAndReturnError(std::string* error) = 0;
};

} // namespace orvo::platform
