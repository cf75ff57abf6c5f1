// SPDX-License-Identifier: GPL-3.0-or-later
// The status item and its menu as a tray host sees them on a private session
// bus: registration with a watcher, properties, signals, com.canonical.dbusmenu.
#include "platform/Application.h"
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/PlaybackNotice.h"
#include "platform/linux/core/WarmUp.h"
#include "platform/linux/store/Volume.h"
#include "platform/linux/tray/Rendering.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace orvo::test {
namespace {

using namespace orvo::platform;

std::string printed(GVariant* value)
{
    return value ? GUnique<char>(g_variant_print(value, FALSE)).get() : "none";
}

class Recorder final : public Object {
public:
    bool respondsToSelector(const Selector&) const override { return true; }
    void performSelector(const Selector& selector, MenuItem* sender) override { calls.push_back({ selector, sender }); }
    std::vector<std::pair<Selector, MenuItem*>> calls;
};

std::shared_ptr<MenuItem> item(const std::string& title, const std::shared_ptr<Recorder>& target,
    const Selector& action = "pick:", std::optional<int> state = std::nullopt)
{
    auto made = std::make_shared<MenuItem>(title, action, "");
    made->setTarget(target);
    if (state) {
        made->setState(*state);
    }
    return made;
}

// A node and its children, one line per item indented by depth: its
// properties, sorted, as GVariant text. dbusmenu leaves out properties at
// their default value (enabled, standard type, no toggle).
void describe(GVariant* node, int depth, std::vector<std::string>& lines, std::set<int>& ids)
{
    ids.insert(nodeId(node));
    GUnique<GVariant> properties(g_variant_get_child_value(node, 1));
    std::map<std::string, std::string> sorted;
    GVariantIter iter;
    g_variant_iter_init(&iter, properties.get());
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        sorted[key] = printed(GUnique<GVariant>(value).get());
    }
    std::string line(2 * depth, ' ');
    for (const auto& [name, text] : sorted) {
        line += (line.empty() || line.back() == ' ' ? "" : " ") + name + "=" + text;
    }
    lines.push_back(line);
    for (std::size_t i = 0; i < childCount(node); ++i) {
        describe(child(node, i).get(), depth + 1, lines, ids);
    }
}

class StatusItemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in the app: the application object exists before any menu, and
        // receives the actions of items without a target.
        Application::sharedApplication();
        item_ = StatusBar::systemStatusBar().statusItemWithLength(VariableStatusItemLength);
        // Served at once, without a watcher, with what GNOME needs to show it:
        // an Id and a Menu that answers (after libdbusmenu's own bus look-up).
        host_.emplace(itemName());
        ASSERT_TRUE(waitFor([&] { return static_cast<bool>(host_->layout()); }));
    }

    static std::string itemName() { return g_dbus_connection_get_unique_name(native::sessionBus()); }
    std::size_t layoutUpdates() const { return host_->count("LayoutUpdated"); }

    // The revision that the last LayoutUpdated announced.
    guint32 announcedRevision() const
    {
        guint32 revision = 0;
        for (const auto& signal : host_->signals()) {
            if (signal.member == "LayoutUpdated") {
                g_variant_get(signal.parameters.get(), "(ui)", &revision, nullptr);
            }
        }
        return revision;
    }

    // Publishes menu and waits until a host has been told of the revision
    // that GetLayout serves (an announcement from before may come first).
    void publish(std::shared_ptr<Menu> menu)
    {
        const std::size_t before = layoutUpdates();
        item_->setMenu(std::move(menu));
        ASSERT_TRUE(waitFor([&] {
            guint32 revision = 0;
            return layoutUpdates() > before && host_->layout(&revision) && revision == announcedRevision();
        }));
    }

    // The whole layout as describe() puts it; ids are unique, the root's is 0.
    std::vector<std::string> layoutLines(guint32* revision = nullptr)
    {
        std::vector<std::string> lines;
        std::set<int> ids;
        if (auto root = host_->layout(revision)) {
            EXPECT_EQ(nodeId(root.get()), 0);
            describe(root.get(), 0, lines, ids);
        }
        EXPECT_EQ(ids.size(), lines.size()) << "ids are unique across the tree";
        return lines;
    }

    PrivateBus bus_;
    std::shared_ptr<StatusItem> item_;
    std::optional<TestHost> host_;
};

using StatusNotifierItemTest = StatusItemTest;
using MenuExportTest = StatusItemTest;

