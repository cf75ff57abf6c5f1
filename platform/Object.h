// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace orvo::platform {

class MenuItem;

// An action name as menu items carry it ("channelSelected:", "terminate:").
using Selector = std::string;

// The root object class: anything a menu item can name as its target.
//
// Contract:
// - Called on the main loop only.
// - respondsToSelector() decides automatic enabling: an item whose target
//   answers its action is enabled. It must not have side effects.
// - performSelector() is only called with selectors that respondsToSelector()
//   accepted; sender is the chosen item and may be null for actions that take
//   no sender.
class Object {
public:
    virtual ~Object() = default;
    virtual bool respondsToSelector(const Selector& selector) const;
    virtual void performSelector(const Selector& selector, MenuItem* sender);
};

} // namespace orvo::platform
