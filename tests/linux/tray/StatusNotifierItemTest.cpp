// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a tray host sees it on a private session bus: how it
// finds the watcher, what its properties hold, which signals announce changes.
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
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
    // with what GNOME needs to show it (an Id and a live Menu).
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "Id"), "orvomenu");
    EXPECT_EQ(stringProperty(host, "Status"), "Active");
    EXPECT_EQ(stringProperty(host, "Title"), "OrvoMenu");
    auto itemIsMenu = host.property("ItemIsMenu");
    ASSERT_TRUE(itemIsMenu);
    EXPECT_TRUE(g_variant_get_boolean(itemIsMenu.get()));
    auto menuPath = host.property("Menu");
    ASSERT_TRUE(menuPath && g_variant_is_of_type(menuPath.get(), G_VARIANT_TYPE_OBJECT_PATH));
    auto layout = host.getLayout(g_variant_get_string(menuPath.get(), nullptr));
    ASSERT_TRUE(layout.value) << (layout.error ? layout.error->message : "");

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

// An image whose left half is red and right half blue, drawn from colour
// emoji squares (the image model has no plain fill).
std::shared_ptr<Image> redBlueImage()
{
    TextAttributes attributes { Font::systemFontOfSize(14) };
    const Size cell = sizeWithAttributes("\U0001F7E5", attributes);
    auto image = std::make_shared<Image>(Size { 2 * cell.width, cell.height });
    image->lockFocus();
    drawAtPoint("\U0001F7E5", { 0, 0 }, attributes);
    drawAtPoint("\U0001F7E6", { cell.width, 0 }, attributes);
    image->unlockFocus();
    return image;
}

struct Pixel {
    int a, r, g, b;
};

struct Pixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb;

    Pixel at(int x, int y) const
    {
        const std::uint8_t* p = &argb[(static_cast<std::size_t>(y) * width + x) * 4];
        return { p[0], p[1], p[2], p[3] };
    }
};

std::vector<Pixmap> pixmapsOf(GVariant* pixmaps)
{
    std::vector<Pixmap> result;
    for (std::size_t i = 0; i < g_variant_n_children(pixmaps); ++i) {
        GUnique<GVariant> pixmap(g_variant_get_child_value(pixmaps, i));
        Pixmap p;
        GVariant* bytesRaw = nullptr;
        g_variant_get(pixmap.get(), "(ii@ay)", &p.width, &p.height, &bytesRaw);
        GUnique<GVariant> bytes(bytesRaw);
        gsize n = 0;
        const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes.get(), &n, 1));
        p.argb.assign(data, data + n);
        result.push_back(std::move(p));
    }
    return result;
}

TEST_F(StatusNotifierItemTest, IconPixmapIsSquareCanvasesInNetworkByteOrderWithStraightAlpha)
{
    auto item = makeItem();
    TestHost host(itemName());
    item->button()->setImage(redBlueImage());
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));

    auto variant = host.property("IconPixmap");
    ASSERT_TRUE(variant);
    const std::vector<Pixmap> pixmaps = pixmapsOf(variant.get());
    // The sides panels ask for, at 1x and 2x (where the picture lands in
    // them is RenderingTest's).
    std::vector<int> sides;
    for (const Pixmap& pixmap : pixmaps) {
        sides.push_back(pixmap.width);
    }
    EXPECT_EQ(sides, (std::vector<int> { 16, 22, 24, 32, 44, 48, 64, 96 }));

    for (const Pixmap& pixmap : pixmaps) {
        SCOPED_TRACE(pixmap.width);
        const int side = pixmap.width;
        ASSERT_EQ(pixmap.height, side);
        ASSERT_EQ(pixmap.argb.size(), static_cast<std::size_t>(side) * side * 4);

        // Red on the left, blue on the right: bytes A, R, G, B.
        const Pixel left = pixmap.at(side / 4, side / 2);
        const Pixel right = pixmap.at(side * 3 / 4, side / 2);
        EXPECT_EQ(left.a, 255);
        EXPECT_GT(left.r, 180);
        EXPECT_LT(left.b, 100);
        EXPECT_EQ(right.a, 255);
        EXPECT_GT(right.b, 180);
        EXPECT_LT(right.r, 100);

        // Half-transparent edge pixels of the red square keep a full red: with
        // premultiplied values they would be as dark as they are transparent.
        int softRed = 0;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side / 2; ++x) {
                const Pixel p = pixmap.at(x, y);
                if (p.a > 30 && p.a < 160 && p.r > p.b + 60) {
                    ++softRed;
                    EXPECT_GT(p.r, 170) << "at " << x << "," << y << " alpha " << p.a;
                }
            }
        }
        EXPECT_GT(softRed, 0);
    }
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
    item->button()->setImage(redBlueImage());
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));
    item->button()->setImage(redBlueImage());

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
