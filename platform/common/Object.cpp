// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/Menu.h"

namespace orvo::platform {

bool Object::respondsToSelector(const Selector&) const
{
    return false;
}

void Object::performSelector(const Selector&, MenuItem*) { }

namespace {
Application* theApplication = nullptr;
} // namespace

Application::Application()
{
    theApplication = this;
}

Application* Application::existingApplication()
{
    return theApplication;
}

bool Application::respondsToSelector(const Selector& selector) const
{
    return selector == "terminate:";
}

void Application::performSelector(const Selector& selector, MenuItem*)
{
    if (selector == "terminate:") {
        terminate();
    }
}

MenuItem::MenuItem(std::string title, std::optional<Selector> action, std::string keyEquivalent)
    : title_(std::move(title))
    , action_(std::move(action))
    , keyEquivalent_(std::move(keyEquivalent))
{
}

std::shared_ptr<MenuItem> MenuItem::separatorItem()
{
    auto item = std::make_shared<MenuItem>("", std::nullopt, "");
    item->separator_ = true;
    return item;
}

namespace {
// The receiver of an item's action: its target, or the application when no
// target was set. Null when the target has gone away (or there is no
// application yet).
Object* receiverOf(const MenuItem& item, std::shared_ptr<Object>& keepAlive)
{
    if (!item.targetWasSet()) {
        return Application::existingApplication();
    }
    keepAlive = item.target();
    return keepAlive.get();
}
} // namespace

bool MenuItem::isEnabled() const
{
    if (separator_) {
        return false;
    }
    if (submenu_) {
        return true;
    }
    if (!action_) {
        return false;
    }
    std::shared_ptr<Object> keepAlive;
    Object* receiver = receiverOf(*this, keepAlive);
    return receiver && receiver->respondsToSelector(*action_);
}

bool performMenuItemAction(MenuItem& item)
{
    if (!item.isEnabled() || !item.action() || item.submenu()) {
        return false;
    }
    std::shared_ptr<Object> keepAlive;
    Object* receiver = receiverOf(item, keepAlive);
    if (!receiver) {
        return false;
    }
    const Selector action = *item.action();
    receiver->performSelector(action, &item);
    return true;
}

} // namespace orvo::platform
