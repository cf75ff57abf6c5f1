// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Object.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo::platform {

class Menu;

// Key-equivalent modifier flags, with the values the menu model uses.
namespace ModifierFlag {
inline constexpr std::uint64_t Shift = 1u << 17;
inline constexpr std::uint64_t Control = 1u << 18;
inline constexpr std::uint64_t Option = 1u << 19; // 0x80000
inline constexpr std::uint64_t Command = 1u << 20; // the default when no mask is set
} // namespace ModifierFlag

// One entry of a menu. A plain value object shared by both platforms: the
// platform only presents it (Linux exports it over D-Bus; the fake keeps it for
// tests) and calls performMenuItemAction() when the user chooses it.
//
// Contract: created and changed on the main loop only. An item belongs to at
// most one menu; menus are never edited once they are set on a status item.
class MenuItem {
public:
    // initWithTitle:action:keyEquivalent:. An absent action makes an item that
    // sends nothing; an empty key equivalent means none.
    MenuItem(std::string title, std::optional<Selector> action, std::string keyEquivalent);
    static std::shared_ptr<MenuItem> separatorItem();

    const std::string& title() const { return title_; }
    const std::optional<Selector>& action() const { return action_; }
    bool isSeparatorItem() const { return separator_; }

    // The target is held weakly, as a menu never owns its controller. An
    // item without a target sends its action to the application.
    void setTarget(const std::shared_ptr<Object>& target)
    {
        target_ = target;
        targetSet_ = static_cast<bool>(target);
    }
    std::shared_ptr<Object> target() const { return target_.lock(); }
    // Whether a target was set (even one that has gone away since).
    bool targetWasSet() const { return targetSet_; }

    void setTag(long tag) { tag_ = tag; }
    long tag() const { return tag_; }

    // 1 shows a check mark, 0 none.
    void setState(int state)
    {
        state_ = state;
        stateSet_ = true;
    }
    int state() const { return state_; }
    // Whether a state was set, even 0: the item is one that can be checked.
    // Items that share their action with siblings are choices of which one is
    // checked; one that alone sends its action is a setting switched on and
    // off, and platforms that draw an empty box beside unchecked items show it.
    bool stateWasSet() const { return stateSet_; }

    void setSubmenu(std::shared_ptr<Menu> submenu) { submenu_ = std::move(submenu); }
    const std::shared_ptr<Menu>& submenu() const { return submenu_; }

    void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
    const std::string& keyEquivalent() const { return keyEquivalent_; }

    // Without a mask set, a key equivalent is shown with Command.
    void setKeyEquivalentModifierMask(std::uint64_t mask) { modifierMask_ = mask; }
    std::uint64_t keyEquivalentModifierMask() const { return modifierMask_.value_or(ModifierFlag::Command); }

    // Automatic enabling: an item with a submenu is enabled; an item with an
    // action is enabled when its target (or, without one, the application)
    // answers the action; anything else is disabled. A target that has gone
    // away counts as not answering.
    bool isEnabled() const;

private:
    std::string title_;
    std::optional<Selector> action_;
    std::string keyEquivalent_;
    std::optional<std::uint64_t> modifierMask_;
    std::weak_ptr<Object> target_;
    bool targetSet_ = false;
    long tag_ = 0;
    int state_ = 0;
    bool stateSet_ = false;
    bool separator_ = false;
    std::shared_ptr<Menu> submenu_;
};

// What choosing an item does, the same on every platform: a disabled item does
// nothing; otherwise its action is sent to its target, or to the application
// when no target was set. Returns whether an action was sent.
bool performMenuItemAction(MenuItem& item);

// An ordered list of items. Plain value object, see MenuItem.
class Menu {
public:
    void addItem(std::shared_ptr<MenuItem> item) { items_.push_back(std::move(item)); }
    const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }

private:
    std::vector<std::shared_ptr<MenuItem>> items_;
};

} // namespace orvo::platform
