// SPDX-License-Identifier: GPL-3.0-or-later
// Images rendered to pixels with the real Cairo, Pango and fonts installed.
#include "platform/linux/tray/Rendering.h"
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orvo::test {
namespace {

using namespace orvo::platform;

// An image whose left half is red and right half blue: colour emoji squares
// stretched over it (the image model has no plain fill).
std::shared_ptr<Image> redBlueImage(Size size)
{
    auto image = std::make_shared<Image>(size);
    image->lockFocus();
    for (const auto& [square, left] : { std::pair { "\U0001F7E5", 0.0 }, { "\U0001F7E6", size.width / 2 } }) {
        auto glyph = std::make_shared<Image>(sizeWithAttributes(square, { Font::systemFontOfSize(14) }));
        glyph->lockFocus();
        drawAtPoint(square, { 0, 0 }, { Font::systemFontOfSize(14) });
        glyph->unlockFocus();
        glyph->drawInRect({ { left, 0 }, { size.width / 2, size.height } });
    }
    image->unlockFocus();
    return image;
}

// Bytes A, R, G, B, straight alpha. The antenna is dark with a white halo, so
// it reads on dark and light panels. A picture in a square is scaled to fit,
// centred; half-transparent edge pixels of the red half keep a full red (with
// premultiplied values they would be as dark as they are transparent).
TEST(RenderingTest, PicturesKeepTheirColoursAndProportionsInEverySquare)
{
    const auto antenna = Image::imageWithSystemSymbolName(antennaSymbolName, std::nullopt);
    ASSERT_TRUE(antenna);
    const struct {
        std::shared_ptr<Image> image;
        double scale; // renderImage at this scale, or
        int side; // > 0: renderImageInSquare of this side
        double inkWidth, inkHeight; // the ink's share of the raster, give or take a little
    } cases[] = {
        { antenna, 1, 0, 1, 1 },
        { antenna, 2, 0, 1, 1 },
        { redBlueImage({ 34, 17 }), 0, 16, 1, 0.5 }, // the tray picture's shape, at GNOME's size
        { redBlueImage({ 34, 17 }), 0, 96, 1, 0.5 },
        { redBlueImage({ 10, 30 }), 0, 24, 1 / 3.0, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("scale " + std::to_string(c.scale) + ", side " + std::to_string(c.side));
        const auto raster
            = c.side > 0 ? native::renderImageInSquare(*c.image, c.side) : native::renderImage(*c.image, c.scale);
        const auto at
            = [&](int x, int y) { return &raster.argb[(static_cast<std::size_t>(y) * raster.width + x) * 4]; };
        int left = raster.width, right = -1, top = raster.height, bottom = -1, dark = 0, light = 0, softRed = 0;
        for (int y = 0; y < raster.height; ++y) {
            for (int x = 0; x < raster.width; ++x) {
                const std::uint8_t* p = at(x, y);
                if (p[0] > 30 && p[0] < 160 && p[1] > p[3] + 60 && x < raster.width / 2) {
                    ++softRed;
                    EXPECT_GT(p[1], 170) << "at " << x << "," << y << " alpha " << int(p[0]);
                }
                if (p[0] >= 128) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                    dark += std::max({ p[1], p[2], p[3] }) < 100;
                    light += std::min({ p[1], p[2], p[3] }) > 200;
                }
            }
        }
        const double w = raster.width, h = raster.height;
        ASSERT_GT(right, 0);
        EXPECT_NEAR(right - left + 1, c.inkWidth * w, w / 8 + 1);
        EXPECT_NEAR(bottom - top + 1, c.inkHeight * h, h / 8 + 1);
        if (c.side == 0) {
            EXPECT_EQ(raster.width, 12 * c.scale);
            EXPECT_GT(dark, 0);
            EXPECT_GT(light, 0);
            continue;
        }
        EXPECT_NEAR(left, w - 1 - right, 1.5) << "centred across";
        EXPECT_NEAR(top, h - 1 - bottom, 1.5) << "centred down";
        const int middle = (top + bottom) / 2;
        const std::uint8_t* red = at((3 * left + right) / 4, middle);
        const std::uint8_t* blue = at((left + 3 * right) / 4, middle);
        EXPECT_EQ(red[0], 255);
        EXPECT_GT(red[1], 180);
        EXPECT_LT(red[3], 100);
        EXPECT_EQ(blue[0], 255);
        EXPECT_GT(blue[3], 180);
        EXPECT_LT(blue[1], 100);
        EXPECT_GT(softRed, 0);
    }
}

} // namespace
} // namespace orvo::test
