// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo::platform::native {

// Posts desktop notifications (org.freedesktop.Notifications on the session
// bus) for one part of the application. A notification may offer one action;
// choosing it, or clicking the notification, runs its callback once. A
// question offers buttons and stays until answered. Without a notification
// server nothing is shown and nothing fails. Destroying the notifier forgets
// every callback. Main loop only.
class Notifier {
public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void post(const std::string& summary, const std::string& body, const std::string& actionLabel = {},
        std::function<void()> onAction = {});

    // A button: the key the server reports when it is chosen, and its label.
    struct Button {
        std::string key, label;
    };
    // onAnswer gets the key of the chosen button, once; onShown whether a
    // notification server took the question.
    void ask(const std::string& summary, const std::string& body, const std::vector<Button>& buttons,
        std::function<void(const std::string&)> onAnswer, std::function<void(bool)> onShown);

private:
    void send(const std::string& summary, const std::string& body, const std::vector<Button>& buttons, int timeout,
        std::function<void(const std::string&)> onAnswer, std::function<void(bool)> onShown);

    struct State;
    std::shared_ptr<State> state_;
};

} // namespace orvo::platform::native
