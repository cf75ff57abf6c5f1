// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Turns the platform's recorded images into pixels, the way tray hosts want
// them: ARGB32 with straight alpha, bytes in network order (A, R, G, B).

#include "platform/Graphics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvo::platform::native {

struct Raster {
    int width = 0;
    int height = 0;
    // width * height pixels, row by row from the top, 4 bytes each: A, R, G,
    // B, colour not multiplied by alpha.
    std::vector<std::uint8_t> argb;
};

// Renders image at scale (1 = one pixel per point). The raster is the image's
// size times scale, rounded up; an empty or absurdly large image gives an empty
// raster. Nested images are drawn as vectors, so 2x stays crisp.
Raster renderImage(const Image& image, double scale);

// Renders image into a side x side square, scaled to fit and centred, so that
// it keeps its proportions; the rest of the square is transparent. Hosts fit
// whatever they get into a square slot, and a wide picture would be squeezed.
Raster renderImageInSquare(const Image& image, int side);

// The font family Pango gets for a modelled font: the "system" family is the
// desktop's default sans.
std::string pangoFamilyFor(const Font& font);

} // namespace orvo::platform::native