TEST_F(StatusNotifierItemTest, ServesItselfAtOnceAndRegistersWithEachNewWatcher)
{
    for (const auto& [name, value] : { std::pair { "Id", "'orvomenu'" }, { "Status", "'Active'" },
             { "Title", "'OrvoMenu'" }, { "ItemIsMenu", "true" } }) {
        EXPECT_EQ(printed(host_->property(name).get()), value);
    }
    // What the player has to say about the stream is the tooltip's text.
    native::PlaybackNotice::instance().set(this, "Connecting…");
    ASSERT_TRUE(waitFor([&] { return host_->count("NewToolTip") == 1; }));
    EXPECT_EQ(printed(host_->property("ToolTip").get()), "('', [], 'OrvoMenu', 'Connecting…')");
    // Without a tray the user is told once what is missing. A panel that
    // starts later, quits or crashes and starts again gets the item each
    // time, once.
    ::testing::internal::CaptureStderr();
    waitFor([] { return false; }, std::chrono::seconds(6));
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        std::optional<TestWatcher> watcher(std::in_place);
        ASSERT_TRUE(waitFor([&] { return watcher->registrations().size() == 1; }));
        EXPECT_EQ(watcher->registrations()[0], itemName());
        host_->property("Id"); // a round trip for any second registration
        EXPECT_EQ(watcher->registrations().size(), 1u);
    }
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(told.find("orvomenu: no system tray shows its item"), 0u) << told;
    EXPECT_EQ(std::ranges::count(told, '\n'), 1) << told;
}

// Plasma opens the menu when Activate fails. A middle click chooses the
// checked channel again (pause or resume); the wheel steps the volume, which
// is kept with the settings (Plasma sends 120 a notch, most hosts 1).
TEST_F(StatusNotifierItemTest, MiddleClickChoosesTheCurrentChannelAgainAndTheWheelSetsTheVolume)
{
    TempDir config;
    g_setenv("XDG_CONFIG_HOME", config.path().c_str(), TRUE);
    auto target = std::make_shared<Recorder>();
    auto menu = std::make_shared<Menu>();
    menu->addItem(item("Vessa 1", target, "channelSelected:", 0));
    auto regional = std::make_shared<MenuItem>("Regional", std::nullopt, "");
    regional->setSubmenu(std::make_shared<Menu>());
    auto kelmora = item("Kelmora", target, "channelSelected:", 1);
    regional->submenu()->addItem(kelmora);
    menu->addItem(regional);
    publish(menu);
    EXPECT_TRUE(host_->callItem("Activate", g_variant_new("(ii)", 1, 1)).error);
    EXPECT_FALSE(host_->callItem("SecondaryActivate", g_variant_new("(ii)", 1, 1)).error);
    ASSERT_EQ(target->calls.size(), 1u);
    EXPECT_EQ(target->calls[0].second, kelmora.get());

    const std::tuple<int, const char*, double> notches[] = { { -120, "vertical", 0.95 }, { -1, "vertical", 0.9 },
        { 360, "vertical", 1 }, { -7, "horizontal", 1 }, { INT32_MIN, "vertical", 0 }, { 2, "vertical", 0.05 } };
    for (const auto& [delta, orientation, level] : notches) {
        EXPECT_FALSE(host_->callItem("Scroll", g_variant_new("(is)", delta, orientation)).error);
        EXPECT_NEAR(native::Volume::instance().level(), level, 1e-9) << delta;
    }
    native::Volume::instance().save(); // as quitting does
    EXPECT_NE(readFile(config.path() / "orvomenu/defaults.json").find("\"volume\": 0.05"), std::string::npos);
}

TEST_F(MenuExportTest, HostsReadLabelsSeparatorsChecksShortcutsAndSubmenus)
{
    auto target = std::make_shared<Recorder>();
    // Without a mask a key equivalent goes with Command, which is Control here.
    auto keyed = [](std::shared_ptr<MenuItem> made, const std::string& key, std::optional<std::uint64_t> mask) {
        made->setKeyEquivalent(key);
        if (mask) {
            made->setKeyEquivalentModifierMask(*mask);
        }
        return made;
    };
    auto menu = std::make_shared<Menu>();
    menu->addItem(keyed(item("\u23251: Vessa_1", target, "pick:", 1), "1", ModifierFlag::Option));
    menu->addItem(keyed(item("Vessa 2", target, "pick:", 0), "Q", std::nullopt));
    menu->addItem(MenuItem::separatorItem());
    menu->addItem(keyed(item("Switch off", target, "toggle:", 0), "k", ModifierFlag::Shift | ModifierFlag::Option));
    menu->addItem(keyed(item("Switch on", target, "other:", 1), "q", ModifierFlag::Command | ModifierFlag::Control));
    menu->addItem(keyed(item("No state", target, "plain:"), " ", 0));
    // Choices are counted per menu: one "toggle:" item alone in a submenu is
    // a switch there too, two "pick:" items there are choices.
    auto regional = std::make_shared<MenuItem>("Regional", std::nullopt, "");
    auto submenu = std::make_shared<Menu>();
    submenu->addItem(item("Zendo Tarvik", target, "toggle:", 0));
    submenu->addItem(item("Zendo Mosi", target, "pick:", 1));
    submenu->addItem(keyed(item("Kelmora", target, "pick:", 0), "", ModifierFlag::Option));
    regional->setSubmenu(submenu);
    menu->addItem(regional);
    menu->addItem(std::make_shared<MenuItem>("Unanswered", "nobodyAnswers:", ""));
    // The application answers terminate:.
    menu->addItem(std::make_shared<MenuItem>("Quit", "terminate:", "q"));
    publish(menu);
    EXPECT_EQ(item_->menu(), menu);

    // Hosts draw an empty box beside every unchecked check item: a switch
    // shows its state both ways, among choices only the chosen one is checked.
    const std::vector<std::string> expected = {
        "children-display='submenu'",
        "  label='Alt+1: Vessa__1' shortcut=[['Alt', '1']] toggle-state=1 toggle-type='checkmark'",
        "  label='Vessa 2' shortcut=[['Control', 'Shift', 'q']]",
        "  type='separator'",
        "  label='Switch off' shortcut=[['Alt', 'Shift', 'k']] toggle-state=0 toggle-type='checkmark'",
        "  label='Switch on' shortcut=[['Control', 'q']] toggle-state=1 toggle-type='checkmark'",
        "  label='No state' shortcut=[['space']]",
        "  children-display='submenu' label='Regional'",
        "    label='Zendo Tarvik' toggle-state=0 toggle-type='checkmark'",
        "    label='Zendo Mosi' toggle-state=1 toggle-type='checkmark'",
        "    label='Kelmora'",
        "  enabled=false label='Unanswered'",
        "  label='Quit' shortcut=[['Control', 'q']]",
    };
    EXPECT_EQ(layoutLines(), expected);
}

