// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace orvo::platform::native {

// Posts desktop notifications (org.freedesktop.Notifications on the session
// bus) for one part of the application. A notification may offer one action;
// choosing it, or clicking the notification, runs its callback once. Without
// a notification server nothing is shown and nothing fails. Destroying the
// notifier forgets every callback. Main loop only.
class Notifier {
public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void post(const std::string& summary, const std::string& body, const std::string& actionLabel = {},
        std::function<void()> onAction = {});

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace orvo::platform::native
