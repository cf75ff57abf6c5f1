// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/MenuManager.h"
#include "tests/unit/Fixture.h"

namespace orvo {
namespace {

namespace fake = platform::fake;
using platform::AppServiceStatus;
using platform::MenuItem;
using platform::Value;
using test::channel;

class MenuManagerTest : public test::UnitTest {
protected:
    void SetUp() override
    {
        UnitTest::SetUp();
        statusItem = platform::StatusBar::systemStatusBar().statusItemWithLength(-1);
        player = AudioPlayer::create();
        manager = MenuManager::create(statusItem, player);
        manager->start();
    }

    std::shared_ptr<platform::Menu> menu() const { return statusItem->menu(); }
    std::shared_ptr<MenuItem> item(const std::vector<std::string>& path) const
    {
        auto found = fake::findItem(menu(), path);
        EXPECT_TRUE(found) << path.back();
        return found;
    }
    void click(const std::vector<std::string>& path) const { EXPECT_TRUE(fake::click(item(path))) << path.back(); }
    // Titles of the top level, "-" for separators.
    std::vector<std::string> topLevel() const
    {
        std::vector<std::string> titles;
        for (const auto& i : menu()->items()) {
            titles.push_back(i->isSeparatorItem() ? "-" : i->title());
        }
        return titles;
    }
    std::vector<std::string> checkedChannels() const
    {
        std::vector<std::string> checked;
        for (const auto& c : OrvoChannel::allChannels) {
            auto i = c.category == ChannelCategory::national
                ? item({ c.name })
                : item({ c.category == ChannelCategory::regional ? "regional" : "thematic", c.name });
            if (i->state() == 1) {
                checked.push_back(c.id);
            }
        }
        return checked;
    }
    std::string title() const { return statusItem->button()->title(); }

    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<AudioPlayer> player;
    std::shared_ptr<MenuManager> manager;
};

// National channels at the top, then the two category submenus, the settings
// and Quit, which goes to the application (Ctrl+Q).
TEST_F(MenuManagerTest, TopLevelOrderAndWhereQuitAndUpdatesGo)
{
    EXPECT_EQ(topLevel(),
        (std::vector<std::string> { "Vessa 1", "Vessa 2", "Vessa 3", "regional", "thematic", "-", "launch_at_login",
            "keyboard_shortcuts", "check_for_updates", "-", "quit" }));
    const auto quit = item({ "quit" });
    EXPECT_FALSE(quit->targetWasSet());
    EXPECT_EQ(quit->keyEquivalent(), "q");
    EXPECT_EQ(quit->keyEquivalentModifierMask(), platform::ModifierFlag::Command);
    EXPECT_EQ(fake::updaterCreateCount(), 1);
    EXPECT_TRUE(fake::updaterStartedOnCreate());
    click({ "check_for_updates" });
    EXPECT_EQ(fake::updateCheckCount(), 1);
    click({ "quit" });
    EXPECT_EQ(fake::terminateCount(), 1);
}

TEST_F(MenuManagerTest, ChoosingTogglesTheCurrentChannelAndSwitchesOthers)
{
    EXPECT_TRUE(checkedChannels().empty());
    EXPECT_EQ(title(), "");

    click({ "Vessa 1" });
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(checkedChannels(), (std::vector<std::string> { "vessa180a" }));
    EXPECT_EQ(title(), " Vessa 1");
    EXPECT_EQ(statusItem->button()->font()->pointSize, platform::Font::smallSystemFontSize());

    click({ "Vessa 1" });
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(checkedChannels(), (std::vector<std::string> { "vessa180a" }));
    EXPECT_EQ(title(), " Vessa 1");

    click({ "Vessa 1" });
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::players().size(), 1u); // resumed, not restarted

    click({ "regional", "Zendo Mosi" });
    EXPECT_EQ(fake::players().size(), 2u);
    EXPECT_EQ(checkedChannels(), (std::vector<std::string> { "zendomosi80a" }));
    EXPECT_EQ(title(), " Zendo Mosi");