TEST_F(MenuExportTest, ABurstOfMenusInOneTurnIsOneLayoutUpdate)
{
    auto target = std::make_shared<Recorder>();
    auto menuWith = [&](const std::string& title) {
        auto menu = std::make_shared<Menu>();
        menu->addItem(item(title, target));
        return menu;
    };
    auto lines = [](const char* label) {
        return std::vector<std::string> { "children-display='submenu'", std::string("  label='") + label + "'" };
    };
    publish(menuWith("A"));
    const std::size_t afterFirst = layoutUpdates();
    const guint32 first = announcedRevision();
    guint32 revision = 0;
    EXPECT_EQ(layoutLines(&revision), lines("A"));
    EXPECT_EQ(revision, first);

    item_->setMenu(menuWith("B"));
    item_->setMenu(menuWith("C"));
    item_->setMenu(menuWith("D"));
    ASSERT_TRUE(waitFor([&] { return layoutUpdates() > afterFirst; }));
    // One new tree went out, not three, with the revision announced.
    EXPECT_EQ(layoutLines(&revision), lines("D"));
    EXPECT_GT(revision, first);
    EXPECT_EQ(revision, announcedRevision());
    // By the time that answer came back, no further announcement was made.
    EXPECT_EQ(layoutUpdates(), afterFirst + 1);
}

// A click sent just before a rebuild reaches the item that persists; one on
// an item that left is refused.
TEST_F(MenuExportTest, ClicksReachPersistingItemsAcrossRebuildsAndOldMenusAreReleased)
{
    auto oldTarget = std::make_shared<Recorder>();
    auto newTarget = std::make_shared<Recorder>();
    auto oldMenu = std::make_shared<Menu>();
    auto oldItem = item("Play", oldTarget);
    oldMenu->addItem(oldItem);
    oldMenu->addItem(item("Gone", oldTarget));
    oldMenu->addItem(item("Chosen", oldTarget));
    publish(oldMenu);
    const int playId = nodeId(host_->item({ "Play" }).get());
    const int goneId = nodeId(host_->item({ "Gone" }).get());
    const int chosenId = nodeId(host_->item({ "Chosen" }).get());

    auto newMenu = std::make_shared<Menu>();
    newMenu->addItem(item("Other", newTarget));
    auto play = item("Play", newTarget);
    newMenu->addItem(play);
    newMenu->addItem(item("Chosen", newTarget, "pick:", 1));
    publish(newMenu);
    EXPECT_EQ(nodeId(host_->item({ "Play" }).get()), playId);
    EXPECT_NE(nodeId(host_->item({ "Other" }).get()), goneId);
    // Hosts fix an id's kind when they first meet it: a check item comes new.
    EXPECT_NE(nodeId(host_->item({ "Chosen" }).get()), chosenId);

    // The replaced menu is gone, not kept alive by the exporter.
    std::weak_ptr<MenuItem> watch = oldItem;
    oldItem.reset();
    oldMenu.reset();
    EXPECT_TRUE(watch.expired());

    // Opening the menu is the cue to get playback ready for the click.
    static int openings = 0;
    native::whenMenuOpens([] { ++openings; });
    EXPECT_TRUE(
        host_->call(itemName(), host_->menuPath(), "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0))
            .value);
    EXPECT_EQ(openings, 1);

    // Hovering chooses nothing; a click performs the current item's action once.
    EXPECT_TRUE(host_->event(goneId, "clicked").error);
    ASSERT_TRUE(host_->event(playId, "hovered").value);
    auto reply = host_->event(playId, "clicked");
    ASSERT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
    ASSERT_TRUE(waitFor([&] { return !newTarget->calls.empty(); }));
    host_->layout(); // one more round trip for any second delivery
    ASSERT_EQ(newTarget->calls.size(), 1u);
    EXPECT_EQ(newTarget->calls[0].first, "pick:");
    EXPECT_EQ(newTarget->calls[0].second, play.get());
    EXPECT_TRUE(oldTarget->calls.empty());
}

} // namespace
} // namespace orvo::test
