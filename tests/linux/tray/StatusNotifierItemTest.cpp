// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a tray host sees it on a private session bus: how it
// finds the watcher, what its properties hold, which signals announce changes.
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

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

Pixel pixelAt(GVariant* pixmap, double fx, double fy)
{
    gint32 width = 0;
    gint32 height = 0;
    GVariant* bytesRaw = nullptr;
    g_variant_get(pixmap, "(ii@ay)", &width, &height, &bytesRaw);
    GUnique<GVariant> bytes(bytesRaw);
    gsize n = 0;
    const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes.get(), &n, 1));
    const int x = static_cast<int>(fx * width);
    const int y = static_cast<int>(fy * height);
    const std::uint8_t* p = data + (static_cast<std::size_t>(y) * width + x) * 4;
    return { p[0], p[1], p[2], p[3] };
}

TEST_F(StatusNotifierItemTest, IconPixmapCarriesThePictureAtOneAndTwoTimesInNetworkByteOrder)
{
    auto item = makeItem();
    TestHost host(itemName());
    auto image = redBlueImage();
    item->button()->setImage(image);
    ASSERT_TRUE(waitFor([&] { return host.count("NewIcon") == 1; }));

    auto pixmaps = host.property("IconPixmap");
    ASSERT_TRUE(pixmaps);
    ASSERT_EQ(g_variant_n_children(pixmaps.get()), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        GUnique<GVariant> pixmap(g_variant_get_child_value(pixmaps.get(), i));
        gint32 width = 0;
        gint32 height = 0;
        GVariant* bytesRaw = nullptr;
        g_variant_get(pixmap.get(), "(ii@ay)", &width, &height, &bytesRaw);
        GUnique<GVariant> bytes(bytesRaw);
        const double scale = static_cast<double>(i + 1);
        EXPECT_EQ(width, static_cast<int>(std::ceil(image->size().width * scale - 1e-6)));
        EXPECT_EQ(height, static_cast<int>(std::ceil(image->size().height * scale - 1e-6)));
        EXPECT_EQ(g_variant_n_children(bytes.get()), static_cast<std::size_t>(width) * height * 4);

        const Pixel left = pixelAt(pixmap.get(), 0.25, 0.5);
        const Pixel right = pixelAt(pixmap.get(), 0.75, 0.5);
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
    auto pixmaps = host.property("IconPixmap");
    ASSERT_TRUE(pixmaps);
    GUnique<GVariant> pixmap(g_variant_get_child_value(pixmaps.get(), 0));
    gint32 width = 0;
    gint32 height = 0;
    GVariant* bytesRaw = nullptr;
    g_variant_get(pixmap.get(), "(ii@ay)", &width, &height, &bytesRaw);
    GUnique<GVariant> bytes(bytesRaw);
    gsize n = 0;
    const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes.get(), &n, 1));
    // Half-transparent edge pixels of the red square keep a full red: with
    // premultiplied values they would be as dark as they are transparent.
    int softRed = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            const std::uint8_t* p = data + (static_cast<std::size_t>(y) * width + x) * 4;
            if (p[0] > 30 && p[0] < 160 && p[1] > p[3] + 60) {
                ++softRed;
                EXPECT_GT(p[1], 170) << "at " << x << "," << y << " alpha " << int(p[0]);
            }
        }
    }
    EXPECT_GT(softRed, 0);
}

TEST_F(StatusNotifierItemTest, TitleFeedsTitleToolTipAndLabelAndAnnouncesOnlyChanges)
{
    auto item = makeItem();
    TestHost host(itemName());
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "");

    item->button()->setTitle(" Radio One");
    ASSERT_TRUE(waitFor([&] { return host.count("XAyatanaNewLabel") == 1; }));
    EXPECT_EQ(host.count("NewTitle"), 1u);
    EXPECT_EQ(host.count("NewToolTip"), 1u);
    EXPECT_EQ(stringProperty(host, "Title"), "Radio One");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabel"), "Radio One");
    EXPECT_EQ(stringProperty(host, "XAyatanaLabelGuide"), "Radio One");
    for (const auto& signal : host.signals()) {
        if (signal.member == "XAyatanaNewLabel") {
            const gchar* label = nullptr;
            const gchar* guide = nullptr;
            g_variant_get(signal.parameters.get(), "(&s&s)", &label, &guide);
            EXPECT_STREQ(label, "Radio One");
            EXPECT_STREQ(guide, "Radio One");
        }
    }
    auto tooltip = host.property("ToolTip");
    ASSERT_TRUE(tooltip);
    ASSERT_TRUE(g_variant_is_of_type(tooltip.get(), G_VARIANT_TYPE("(sa(iiay)ss)")));
    const gchar* tipTitle = nullptr;
    g_variant_get_child(tooltip.get(), 2, "&s", &tipTitle);
    EXPECT_STREQ(tipTitle, "Radio One");

    // The same title again, and a font (hosts pick their own), change nothing
    // a host sees; the picture that follows is the next announcement.
    item->button()->setTitle(" Radio One");
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

TEST_F(StatusNotifierItemTest, ActivationMethodsAnswerAndBadCallsGetErrors)
{
    auto item = makeItem();
    TestHost host(itemName());
    for (const char* method : { "Activate", "SecondaryActivate", "ContextMenu" }) {
        auto reply = host.call(
            itemName(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", method, g_variant_new("(ii)", 10, 10));
        EXPECT_TRUE(reply.value) << method;
    }
    auto scroll = host.call(itemName(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Scroll",
        g_variant_new("(is)", 1, "vertical"));
    EXPECT_TRUE(scroll.value);
    auto malformed = host.call(
        itemName(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", g_variant_new("(s)", "x"));
    EXPECT_TRUE(malformed.error);
}

} // namespace
} // namespace orvo::test
