// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/AppDelegate.h"
#include "tests/unit/Fixture.h"

#include <algorithm>

namespace orvo {
namespace {

namespace fake = platform::fake;

class AppDelegateTest : public test::UnitTest { };

TEST_F(AppDelegateTest, ConstructionMakesOnlyThePlayerWithItsRemoteCommands)
{
    AppDelegate delegate;
    EXPECT_TRUE(delegate.audioPlayer);
    EXPECT_FALSE(delegate.statusItem);
    EXPECT_FALSE(delegate.menuManager);
    EXPECT_EQ(fake::remoteHandlerCount(fake::Command::Play), 1);
    EXPECT_EQ(fake::remoteHandlerCount(fake::Command::Pause), 1);
    EXPECT_EQ(fake::remoteHandlerCount(fake::Command::TogglePlayPause), 1);
    EXPECT_TRUE(fake::statusItems().empty());
    EXPECT_TRUE(fake::hotKeyRegistrations().empty());
}

TEST_F(AppDelegateTest, LaunchBuildsTrayAndMenuBeforeAskingForNotifications)
{
    AppDelegate delegate;
    auto& app = platform::Application::sharedApplication();
    app.setDelegate(&delegate);
    app.run();

    ASSERT_EQ(fake::statusItems().size(), 1u);
    EXPECT_EQ(fake::statusItemLengths()[0], -1);
    EXPECT_EQ(delegate.statusItem, fake::statusItems()[0]);
    ASSERT_TRUE(delegate.menuManager);
    EXPECT_EQ(fake::hotKeyRegistrations().size(), 5u);

    const auto& e = fake::events();
    const auto at = [&](const std::string& prefix) {
        return std::find_if(e.begin(), e.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; })
            - e.begin();
    };
    // Item, hotkeys, updater, picture, defaults, menu, then the permission request.
    EXPECT_LT(at("statusBar.statusItemWithLength"), at("hotKey.register"));
    EXPECT_LT(at("hotKey.register"), at("updater.create started"));
    EXPECT_LT(at("updater.create"), at("button.setImage"));
    EXPECT_LT(at("button.setImage"), at("defaults.set hotkeyChannels"));
    EXPECT_LT(at("defaults.set hotkeyChannels"), at("statusItem.setMenu"));
    EXPECT_LT(at("statusItem.setMenu"), at("notifications.requestAuthorization"));
    EXPECT_EQ(fake::authorizationRequests(), (std::vector<unsigned> { 4 }));

    // A denied permission changes nothing.
    fake::answerAuthorization(false);
    EXPECT_TRUE(fake::click(fake::findItem(delegate.statusItem->menu(), { "Vessa 1" })));
    EXPECT_TRUE(delegate.audioPlayer->isPlaying());
}

} // namespace
} // namespace orvo
