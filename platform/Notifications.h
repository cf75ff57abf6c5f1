// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace orvo::platform {

namespace AuthorizationOption {
inline constexpr unsigned Badge = 1;
inline constexpr unsigned Sound = 2;
inline constexpr unsigned Alert = 4;
} // namespace AuthorizationOption

// The desktop's notification service.
//
// Contract: currentNotificationCenter() is one object for the whole run.
// requestAuthorization() returns at once; completion runs later, at most once,
// possibly on another thread, with whether notifications can be shown and, if
// the question could not be answered, a short reason. Nothing is posted.
class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;
    static UserNotificationCenter& currentNotificationCenter();
    virtual void requestAuthorization(
        unsigned options, std::function<void(bool granted, std::optional<std::string> error)> completion)
        = 0;
};

} // namespace orvo::platform
