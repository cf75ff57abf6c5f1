// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Graphics.h"
#include "platform/Menu.h"
#include "platform/Object.h"
#include "platform/StatusBar.h"
#include "platform/Updater.h"
#include "src/AudioPlayer.h"
#include "src/HotkeyManager.h"
#include "src/Models.h"

#include <memory>
#include <string>
#include <vector>

namespace orvo {

// The tray's controller: owns the hotkey manager and the update controller,
// turns menu choices, hotkeys and the launch-at-login switch into calls on the
// other parts, and rebuilds the whole menu after every change. Main loop only.
class MenuManager : public platform::Object, public std::enable_shared_from_this<MenuManager> {
public:
    // Constructs the manager (registering the hotkeys and starting the
    // updater), then installs its callbacks in the audio player and the hotkey
    // manager; both hold the manager weakly.
    static std::shared_ptr<MenuManager> create(
        std::shared_ptr<platform::StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer);

    // Shows the picture, seeds the default hotkey channels where every slot is
    // empty, and builds the first menu.
    void start();

    // Menu actions.
    void channelSelected(platform::MenuItem* sender);
    void assignHotkey(platform::MenuItem* sender);
    void toggleLaunchAtLogin();

    // Builds the whole menu anew and sets it on the status item; refreshes the
    // picture and title first.
    void rebuildMenu();
    std::shared_ptr<platform::MenuItem> channelMenuItem(const OrvoChannel& channel);

    // The tray picture: the flag text, a 2-point gap and the antenna symbol in a
    // 12 × 12 box.
    std::shared_ptr<platform::Image> menuBarIcon(const std::string& flag);
    void updateStatusIcon();

    bool respondsToSelector(const platform::Selector& selector) const override;
    void performSelector(const platform::Selector& selector, platform::MenuItem* sender) override;

    // The fixed flag of the picture: the European Union's, two regional
    // indicator symbols.
    static constexpr const char* flagText = "\U0001F1EA\U0001F1FA";
    static constexpr int slotCount = 5;
    static constexpr long tagStride = 100000;

    const std::shared_ptr<HotkeyManager>& hotkeyManager() const { return hotkeyManager_; }

private:
    MenuManager(std::shared_ptr<platform::StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer);
    void hotkeyTriggered(int slot);
    // Chosen by menu or hotkey: toggles the current channel, else switches.
    void choose(const OrvoChannel& channel);
    std::shared_ptr<platform::MenuItem> slotMenuItem(int slot);

    std::shared_ptr<platform::StatusItem> statusItem_;
    std::shared_ptr<AudioPlayer> audioPlayer_;
    std::shared_ptr<platform::UpdaterController> updaterController_;
    std::shared_ptr<HotkeyManager> hotkeyManager_;
    std::vector<OrvoChannel> channels_;
};

} // namespace orvo
