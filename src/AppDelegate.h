// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Application.h"
#include "platform/StatusBar.h"
#include "src/AudioPlayer.h"
#include "src/MenuManager.h"

#include <memory>

namespace orvo {

// Brings the application up: the audio player (and with it the media
// controls) at construction, the tray item and its menu once launching has
// finished.
class AppDelegate : public platform::Object, public platform::ApplicationDelegate {
public:
    AppDelegate();
    ~AppDelegate() override;

    void applicationDidFinishLaunching() override;

    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<AudioPlayer> audioPlayer;
    std::shared_ptr<MenuManager> menuManager;
};

} // namespace orvo
