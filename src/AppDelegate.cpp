// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/AppDelegate.h"

#include "platform/Notifications.h"

namespace orvo {

AppDelegate::AppDelegate()
    : audioPlayer(AudioPlayer::create())
{
}

AppDelegate::~AppDelegate()
{
    // Released in this order: the tray item, the player, the menu manager.
    statusItem.reset();
    audioPlayer.reset();
    menuManager.reset();
}

void AppDelegate::applicationDidFinishLaunching()
{
    statusItem = platform::StatusBar::systemStatusBar().statusItemWithLength(platform::VariableStatusItemLength);
    menuManager = MenuManager::create(statusItem, audioPlayer);
    menuManager->start();
    // The answer changes nothing: the application never posts a notification.
    platform::UserNotificationCenter::currentNotificationCenter().requestAuthorization(
        platform::AuthorizationOption::Alert, [](bool, const std::optional<std::string>&) {});
}

} // namespace orvo
