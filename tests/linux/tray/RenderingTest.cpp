// SPDX-License-Identifier: GPL-3.0-or-later
// Images rendered to pixels with the real Cairo, Pango and fonts installed.
#include "platform/linux/tray/Rendering.h"
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace orvo::test {
namespace {

using namespace orvo::platform;
using native::Raster;

const std::string kFlag = "\U0001F1E9\U0001F1EA"; // two regional indicators
const std::string kAntenna = "antenna.radiowaves.left.and.right";

struct Ink {
    int pixels = 0;
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    int coloured = 0; // clearly saturated, opaque pixels
    int dark = 0;
    int light = 0;
};

Ink inkOf(const Raster& raster, int x0 = 0, int x1 = -1)
{
    Ink ink;
    if (x1 < 0) {
        x1 = raster.width;
    }
    for (int y = 0; y < raster.height; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::uint8_t* p = &raster.argb[(static_cast<std::size_t>(y) * raster.width + x) * 4];
            if (p[0] < 128) {
                continue;
            }
            ++ink.pixels;
            ink.left = std::min(ink.left, x);
            ink.right = std::max(ink.right, x);
            ink.top = std::min(ink.top, y);
            ink.bottom = std::max(ink.bottom, y);
            const int hi = std::max({ p[1], p[2], p[3] });
            const int lo = std::min({ p[1], p[2], p[3] });
            ink.coloured += (p[0] > 200 && hi - lo > 100) ? 1 : 0;
            ink.dark += hi < 100 ? 1 : 0;
            ink.light += lo > 200 ? 1 : 0;
        }
    }
    return ink;
}

std::shared_ptr<Image> textImage(const std::string& text, double pointSize, Size canvas, Point at)
{
    auto image = std::make_shared<Image>(canvas);
    image->lockFocus();
    drawAtPoint(text, at, { Font::systemFontOfSize(pointSize) });
    image->unlockFocus();
    return image;
}

TEST(RenderingTest, FlagEmojiDrawsInColourAtBothScales)
{
    const TextAttributes attributes { Font::systemFontOfSize(14) };
    const Size size = sizeWithAttributes(kFlag, attributes);
    auto image = textImage(kFlag, 14, size, { 0, 0 });
    for (double scale : { 1.0, 2.0 }) {
        SCOPED_TRACE(scale);
        const Raster raster = native::renderImage(*image, scale);
        ASSERT_EQ(raster.width, static_cast<int>(std::ceil(size.width * scale - 1e-6)));
        const Ink ink = inkOf(raster);
        // A monochrome fallback glyph would have ink but no colour.
        EXPECT_GT(ink.coloured, raster.width * raster.height / 8);
    }
}

TEST(RenderingTest, TextMeasuresInPixelsAtOneTimesAndFitsWhatIsDrawn)
{
    for (double points : { 11.0, 14.0, 20.0 }) {
        SCOPED_TRACE(points);
        const TextAttributes attributes { Font::systemFontOfSize(points) };
        const Size size = sizeWithAttributes("Kelmora Mm", attributes);
        // A line of text is a little taller than its point size (one point is
        // one pixel here, not 1.33 as at 96 dpi).
        EXPECT_GE(size.height, points);
        EXPECT_LE(size.height, points * 1.6);
        EXPECT_GT(size.width, points * 3);

        for (double scale : { 1.0, 2.0 }) {
            const Raster raster = native::renderImage(*textImage("Kelmora Mm", points, size, { 0, 0 }), scale);
            const Ink ink = inkOf(raster);
            ASSERT_GT(ink.pixels, 0);
            // Ink starts near the left edge and ends near the right one: what
            // was measured is what is drawn, at either scale.
            EXPECT_LE(ink.left, 3 * scale);
            EXPECT_GE(ink.right, raster.width - 4 * scale);
        }
    }
    EXPECT_GT(sizeWithAttributes("ab", { Font::systemFontOfSize(14) }).width,
        sizeWithAttributes("a", { Font::systemFontOfSize(14) }).width);
}

TEST(RenderingTest, OriginIsBottomLeftWithYUp)
{
    // Text at y = 0 of a tall image lands at the bottom of the pixels.
    const Size text = sizeWithAttributes("Mm", { Font::systemFontOfSize(14) });
    const Raster raster = native::renderImage(*textImage("Mm", 14, { text.width * 2, text.height * 3 }, { 0, 0 }), 1);
    const Ink ink = inkOf(raster);
    ASSERT_GT(ink.pixels, 0);
    EXPECT_GT(ink.top, raster.height / 2);
    EXPECT_LT(ink.right, raster.width / 2 + 2);

    // A nested image drawn into the top-right quarter lands there.
    auto inner = textImage("Mm", 14, text, { 0, 0 });
    auto outer = std::make_shared<Image>(Size { text.width * 2, text.height * 2 });
    outer->lockFocus();
    inner->drawInRect({ { text.width, text.height }, text });
    outer->unlockFocus();
    const Raster nested = native::renderImage(*outer, 2);
    const Ink placed = inkOf(nested);
    ASSERT_GT(placed.pixels, 0);
    EXPECT_GE(placed.left, nested.width / 2 - 1);
    EXPECT_LE(placed.bottom, nested.height / 2 + 1);
}

TEST(RenderingTest, NestedImageIsScaledIntoItsRectAndClippedToIt)
{
    auto symbol = Image::imageWithSystemSymbolName(kAntenna, std::nullopt);
    ASSERT_TRUE(symbol);
    auto picture = std::make_shared<Image>(Size { 40, 12 });
    picture->lockFocus();
    symbol->drawInRect({ { 28, 0 }, { 12, 12 } });
    picture->unlockFocus();
    const Raster raster = native::renderImage(*picture, 1);
    const Ink ink = inkOf(raster);
    ASSERT_GT(ink.pixels, 0);
    EXPECT_GE(ink.left, 28);

    // Scaled to half size, it stays inside the smaller rect.
    auto small = std::make_shared<Image>(Size { 24, 24 });
    small->lockFocus();
    symbol->drawInRect({ { 0, 0 }, { 12, 12 } });
    small->unlockFocus();
    const Ink smallInk = inkOf(native::renderImage(*small, 1));
    ASSERT_GT(smallInk.pixels, 0);
    EXPECT_LE(smallInk.right, 12);
    EXPECT_GE(smallInk.top, 12);
}

TEST(RenderingTest, AntennaSymbolFillsItsBoxWithWavesOnBothSidesAtBothScales)
{
    auto symbol = Image::imageWithSystemSymbolName(kAntenna, std::nullopt);
    ASSERT_TRUE(symbol);
    EXPECT_EQ(symbol->size().width, 12);
    EXPECT_EQ(symbol->size().height, 12);
    EXPECT_FALSE(symbol->isTemplate());

    for (double scale : { 1.0, 2.0 }) {
        SCOPED_TRACE(scale);
        const Raster raster = native::renderImage(*symbol, scale);
        ASSERT_EQ(raster.width, static_cast<int>(12 * scale));
        ASSERT_EQ(raster.height, static_cast<int>(12 * scale));
        const Ink ink = inkOf(raster);
        const int area = raster.width * raster.height;
        EXPECT_GT(ink.pixels, area / 6);
        EXPECT_LT(ink.pixels, area * 3 / 4);
        // Dark figure, white halo: it reads on dark and light panels.
        EXPECT_GT(ink.dark, 0);
        EXPECT_GT(ink.light, 0);
        // Spans most of the box, waves on the left and the right.
        EXPECT_LE(ink.left, 2 * scale);
        EXPECT_GE(ink.right, raster.width - 1 - 2 * scale);
        EXPECT_GE(ink.bottom, raster.height - 1 - 2 * scale);
        const int third = raster.width / 3;
        EXPECT_GT(inkOf(raster, 0, third).dark, 0);
        EXPECT_GT(inkOf(raster, raster.width - third, raster.width).dark, 0);
    }
}

// An image of the given size filled with red: a red square emoji stretched
// over it.
std::shared_ptr<Image> redImage(Size size)
{
    const TextAttributes attributes { Font::systemFontOfSize(14) };
    auto square = textImage("\U0001F7E5", 14, sizeWithAttributes("\U0001F7E5", attributes), { 0, 0 });
    auto image = std::make_shared<Image>(size);
    image->lockFocus();
    square->drawInRect({ { 0, 0 }, size });
    image->unlockFocus();
    return image;
}

TEST(RenderingTest, SquareCanvasesKeepThePicturesProportionsAndCentreIt)
{
    struct Case {
        Size picture;
        int side;
    };
    const Case cases[] = {
        { { 34, 17 }, 16 }, // the tray picture's shape, at GNOME's size
        { { 34, 17 }, 22 }, { { 34, 17 }, 96 }, { { 10, 30 }, 24 }, // tall
        { { 20, 20 }, 32 }, // already square
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.picture.width << "x" << c.picture.height << " in " << c.side);
        const Raster raster = native::renderImageInSquare(*redImage(c.picture), c.side);
        ASSERT_EQ(raster.width, c.side);
        ASSERT_EQ(raster.height, c.side);
        const Ink ink = inkOf(raster);
        ASSERT_GT(ink.pixels, 0);
        // The picture scaled to fit: its longer side spans the square, the
        // shorter one in proportion; the emoji's margin makes ink a little
        // smaller than the picture, never larger.
        const double scale = c.side / std::max(c.picture.width, c.picture.height);
        const double width = c.picture.width * scale;
        const double height = c.picture.height * scale;
        const int inkWidth = ink.right - ink.left + 1;
        const int inkHeight = ink.bottom - ink.top + 1;
        EXPECT_LE(inkWidth, width + 1);
        EXPECT_LE(inkHeight, height + 1);
        EXPECT_GE(inkWidth, 0.75 * width);
        EXPECT_GE(inkHeight, 0.75 * height);
        EXPECT_NEAR(ink.left, c.side - 1 - ink.right, 1.5) << "centred across";
        EXPECT_NEAR(ink.top, c.side - 1 - ink.bottom, 1.5) << "centred down";
        EXPECT_GT(ink.coloured, ink.pixels / 2);
    }
    EXPECT_TRUE(native::renderImageInSquare(*redImage({ 34, 17 }), 0).argb.empty());
    EXPECT_TRUE(native::renderImageInSquare(Image(Size { 0, 17 }), 16).argb.empty());
}

TEST(RenderingTest, OnlyBuiltInSymbolsExistAndDegenerateImagesRenderEmpty)
{
    EXPECT_EQ(Image::imageWithSystemSymbolName("no.such.symbol", std::nullopt), nullptr);
    EXPECT_EQ(Image::imageWithSystemSymbolName("", std::nullopt), nullptr);

    EXPECT_TRUE(native::renderImage(Image(Size { 0, 12 }), 1).argb.empty());
    EXPECT_TRUE(native::renderImage(Image(Size { 12, 12 }), 0).argb.empty());
    EXPECT_TRUE(native::renderImage(Image(Size { 1e9, 12 }), 1).argb.empty());

    // An empty image renders fully transparent pixels.
    const Raster blank = native::renderImage(Image(Size { 3, 2 }), 2);
    EXPECT_EQ(blank.width, 6);
    EXPECT_EQ(blank.height, 4);
    EXPECT_TRUE(std::all_of(blank.argb.begin(), blank.argb.end(), [](std::uint8_t b) { return b == 0; }));
}

} // namespace
} // namespace orvo::test