    // A paused channel, then another one: switch, not resume.
    click({ "regional", "Zendo Mosi" });
    click({ "thematic", "Tik Nuk" });
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(player->currentChannel()->id, "tiknuk80a");
}

TEST_F(MenuManagerTest, EveryPlayerChangeRebuildsTheMenu)
{
    const int before = fake::countEvents("statusItem.setMenu");
    player->play(channel("vessa280a"));
    player->pause();
    player->resume();
    EXPECT_EQ(fake::sendRemoteCommand(fake::Command::TogglePlayPause), platform::RemoteCommandHandlerStatus::Success);
    EXPECT_EQ(fake::countEvents("statusItem.setMenu") - before, 4);
    EXPECT_EQ(title(), " Vessa 2");
}

TEST_F(MenuManagerTest, FirstStartSeedsTheNationalChannelsAndShowsThem)
{
    EXPECT_EQ(
        fake::defaults().at("hotkeyChannels"), Value::stringArray({ "vessa180a", "vessa280a", "vessa380a", "", "" }));
    const auto slots = item({ "keyboard_shortcuts" })->submenu()->items();
    ASSERT_EQ(slots.size(), 5u);
    EXPECT_EQ(slots[0]->title(), "\u23251: Vessa 1");
    EXPECT_EQ(slots[2]->title(), "\u23253: Vessa 3");
    EXPECT_EQ(slots[3]->title(), "\u23254: hotkey_none");
    EXPECT_EQ(slots[3]->submenu()->items()[0]->state(), 1);
    for (int i = 0; i < 3; ++i) {
        const auto channelItem = item({ OrvoChannel::allChannels[i].name });
        EXPECT_EQ(channelItem->keyEquivalent(), std::to_string(i + 1));
        EXPECT_EQ(channelItem->keyEquivalentModifierMask(), platform::ModifierFlag::Option);
    }
    EXPECT_EQ(item({ "regional", "Zendo Mosi" })->keyEquivalent(), "");
}

TEST_F(MenuManagerTest, AssigningDecodesTagsAndShowsTheLowestSlot)
{
    // Channel assigned to slots 2 and 4 shows ⌥2 and is checked in both.
    click({ "keyboard_shortcuts", "\u23254: hotkey_none", "Vessa 2" });
    EXPECT_EQ(fake::defaults().at("hotkeyChannels"),
        Value::stringArray({ "vessa180a", "vessa280a", "vessa380a", "vessa280a", "" }));
    EXPECT_EQ(item({ "Vessa 2" })->keyEquivalent(), "2");
    EXPECT_EQ(item({ "keyboard_shortcuts", "\u23254: Vessa 2", "Vessa 2" })->state(), 1);
    EXPECT_EQ(item({ "keyboard_shortcuts", "\u23252: Vessa 2", "Vessa 2" })->state(), 1);

    const std::vector<std::pair<long, std::vector<std::string>>> cases = {
        { 13, { "tiknuk80a", "vessa280a", "vessa380a", "vessa280a", "" } },
        { 300005, { "tiknuk80a", "vessa280a", "vessa380a", "vessa1quillo80a", "" } },
        { 200000, { "tiknuk80a", "vessa280a", "", "vessa1quillo80a", "" } },
        { 0, { "", "vessa280a", "", "vessa1quillo80a", "" } },
        { 100014, { "", "vessa280a", "", "vessa1quillo80a", "" } }, // beyond the catalogue: no change
    };
    for (const auto& [tag, expected] : cases) {
        MenuItem entry("x", "assignHotkey:", "");
        entry.setTag(tag);
        const int rebuilds = fake::countEvents("statusItem.setMenu");
        manager->assignHotkey(&entry);
        EXPECT_EQ(fake::defaults().at("hotkeyChannels"), Value::stringArray(expected)) << tag;
        EXPECT_EQ(fake::countEvents("statusItem.setMenu"), rebuilds + 1);
    }
    EXPECT_EQ(item({ "Vessa 2" })->keyEquivalent(), "2");
    EXPECT_EQ(item({ "Vessa 1" })->keyEquivalent(), "");
}

TEST_F(MenuManagerTest, HotkeysToggleSwitchOrDoNothing)
{
    fake::defaults()["hotkeyChannels"] = Value::stringArray({ "vessa180a", "kelmora80a", "", "gone", "" });
    const auto press = [](platform::UInt32 code) { fake::pressHotKey(code, platform::optionKey); };

    press(18);
    EXPECT_EQ(player->currentChannel()->id, "vessa180a");
    press(18);
    EXPECT_FALSE(player->isPlaying());
    press(18);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::players().size(), 1u);
    press(19);
    EXPECT_EQ(player->currentChannel()->id, "kelmora80a");

    const int rebuilds = fake::countEvents("statusItem.setMenu");
    press(20); // empty slot
    press(21); // id outside the catalogue
    EXPECT_EQ(fake::players().size(), 2u);
    EXPECT_EQ(fake::countEvents("statusItem.setMenu"), rebuilds);
}

