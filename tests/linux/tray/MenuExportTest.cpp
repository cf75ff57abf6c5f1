// SPDX-License-Identifier: GPL-3.0-or-later
// The status item's menu as a tray host reads and clicks it over
// com.canonical.dbusmenu on a private session bus.
#include "platform/Application.h"
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/WarmUp.h"
#include "platform/linux/tray/MenuExporter.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

namespace orvo::test {
namespace {

using namespace orvo::platform;

class Recorder final : public Object {
public:
    bool respondsToSelector(const Selector&) const override { return true; }
    void performSelector(const Selector& selector, MenuItem* sender) override { calls.push_back({ selector, sender }); }
    std::vector<std::pair<Selector, MenuItem*>> calls;
};

std::shared_ptr<MenuItem> pickItem(
    const std::string& title, const std::shared_ptr<Recorder>& target, const std::string& key = "")
{
    auto item = std::make_shared<MenuItem>(title, "pick:", key);
    item->setTarget(target);
    return item;
}

// A node and its children as a host reads them, one line per item, indented
// by depth: every property the item carries, sorted, as GVariant text.
// dbusmenu leaves out properties at their default value (enabled, standard
// type, no toggle).
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
        GUnique<GVariant> owned(value);
        GUnique<char> text(g_variant_print(value, FALSE));
        sorted[key] = text.get();
    }
    std::string line(2 * depth, ' ');
    for (const auto& [name, text] : sorted) {
        line += (line.back() == ' ' || line.empty() ? "" : " ") + name + "=" + text;
    }
    lines.push_back(line);
    for (std::size_t i = 0; i < childCount(node); ++i) {
        describe(child(node, i).get(), depth + 1, lines, ids);
    }
}

class MenuExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in the app: the application object exists before any menu, and
        // receives the actions of items without a target.
        Application::sharedApplication();
        item_ = StatusBar::systemStatusBar().statusItemWithLength(VariableStatusItemLength);
        host_.emplace(g_dbus_connection_get_unique_name(native::sessionBus()));
        auto path = host_->property("Menu");
        ASSERT_TRUE(path);
        menuPath_ = g_variant_get_string(path.get(), nullptr);
        // The menu object is served once GetLayout answers; signals counted
        // from here on come from what the test does.
        ASSERT_TRUE(waitFor([&] { return static_cast<bool>(host_->getLayout(menuPath_).value); }));
    }

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
            return layoutUpdates() > before && layoutRoot(&revision) && revision == announcedRevision();
        }));
    }

    GUnique<GVariant> layoutRoot(guint32* revision = nullptr)
    {
        auto reply = host_->getLayout(menuPath_);
        EXPECT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
        if (!reply.value) {
            return nullptr;
        }
        if (revision) {
            g_variant_get_child(reply.value.get(), 0, "u", revision);
        }
        return GUnique<GVariant>(g_variant_get_child_value(reply.value.get(), 1));
    }

    // The whole layout as describe() puts it, checking that ids are unique
    // and that the root keeps id 0.
    std::vector<std::string> layoutLines(guint32* revision = nullptr)
    {
        std::vector<std::string> lines;
        std::set<int> ids;
        if (auto root = layoutRoot(revision)) {
            EXPECT_EQ(nodeId(root.get()), 0);
            describe(root.get(), 0, lines, ids);
        }
        EXPECT_EQ(ids.size(), lines.size()) << "ids are unique across the tree";
        return lines;
    }

    PrivateBus bus_;
    std::shared_ptr<StatusItem> item_;
    std::optional<TestHost> host_;
    std::string menuPath_;
};

TEST_F(MenuExportTest, HostsReadLabelsSeparatorsChecksShortcutsAndSubmenus)
{
    auto target = std::make_shared<Recorder>();
    auto item = [&](const std::string& title, const Selector& action, std::optional<int> state) {
        auto made = std::make_shared<MenuItem>(title, action, "");
        made->setTarget(target);
        if (state) {
            made->setState(*state);
        }
        return made;
    };
    auto menu = std::make_shared<Menu>();
    auto current = item("Vessa_1", "pick:", 1);
    current->setKeyEquivalent("1");
    current->setKeyEquivalentModifierMask(ModifierFlag::Option);
    menu->addItem(current);
    menu->addItem(item("Vessa 2", "pick:", 0));
    menu->addItem(MenuItem::separatorItem());
    menu->addItem(item("Switch off", "toggle:", 0));
    menu->addItem(item("Switch on", "other:", 1));
    menu->addItem(item("No state", "plain:", std::nullopt));
    // Choices are counted per menu: one "toggle:" item alone in a submenu is
    // a switch there too, two "pick:" items there are choices.
    auto regional = std::make_shared<MenuItem>("Regional", std::nullopt, "");
    auto submenu = std::make_shared<Menu>();
    submenu->addItem(item("Zendo Tarvik", "toggle:", 0));
    submenu->addItem(item("Zendo Mosi", "pick:", 1));
    submenu->addItem(item("Kelmora", "pick:", 0));
    regional->setSubmenu(submenu);
    menu->addItem(regional);
    menu->addItem(std::make_shared<MenuItem>("Unanswered", "nobodyAnswers:", ""));
    // Without a mask a key equivalent goes with Command, which is Control
    // here; the application answers terminate:.
    menu->addItem(std::make_shared<MenuItem>("Quit", "terminate:", "q"));
    publish(menu);
    EXPECT_EQ(item_->menu(), menu);

    // Hosts draw an empty box beside every unchecked check item: a switch
    // shows its state both ways, among choices only the chosen one is checked.
    const std::vector<std::string> expected = {
        "children-display='submenu'",
        "  label='Vessa__1' shortcut=[['Alt', '1']] toggle-state=1 toggle-type='checkmark'",
        "  label='Vessa 2'",
        "  type='separator'",
        "  label='Switch off' toggle-state=0 toggle-type='checkmark'",
        "  label='Switch on' toggle-state=1 toggle-type='checkmark'",
        "  label='No state'",
        "  children-display='submenu' label='Regional'",
        "    label='Zendo Tarvik' toggle-state=0 toggle-type='checkmark'",
        "    label='Zendo Mosi' toggle-state=1 toggle-type='checkmark'",
        "    label='Kelmora'",
        "  enabled=false label='Unanswered'",
        "  label='Quit' shortcut=[['Control', 'q']]",
    };
    EXPECT_EQ(layoutLines(), expected);

    // GTK hosts warn when an item that has a menu loses its children-display;
    // a root replaced by a new one, or left without children for a moment,
    // would lose it that way.
    publish(std::make_shared<Menu>());
    EXPECT_EQ(layoutLines(), std::vector<std::string> { "children-display='submenu'" });
    publish(menu);
    for (const auto& signal : host_->signals()) {
        if (signal.member == "ItemsPropertiesUpdated") {
            GUnique<GVariant> removed(g_variant_get_child_value(signal.parameters.get(), 1));
            GUnique<char> printed(g_variant_print(removed.get(), TRUE));
            EXPECT_EQ(g_variant_n_children(removed.get()), 0u) << printed.get();
        }
    }
}

