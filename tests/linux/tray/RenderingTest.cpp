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

struct Ink {
    int pixels = 0;
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    int coloured = 0; // clearly saturated, opaque pixels
    int dark = 0;
    int light = 0;
};

const std::uint8_t* pixelAt(const Raster& raster, int x, int y)
{
    return &raster.argb[(static_cast<std::size_t>(y) * raster.width + x) * 4];
}

Ink inkOf(const Raster& raster)
{
    Ink ink;
    for (int y = 0; y < raster.height; ++y) {
        for (int x = 0; x < raster.width; ++x) {
            const std::uint8_t* p = pixelAt(raster, x, y);
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

std::shared_ptr<Image> textImage(const std::string& text, double pointSize, Size canvas, Point at = { 0, 0 })
{
    auto image = std::make_shared<Image>(canvas);
    image->lockFocus();
    drawAtPoint(text, at, { Font::systemFontOfSize(pointSize) });
    image->unlockFocus();
    return image;
}

std::shared_ptr<Image> measuredText(const std::string& text, double pointSize)
{
    return textImage(text, pointSize, sizeWithAttributes(text, { Font::systemFontOfSize(pointSize) }));
}

// inner scaled into rect of a new canvas.
std::shared_ptr<Image> placed(const std::shared_ptr<Image>& inner, Size canvas, Rect rect)
{
    auto image = std::make_shared<Image>(canvas);
    image->lockFocus();
    inner->drawInRect(rect);
    image->unlockFocus();
    return image;
}

// A part of the raster in fractions of its size, from the top-left.
struct Box {
    double left, top, right, bottom;
};
constexpr Box kWhole { 0, 0, 1, 1 };
constexpr Box kNowhere { 1, 1, 0, 0 }; // asks ink to reach nothing in particular

// An image of the given size, its left half red and its right half blue:
// colour emoji squares stretched over it (the image model has no plain fill).
std::shared_ptr<Image> redBlueImage(Size size)
{
    auto image = std::make_shared<Image>(size);
    image->lockFocus();
    measuredText("\U0001F7E5", 14)->drawInRect({ { 0, 0 }, { size.width / 2, size.height } });
    measuredText("\U0001F7E6", 14)->drawInRect({ { size.width / 2, 0 }, { size.width / 2, size.height } });
    image->unlockFocus();
    return image;
}

TEST(RenderingTest, InkLandsWhereItWasDrawnAtEveryScaleAndInEverySquare)
{
    enum class Look { Ink, Colour, DarkWithHalo, RedThenBlue };
    struct Case {
        std::string what;
        std::shared_ptr<Image> image;
        double scale;
        int side; // > 0: rendered into a square of that side instead
        Box within; // all ink lies inside, give or take a pixel
        Box reaches; // the ink's extent covers this, give or take slack pixels
        double slack;
        Look look;
    };
    std::vector<Case> cases;
    for (double scale : { 1.0, 2.0 }) {
        // What was measured is what is drawn: ink runs from edge to edge.
        for (double points : { 11.0, 14.0, 20.0 }) {
            cases.push_back({ "text at " + std::to_string(points), measuredText("Kelmora Mm", points), scale, 0, kWhole,
                { 0, 0.5, 1, 0.5 }, 4 * scale, Look::Ink });
        }
        // A monochrome fallback glyph would have ink but no colour.
        cases.push_back(
            { "flag", measuredText("\U0001F1E9\U0001F1EA", 14), scale, 0, kWhole, kNowhere, 0, Look::Colour });
        // Dark figure, white halo: it reads on dark and light panels.
        auto antenna = Image::imageWithSystemSymbolName(antennaSymbolName, std::nullopt);
        ASSERT_TRUE(antenna);
        cases.push_back({ "antenna", antenna, scale, 0, kWhole, kWhole, 2 * scale, Look::DarkWithHalo });
        // The image model's origin is bottom-left with y up.
        const Size mm = sizeWithAttributes("Mm", { Font::systemFontOfSize(14) });
        cases.push_back({ "text at y = 0", textImage("Mm", 14, { mm.width * 2, mm.height * 3 }), scale, 0,
            { 0, 0.5, 0.5, 1 }, kNowhere, 0, Look::Ink });
        cases.push_back({ "image in the top-right quarter",
            placed(measuredText("Mm", 14), { mm.width * 2, mm.height * 2 }, { { mm.width, mm.height }, mm }), scale, 0,
            { 0.5, 0, 1, 0.5 }, kNowhere, 0, Look::Ink });
        cases.push_back({ "symbol at the right end", placed(antenna, { 40, 12 }, { { 28, 0 }, { 12, 12 } }), scale, 0,
            { 0.7, 0, 1, 1 }, kNowhere, 0, Look::Ink });
        cases.push_back({ "symbol at half size", placed(antenna, { 24, 24 }, { { 0, 0 }, { 12, 12 } }), scale, 0,
            { 0, 0.5, 0.5, 1 }, kNowhere, 0, Look::Ink });
    }
    // Square canvases: the picture scaled to fit, its longer side spanning the
    // square, centred; the emoji's margin makes ink a little smaller than the
    // picture, never larger.
    const struct {
        Size picture;
        int side;
        Box box;
    } squares[] = {
        { { 34, 17 }, 16, { 0, 0.25, 1, 0.75 } }, // the tray picture's shape, at GNOME's size
        { { 34, 17 }, 22, { 0, 0.25, 1, 0.75 } },
        { { 34, 17 }, 96, { 0, 0.25, 1, 0.75 } },
        { { 10, 30 }, 24, { 1 / 3.0, 0, 2 / 3.0, 1 } },
        { { 20, 20 }, 32, kWhole },
    };
    for (const auto& square : squares) {
        cases.push_back(
            { std::to_string(square.picture.width) + "x" + std::to_string(square.picture.height) + " in a square",
                redBlueImage(square.picture), 1, square.side, square.box, square.box, square.side / 8.0,
                Look::RedThenBlue });
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what + " at " + std::to_string(c.scale) + "x, side " + std::to_string(c.side));
        const Raster raster
            = c.side > 0 ? native::renderImageInSquare(*c.image, c.side) : native::renderImage(*c.image, c.scale);
        const Size size = c.side > 0 ? Size { double(c.side), double(c.side) }
                                     : Size { c.image->size().width * c.scale, c.image->size().height * c.scale };
        ASSERT_EQ(raster.width, static_cast<int>(std::ceil(size.width - 1e-6)));
        ASSERT_EQ(raster.height, static_cast<int>(std::ceil(size.height - 1e-6)));
        const Ink ink = inkOf(raster);
        const double w = raster.width;
        const double h = raster.height;
        ASSERT_GT(ink.pixels, 0);
        EXPECT_GE(ink.left, c.within.left * w - 1);
        EXPECT_GE(ink.top, c.within.top * h - 1);
        EXPECT_LE(ink.right, c.within.right * w + 1);
        EXPECT_LE(ink.bottom, c.within.bottom * h + 1);
        EXPECT_LE(ink.left, c.reaches.left * w + c.slack);
        EXPECT_LE(ink.top, c.reaches.top * h + c.slack);
        EXPECT_GE(ink.right, c.reaches.right * w - 1 - c.slack);
        EXPECT_GE(ink.bottom, c.reaches.bottom * h - 1 - c.slack);
        if (c.look == Look::Colour) {
            EXPECT_GT(ink.coloured, w * h / 8);
        } else if (c.look == Look::DarkWithHalo) {
            EXPECT_GT(ink.dark, 0);
            EXPECT_GT(ink.light, 0);
            EXPECT_GT(ink.pixels, w * h / 6);
            EXPECT_LT(ink.pixels, w * h * 3 / 4);
        } else if (c.look == Look::RedThenBlue) {
            EXPECT_NEAR(ink.left, w - 1 - ink.right, 1.5) << "centred across";
            EXPECT_NEAR(ink.top, h - 1 - ink.bottom, 1.5) << "centred down";
            // Bytes A, R, G, B.
            const int middle = (ink.top + ink.bottom) / 2;
            const std::uint8_t* left = pixelAt(raster, (3 * ink.left + ink.right) / 4, middle);
            const std::uint8_t* right = pixelAt(raster, (ink.left + 3 * ink.right) / 4, middle);
            EXPECT_EQ(left[0], 255);
            EXPECT_GT(left[1], 180);
            EXPECT_LT(left[3], 100);
            EXPECT_EQ(right[0], 255);
            EXPECT_GT(right[3], 180);
            EXPECT_LT(right[1], 100);
            // Half-transparent edge pixels of the red square keep a full red:
            // with premultiplied values they would be as dark as they are
            // transparent.
            int softRed = 0;
            for (int y = 0; y < raster.height; ++y) {
                for (int x = 0; x < raster.width / 2; ++x) {
                    const std::uint8_t* p = pixelAt(raster, x, y);
                    if (p[0] > 30 && p[0] < 160 && p[1] > p[3] + 60) {
                        ++softRed;
                        EXPECT_GT(p[1], 170) << "at " << x << "," << y << " alpha " << int(p[0]);
                    }
                }
            }
            EXPECT_GT(softRed, 0);
        }
    }
    // A line of text is a little taller than its point size (one point is one
    // pixel here, not 1.33 as at 96 dpi).
    for (double points : { 11.0, 20.0 }) {
        const Size size = sizeWithAttributes("Kelmora Mm", { Font::systemFontOfSize(points) });
        EXPECT_GE(size.height, points);
        EXPECT_LE(size.height, points * 1.6);
    }
}

TEST(RenderingTest, DegenerateImagesRenderEmptyOrBlank)
{
    EXPECT_EQ(Image::imageWithSystemSymbolName("no.such.symbol", std::nullopt), nullptr);
    const Raster empties[] = {
        native::renderImage(Image(Size { 0, 12 }), 1),
        native::renderImage(Image(Size { 12, 12 }), 0),
        native::renderImage(Image(Size { 1e9, 12 }), 1),
        native::renderImageInSquare(*redBlueImage({ 34, 17 }), 0),
        native::renderImageInSquare(Image(Size { 0, 17 }), 16),
    };
    for (const Raster& raster : empties) {
        EXPECT_TRUE(raster.argb.empty());
    }
    // An image with nothing drawn renders fully transparent pixels.
    const Raster blank = native::renderImage(Image(Size { 3, 2 }), 2);
    EXPECT_EQ(blank.width, 6);
    EXPECT_EQ(blank.height, 4);
    EXPECT_TRUE(std::all_of(blank.argb.begin(), blank.argb.end(), [](std::uint8_t b) { return b == 0; }));
}

} // namespace
} // namespace orvo::test