TEST_F(MenuManagerTest, LaunchAtLoginFollowsTheServiceStatus)
{
    struct Case {
        AppServiceStatus status;
        bool fails;
        const char* call;
        int checkedAfter;
    };
    const std::vector<Case> cases = {
        { AppServiceStatus::NotRegistered, false, "loginItem.register", 1 },
        { AppServiceStatus::Enabled, false, "loginItem.unregister", 0 },
        { AppServiceStatus::RequiresApproval, false, "loginItem.register", 1 },
        { AppServiceStatus::NotFound, false, "loginItem.register", 1 },
        { AppServiceStatus::NotRegistered, true, "loginItem.register", 0 },
        { AppServiceStatus::Enabled, true, "loginItem.unregister", 1 },
    };
    for (const auto& c : cases) {
        fake::setLoginItemStatus(c.status);
        fake::setLoginItemCallsFail(c.fails);
        manager->rebuildMenu();
        EXPECT_EQ(item({ "launch_at_login" })->state(), c.status == AppServiceStatus::Enabled ? 1 : 0);
        fake::clearEvents();
        click({ "launch_at_login" });
        EXPECT_EQ(fake::countEvents(c.call), 1);
        EXPECT_EQ(fake::countEvents("statusItem.setMenu"), 1) << "rebuilt also after a failure";
        EXPECT_EQ(item({ "launch_at_login" })->state(), c.checkedAfter);
    }
}

TEST_F(MenuManagerTest, CallbacksDoNothingOnceTheManagerIsGone)
{
    std::weak_ptr<MenuManager> weak = manager;
    manager.reset();
    statusItem->setMenu(nullptr); // the menu's items are the last holders of targets, weakly
    EXPECT_TRUE(weak.expired());
    const int rebuilds = fake::countEvents("statusItem.setMenu");
    player->play(channel("vessa180a"));
    fake::pressHotKey(19, platform::optionKey);
    EXPECT_EQ(fake::countEvents("statusItem.setMenu"), rebuilds);
    EXPECT_EQ(player->currentChannel()->id, "vessa180a");
}

// ---- The picture.

class StatusPicture : public test::UnitTest {
protected:
    std::shared_ptr<MenuManager> makeManager()
    {
        auto item = platform::StatusBar::systemStatusBar().statusItemWithLength(-1);
        return MenuManager::create(item, AudioPlayer::create());
    }
};

TEST_F(StatusPicture, SizeRuleWithAndWithoutTheSymbol)
{
    struct Case {
        double textWidth, textHeight;
        bool symbols;
        double width, height;
    };
    const std::vector<Case> cases = {
        { 20, 16.8, true, 34, 16.8 },
        { 20, 10, true, 34, 12 },
        { 20, 12, true, 34, 12 },
        { 25, 18, false, 39, 18 },
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::setSymbolsAvailable(c.symbols);
        fake::setTextMetrics([&](const std::string&, const platform::TextAttributes&) {
            return platform::Size { c.textWidth, c.textHeight };
        });
        const auto image = makeManager()->menuBarIcon(MenuManager::flagText);
        EXPECT_DOUBLE_EQ(image->size().width, c.width);
        EXPECT_DOUBLE_EQ(image->size().height, c.height);
        EXPECT_FALSE(image->isTemplate());
        const auto& ops = image->operations();
        ASSERT_EQ(ops.size(), c.symbols ? 2u : 1u);
        const auto& text = std::get<platform::TextDrawing>(ops[0]);
        EXPECT_EQ(text.text, MenuManager::flagText);
        EXPECT_DOUBLE_EQ(text.attributes.font.pointSize, 14);
        EXPECT_DOUBLE_EQ(text.at.x, 0);
        EXPECT_DOUBLE_EQ(text.at.y, (c.height - c.textHeight) / 2);
        if (c.symbols) {
            const auto& symbol = std::get<platform::ImageDrawing>(ops[1]);
            EXPECT_DOUBLE_EQ(symbol.in.origin.x, c.textWidth + 2);
            EXPECT_DOUBLE_EQ(symbol.in.origin.y, (c.height - 12) / 2);
            EXPECT_DOUBLE_EQ(symbol.in.size.width, 12);
            EXPECT_DOUBLE_EQ(symbol.in.size.height, 12);
        }
    }
}

} // namespace
} // namespace orvo
