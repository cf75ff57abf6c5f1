// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a tray host sees it on a private session bus: how it
// finds the watcher, what its properties hold, which signals announce changes.
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

TEST_F(StatusNotifierItemTest, RegistersItsBusNameWithARunningWatcherAndDescribesItself)
{
    TestWatcher watcher;
    auto item = makeItem();
    ASSERT_NE(item->button(), nullptr);

    ASSERT_TRUE(waitFor([&] { return watcher.registrations().size() == 1; }));
    EXPECT_EQ(watcher.registrations()[0].service, itemName());
    EXPECT_EQ(watcher.registrations()[0].sender, itemName());

    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "Id"), "orvomenu");
    EXPECT_EQ(stringProperty(host, "Category"), "ApplicationStatus");
    EXPECT_EQ(stringProperty(host, "Status"), "Active");
    EXPECT_EQ(stringProperty(host, "IconName"), "");
    EXPECT_EQ(stringProperty(host, "Title"), "OrvoMenu");
    auto itemIsMenu = host.property("ItemIsMenu");
    ASSERT_TRUE(itemIsMenu);
    EXPECT_TRUE(g_variant_get_boolean(itemIsMenu.get()));

    // The Menu property names a live dbusmenu object, which shows an empty
    // menu before the first setMenu.
    auto menuPath = host.property("Menu");
    ASSERT_TRUE(menuPath && g_variant_is_of_type(menuPath.get(), G_VARIANT_TYPE_OBJECT_PATH));
    auto layout = host.getLayout(g_variant_get_string(menuPath.get(), nullptr));
    ASSERT_TRUE(layout.value) << (layout.error ? layout.error->message : "");
    GUnique<GVariant> root(g_variant_get_child_value(layout.value.get(), 1));
    EXPECT_EQ(nodeId(root.get()), 0);
    EXPECT_EQ(childCount(root.get()), 0u);

    // Nothing registers twice while the watcher stays.
    host.property("Id");
    EXPECT_EQ(watcher.registrations().size(), 1u);
}

TEST_F(StatusNotifierItemTest, ShowsUpWhenAWatcherAppearsLaterAndAgainAfterItRestarts)
{
    auto item = makeItem();
    // Without a watcher the item just waits; its object is already served.
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "Id"), "orvomenu");

    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        auto watcher = std::make_optional<TestWatcher>();
        ASSERT_TRUE(waitFor([&] { return watcher->registrations().size() == 1; }));
        EXPECT_EQ(watcher->registrations()[0].service, itemName());
        watcher.reset(); // the panel quits or crashes
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

TEST_F(StatusNotifierItemTest, IconPixmapOffersSquareCanvasesWithThePictureCentredInNetworkByteOrder)
{
    auto item = makeItem();
    TestHost host(itemName());
    // Twice as wide as high, so it must stand in the middle half of a square.
    auto image = redBlueImage();
    item->button()->setImage(image);
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));

    auto variant = host.property("IconPixmap");
    ASSERT_TRUE(variant);
    const std::vector<Pixmap> pixmaps = pixmapsOf(variant.get());
    // The sides panels ask for, at 1x and 2x.
    std::vector<int> sides;
    for (const Pixmap& pixmap : pixmaps) {
        sides.push_back(pixmap.width);
    }
    EXPECT_EQ(sides, (std::vector<int> { 16, 22, 24, 32, 44, 48, 64, 96 }));

    const double aspect = image->size().width / image->size().height;
    for (const Pixmap& pixmap : pixmaps) {
        SCOPED_TRACE(pixmap.width);
        const int side = pixmap.width;
        ASSERT_EQ(pixmap.height, side);
        ASSERT_EQ(pixmap.argb.size(), static_cast<std::size_t>(side) * side * 4);

        // Opaque rows hold the picture; above and below it is transparent.
        int top = side;
        int bottom = -1;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                if (pixmap.at(x, y).a > 128) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
            }
        }
        // The emoji squares leave a margin and sit a little high in their
        // line, so the ink is a little lower than the picture, never higher,
        // and nearly centred.
        const double pictureHeight = side / aspect;
        EXPECT_LE(bottom - top + 1, pictureHeight + 1);
        EXPECT_GE(bottom - top + 1, 0.6 * pictureHeight);
        EXPECT_NEAR(top, side - 1 - bottom, 1 + 0.1 * side) << "centred";

        // Red on the left, blue on the right: bytes A, R, G, B.
        const Pixel left = pixmap.at(side / 4, side / 2);
        const Pixel right = pixmap.at(side * 3 / 4, side / 2);
        EXPECT_EQ(left.a, 255);
        EXPECT_GT(left.r, 180);
        EXPECT_LT(left.b, 100);
        EXPECT_EQ(right.a, 255);
        EXPECT_GT(right.b, 180);
        EXPECT_LT(right.r, 100);
    }

    // Setting an equal picture again announces nothing: the next change is
    // the next signal.
    item->button()->setImage(redBlueImage());
    item->button()->setTitle("x");
    ASSERT_TRUE(waitFor([&] { return host.count("NewTitle") == 1; }));
    EXPECT_EQ(host.count("NewIcon"), 1u);
}

