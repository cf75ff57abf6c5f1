// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/tray/Symbols.h"
#include "platform/Graphics.h"

#include <cmath>
#include <numbers>

namespace orvo::platform {

namespace native {
namespace {

// The symbols are designed on a 12 x 12 grid, the size of the tray picture's
// symbol box, and scaled to whatever box they are drawn into.
constexpr double kGrid = 12;

// Panels are dark or light: a dark figure with a white halo reads on both.
constexpr double kInk[3] = { 0.24, 0.24, 0.24 };
constexpr double kHalo[3] = { 1, 1, 1 };
constexpr double kStroke = 1.25;
constexpr double kHaloWidth = 0.8;

void antennaPath(cairo_t* cr, bool fillParts)
{
    constexpr double cx = 6;
    constexpr double cy = 4.6;
    if (fillParts) {
        // The mast: a slim tower from the top ball down to the base line.
        // Whole-point edges at the top keep it sharp at 1x.
        cairo_move_to(cr, cx - 1, cy + 1);
        cairo_line_to(cr, cx + 1, cy + 1);
        cairo_line_to(cr, cx + 2.2, 11.5);
        cairo_line_to(cr, cx - 2.2, 11.5);
        cairo_close_path(cr);
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, 1.6, 0, 2 * std::numbers::pi);
        return;
    }
    // The waves: two arcs on each side around the top of the mast.
    constexpr double spread = 42 * std::numbers::pi / 180;
    for (double radius : { 3.2, 5.35 }) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, radius, std::numbers::pi - spread, std::numbers::pi + spread);
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, radius, -spread, spread);
    }
}

void drawAntenna(cairo_t* cr)
{
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);

    // Halo first, under every part, so the parts never get cut by it.
    cairo_set_source_rgb(cr, kHalo[0], kHalo[1], kHalo[2]);
    antennaPath(cr, true);
    cairo_set_line_width(cr, kHaloWidth);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
    antennaPath(cr, false);
    cairo_set_line_width(cr, kStroke + kHaloWidth);
    cairo_stroke(cr);

    cairo_set_source_rgb(cr, kInk[0], kInk[1], kInk[2]);
    antennaPath(cr, true);
    cairo_fill(cr);
    antennaPath(cr, false);
    cairo_set_line_width(cr, kStroke);
    cairo_stroke(cr);
}

} // namespace

void drawSymbol(cairo_t* cr, const std::string& name, double width, double height)
{
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height)) {
        return;
    }
    cairo_scale(cr, width / kGrid, height / kGrid);
    cairo_new_path(cr);
    if (name == antennaSymbolName) {
        drawAntenna(cr);
    }
}

} // namespace native

std::shared_ptr<Image> Image::imageWithSystemSymbolName(const std::string& name, const std::optional<std::string>&)
{
    if (!isBuiltInSymbol(name)) {
        return nullptr;
    }
    auto image = std::make_shared<Image>(Size { native::kGrid, native::kGrid });
    image->addOperation(SymbolDrawing { name });
    return image;
}

} // namespace orvo::platform
