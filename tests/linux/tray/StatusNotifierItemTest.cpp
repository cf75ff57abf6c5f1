// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a tray host sees it on a private session bus: how it
// finds the watcher, what its properties hold, which signals announce changes.
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/tray/Rendering.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace orvo::test {
namespace {

using namespace orvo::platform;

class StatusNotifierItemTest : public ::testing::Test {
protected:
    std::string itemName() { return g_dbus_connection_get_unique_name(native::sessionBus()); }

    std::shared_ptr<StatusItem> makeItem()
    {
        return StatusBar::systemStatusBar().statusItemWithLength(VariableStatusItemLength);
    }

    std::string stringProperty(TestHost& host, const char* name)
    {
        auto value = host.property(name);
        if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
            return "<missing " + std::string(name) + ">";
        }
        return g_variant_get_string(value.get(), nullptr);
    }

    PrivateBus bus_;
};

TEST_F(StatusNotifierItemTest, ServesItselfAtOnceAndRegistersWithEachNewWatcher)
{
    auto item = makeItem();
    // Without a watcher the item just waits; its object is already served,
    // with what GNOME needs to show it: an Id and a Menu that answers.
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "Id"), "orvomenu");
    EXPECT_EQ(stringProperty(host, "Status"), "Active");
    EXPECT_EQ(stringProperty(host, "Title"), "OrvoMenu");
    auto itemIsMenu = host.property("ItemIsMenu");
    ASSERT_TRUE(itemIsMenu);
    EXPECT_TRUE(g_variant_get_boolean(itemIsMenu.get()));
    auto menuPath = host.property("Menu");
    ASSERT_TRUE(menuPath && g_variant_is_of_type(menuPath.get(), G_VARIANT_TYPE_OBJECT_PATH));
    // libdbusmenu serves the menu after a bus look-up of its own.
    EXPECT_TRUE(
        waitFor([&] { return host.getLayout(g_variant_get_string(menuPath.get(), nullptr)).value != nullptr; }));

    // A panel that starts later, quits or crashes and starts again gets the
    // item each time, once.
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        auto watcher = std::make_optional<TestWatcher>();
        ASSERT_TRUE(waitFor([&] { return watcher->registrations().size() == 1; }));
        EXPECT_EQ(watcher->registrations()[0].service, itemName());
        EXPECT_EQ(watcher->registrations()[0].sender, itemName());
        host.property("Id"); // a round trip for any second registration
        EXPECT_EQ(watcher->registrations().size(), 1u);
        watcher.reset();
    }
}

TEST_F(StatusNotifierItemTest, IconPixmapCarriesTheRenderedSquaresOfThePanelsSizes)
{
    auto item = makeItem();
    TestHost host(itemName());
    auto image = Image::imageWithSystemSymbolName(antennaSymbolName, std::nullopt);
    item->button()->setImage(image);
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));

    // The sides panels ask for, at 1x and 2x, each with width, height and the
    // bytes as rendered (how they are rendered is RenderingTest's).
    auto pixmaps = host.property("IconPixmap");
    ASSERT_TRUE(pixmaps && g_variant_is_of_type(pixmaps.get(), G_VARIANT_TYPE("a(iiay)")));
    std::vector<int> sides;
    for (std::size_t i = 0; i < g_variant_n_children(pixmaps.get()); ++i) {
        GUnique<GVariant> pixmap(g_variant_get_child_value(pixmaps.get(), i));
        int width = 0;
        int height = 0;
        GVariant* bytesRaw = nullptr;
        g_variant_get(pixmap.get(), "(ii@ay)", &width, &height, &bytesRaw);
        GUnique<GVariant> bytes(bytesRaw);
        sides.push_back(width);
        SCOPED_TRACE(width);
        EXPECT_EQ(height, width);
        gsize n = 0;
        const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes.get(), &n, 1));
        EXPECT_EQ(std::vector<std::uint8_t>(data, data + n), native::renderImageInSquare(*image, width).argb);
    }
    EXPECT_EQ(sides, (std::vector<int> { 16, 22, 24, 32, 44, 48, 64, 96 }));
}

TEST_F(StatusNotifierItemTest, TitleFeedsTitleToolTipAndLabelAndOnlyChangesAreAnnounced)
{
    auto item = makeItem();
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "");

    // Hosts space their label themselves: the leading space goes.
    item->button()->setTitle(" Vessa 1");
    ASSERT_TRUE(waitFor([&] { return host.count("XAyatanaNewLabel") == 1; }));
    EXPECT_EQ(host.count("NewTitle"), 1u);
    EXPECT_EQ(host.count("NewToolTip"), 1u);
    EXPECT_EQ(host.count("NewIcon"), 0u);
    EXPECT_EQ(stringProperty(host, "Title"), "Vessa 1");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "Vessa 1");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabelGuide"), "Vessa 1");
    for (const auto& signal : host.signals()) {
        if (signal.member == "XAyatanaNewLabel") {
            GUnique<gchar> printed(g_variant_print(signal.parameters.get(), FALSE));
            EXPECT_STREQ(printed.get(), "('Vessa 1', 'Vessa 1')");
        }
    }
    auto tooltip = host.property("ToolTip");
    ASSERT_TRUE(tooltip && g_variant_is_of_type(tooltip.get(), G_VARIANT_TYPE("(sa(iiay)ss)")));
    const gchar* tipTitle = nullptr;
    g_variant_get_child(tooltip.get(), 2, "&s", &tipTitle);
    EXPECT_STREQ(tipTitle, "Vessa 1");

    // The same title again, a font (hosts pick their own) and an equal
    // picture twice change nothing a host sees beyond the one new picture.
    item->button()->setTitle(" Vessa 1");
    item->button()->setFont(Font::systemFontOfSize(Font::smallSystemFontSize()));
    auto antenna = [] { return Image::imageWithSystemSymbolName(antennaSymbolName, std::nullopt); };
    item->button()->setImage(antenna());
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));
    item->button()->setImage(antenna());

    // Clearing the title clears the label; Title and ToolTip fall back to the
    // application's name, so hosts that show no label still name the item.
    item->button()->setTitle("");
    ASSERT_TRUE(waitFor([&] { return host.count("XAyatanaNewLabel") == 2; }));
    EXPECT_EQ(host.count("NewTitle"), 2u);
    EXPECT_EQ(host.count("NewToolTip"), 2u);
    EXPECT_EQ(host.count("NewIcon"), 1u);
    EXPECT_EQ(stringProperty(host, "Title"), "OrvoMenu");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "");
}

TEST_F(StatusNotifierItemTest, ActivateFailsSoThatHostsOpenTheMenuAndOtherCallsAnswer)
{
    auto item = makeItem();
    TestHost host(itemName());
    struct Case {
        const char* method;
        GVariant* parameters;
        bool fails;
    };
    // Plasma calls Activate on a left click and SecondaryActivate on a middle
    // one, and opens the menu only when the call fails.
    const Case cases[] = {
        { "Activate", g_variant_new("(ii)", 10, 10), true },
        { "SecondaryActivate", g_variant_new("(ii)", 10, 10), true },
        { "ContextMenu", g_variant_new("(ii)", 10, 10), false },
        { "Scroll", g_variant_new("(is)", 1, "vertical"), false },
        { "ProvideXdgActivationToken", g_variant_new("(s)", "token"), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        auto reply = host.call(itemName(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", c.method, c.parameters);
        if (!c.fails) {
            EXPECT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
            continue;
        }
        ASSERT_TRUE(reply.error);
        EXPECT_TRUE(g_error_matches(reply.error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED))
            << reply.error->message;
    }
}

} // namespace
} // namespace orvo::test
