// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Graphics.h"
#include "platform/Menu.h"

#include <memory>
#include <optional>
#include <string>

namespace orvo::platform {

// What the status item shows: a picture and a title beside it.
//
// Contract: main loop only. Each setter takes effect for the user at the latest
// on the next main-loop turn; setting an equal value again changes nothing the
// user or a tray host can see.
class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    virtual void setImage(std::shared_ptr<const Image> image) = 0;
    virtual void setTitle(const std::string& title) = 0; // "" clears it
    virtual void setFont(const Font& font) = 0;

    virtual std::shared_ptr<const Image> image() const = 0;
    virtual std::string title() const = 0;
    virtual std::optional<Font> font() const = 0;
};

// The application's item in the panel's tray.
//
// Contract: main loop only. button() may be absent (callers then leave the
// picture alone). setMenu() replaces the whole menu that drops from the item;
// the previous menu is released. The item stays in the tray for the whole run,
// also across tray restarts.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    virtual StatusBarButton* button() = 0;
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
    virtual std::shared_ptr<Menu> menu() const = 0;
};

inline constexpr double VariableStatusItemLength = -1;

// The panel's tray.
//
// Contract: systemStatusBar() always returns the same object.
// statusItemWithLength() always returns an item (a tray that is not running yet
// shows it once it appears); the length is a hint, VariableStatusItemLength
// fits picture and title.
class StatusBar {
public:
    virtual ~StatusBar() = default;
    static StatusBar& systemStatusBar();
    virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
};

} // namespace orvo::platform