TEST_F(StatusNotifierItemTest, IconPixmapKeepsStraightAlphaAtSoftEdges)
{
    auto item = makeItem();
    TestHost host(itemName());
    item->button()->setImage(redBlueImage());
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));
    auto variant = host.property("IconPixmap");
    ASSERT_TRUE(variant);
    for (const Pixmap& pixmap : pixmapsOf(variant.get())) {
        SCOPED_TRACE(pixmap.width);
        // Half-transparent edge pixels of the red square keep a full red: with
        // premultiplied values they would be as dark as they are transparent.
        int softRed = 0;
        for (int y = 0; y < pixmap.height; ++y) {
            for (int x = 0; x < pixmap.width / 2; ++x) {
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

TEST_F(StatusNotifierItemTest, TitleFeedsTitleToolTipAndLabelAndAnnouncesOnlyChanges)
{
    auto item = makeItem();
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "");

    item->button()->setTitle(" Vessa 1");
    ASSERT_TRUE(waitFor([&] { return host.count("XAyatanaNewLabel") == 1; }));
    EXPECT_EQ(host.count("NewTitle"), 1u);
    EXPECT_EQ(host.count("NewToolTip"), 1u);
    EXPECT_EQ(stringProperty(host, "Title"), "Vessa 1");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "Vessa 1");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabelGuide"), "Vessa 1");
    for (const auto& signal : host.signals()) {
        if (signal.member == "XAyatanaNewLabel") {
            const gchar* label = nullptr;
            const gchar* guide = nullptr;
            g_variant_get(signal.parameters.get(), "(&s&s)", &label, &guide);
            EXPECT_STREQ(label, "Vessa 1");
            EXPECT_STREQ(guide, "Vessa 1");
        }
    }
    auto tooltip = host.property("ToolTip");
    ASSERT_TRUE(tooltip);
    ASSERT_TRUE(g_variant_is_of_type(tooltip.get(), G_VARIANT_TYPE("(sa(iiay)ss)")));
    const gchar* tipTitle = nullptr;
    g_variant_get_child(tooltip.get(), 2, "&s", &tipTitle);
    EXPECT_STREQ(tipTitle, "Vessa 1");

    // The same title again, and a font (hosts pick their own), change nothing
    // a host sees; the picture that follows is the next announcement.
    item->button()->setTitle(" Vessa 1");
    item->button()->setFont(Font::systemFontOfSize(Font::smallSystemFontSize()));
    item->button()->setImage(Image::imageWithSystemSymbolName("antenna.radiowaves.left.and.right", std::nullopt));
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));
    EXPECT_EQ(host.count("NewTitle"), 1u);
    EXPECT_EQ(host.count("XAyatanaNewLabel"), 1u);

    // Clearing the title clears the label; Title and ToolTip fall back to the
    // application's name, so hosts that show no label still name the item.
    item->button()->setTitle("");
    ASSERT_TRUE(waitFor([&] { return host.count("XAyatanaNewLabel") == 2; }));
    EXPECT_EQ(host.count("NewTitle"), 2u);
    EXPECT_EQ(host.count("NewToolTip"), 2u);
    EXPECT_EQ(stringProperty(host, "Title"), "OrvoMenu");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "");
    EXPECT_EQ(item->button()->title(), "");
}

TEST_F(StatusNotifierItemTest, ActivateFailsSoThatHostsOpenTheMenuAndOtherCallsAnswer)
{
    auto item = makeItem();
    TestHost host(itemName());
    struct Case {
        const char* method;
        GVariant* parameters;
        const char* error; // null: the call succeeds
    };
    // Plasma calls Activate on a left click and SecondaryActivate on a middle
    // one, and opens the menu only when the call fails.
    const Case cases[] = {
        { "Activate", g_variant_new("(ii)", 10, 10), "org.freedesktop.DBus.Error.NotSupported" },
        { "SecondaryActivate", g_variant_new("(ii)", 10, 10), "org.freedesktop.DBus.Error.NotSupported" },
        { "ContextMenu", g_variant_new("(ii)", 10, 10), nullptr },
        { "Scroll", g_variant_new("(is)", 1, "vertical"), nullptr },
        { "ProvideXdgActivationToken", g_variant_new("(s)", "token"), nullptr },
        { "Activate", g_variant_new("(s)", "x"), "org.freedesktop.DBus.Error.InvalidArgs" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        auto reply = host.call(itemName(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", c.method, c.parameters);
        if (!c.error) {
            EXPECT_TRUE(reply.value) << (reply.error ? reply.error->message : "");
            continue;
        }
        ASSERT_TRUE(reply.error);
        glib::GUnique<gchar> name(g_dbus_error_get_remote_error(reply.error.get()));
        EXPECT_STREQ(name.get(), c.error);
    }
}

} // namespace
} // namespace orvo::test