TEST(DbusmenuPropertiesTest, ShortcutsNameModifiersAsLinuxDesktopsDoAndLabelsKeepUnderscores)
{
    struct Case {
        std::string key;
        std::optional<std::uint64_t> mask;
        std::vector<std::string> expected;
    };
    // Without a mask a key equivalent goes with Command, which is Control here.
    const std::vector<Case> cases = {
        { "1", ModifierFlag::Option, { "Alt", "1" } },
        { "q", std::nullopt, { "Control", "q" } },
        { "q", ModifierFlag::Command | ModifierFlag::Control, { "Control", "q" } },
        { "Q", std::nullopt, { "Control", "Shift", "q" } },
        { "k", ModifierFlag::Shift | ModifierFlag::Option, { "Alt", "Shift", "k" } },
        { " ", 0, { "space" } },
        { "", ModifierFlag::Option, {} },
    };
    for (const Case& c : cases) {
        MenuItem item("x", "pick:", c.key);
        if (c.mask) {
            item.setKeyEquivalentModifierMask(*c.mask);
        }
        EXPECT_EQ(native::dbusmenuShortcut(item.keyEquivalent(), item.keyEquivalentModifierMask()), c.expected)
            << "key '" << c.key << "'";
    }
    EXPECT_EQ(native::dbusmenuLabel("_a__b_"), "__a____b__");
}

TEST_F(MenuExportTest, ABurstOfMenusInOneTurnIsOneLayoutUpdate)
{
    auto target = std::make_shared<Recorder>();
    auto menuWith = [&](const std::string& title) {
        auto menu = std::make_shared<Menu>();
        menu->addItem(pickItem(title, target));
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

TEST_F(MenuExportTest, OnlyAClickOnTheCurrentTreePerformsAndOldMenusAreReleased)
{
    auto oldTarget = std::make_shared<Recorder>();
    auto newTarget = std::make_shared<Recorder>();
    auto oldMenu = std::make_shared<Menu>();
    auto oldItem = pickItem("Play", oldTarget);
    oldMenu->addItem(oldItem);
    publish(oldMenu);
    auto oldNode = findNode(layoutRoot().get(), "Play");
    ASSERT_TRUE(oldNode);
    const int staleId = nodeId(oldNode.get());

    auto newMenu = std::make_shared<Menu>();
    newMenu->addItem(pickItem("Other", newTarget));
    auto play = pickItem("Play", newTarget);
    newMenu->addItem(play);
    publish(newMenu);
    auto newNode = findNode(layoutRoot().get(), "Play");
    ASSERT_TRUE(newNode);
    ASSERT_NE(nodeId(newNode.get()), staleId);

    // The replaced menu is gone, not kept alive by the exporter.
    std::weak_ptr<MenuItem> watch = oldItem;
    oldItem.reset();
    oldMenu.reset();
    EXPECT_TRUE(watch.expired());

    // A click on the old tree is answered with an error; hovering chooses
    // nothing; a click on the current tree performs its item's action once.
    EXPECT_TRUE(host_->event(menuPath_, staleId, "clicked").error);
    ASSERT_TRUE(host_->event(menuPath_, nodeId(newNode.get()), "hovered").value);
    auto reply = host_->event(menuPath_, nodeId(newNode.get()), "clicked");
    ASSERT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
    ASSERT_TRUE(waitFor([&] { return !newTarget->calls.empty(); }));
    layoutRoot(); // one more round trip for any second delivery
    ASSERT_EQ(newTarget->calls.size(), 1u);
    EXPECT_EQ(newTarget->calls[0].first, "pick:");
    EXPECT_EQ(newTarget->calls[0].second, play.get());
    EXPECT_TRUE(oldTarget->calls.empty());
}

// A host opening the menu is the cue to get playback ready for the click that
// follows.
TEST_F(MenuExportTest, OpeningTheMenuStartsTheWarmUp)
{
    static int openings = 0;
    native::whenMenuOpens([] { ++openings; });
    const int before = openings;
    auto reply = host_->call(g_dbus_connection_get_unique_name(native::sessionBus()), menuPath_,
        "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
    EXPECT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
    EXPECT_EQ(openings, before + 1);
}

} // namespace
} // namespace orvo::test
