// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/tray/Rendering.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/tray/CairoPtr.h"
#include "platform/linux/tray/Symbols.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace orvo::platform {

namespace native {
namespace {

// Bounds what a malformed image can cost: a tray picture is a few dozen
// pixels, and images nest only a level or two.
constexpr double kMaxSide = 4096;
constexpr int kMaxDepth = 8;
constexpr double kFallbackPointSize = 13;

// Unhinted metrics: a text then measures the same at every scale, so what
// sizeWithAttributes() reports at 1x is what a 2x rendering fills, doubled.
void useScaleIndependentMetrics(PangoContext* context)
{
    CairoFontOptions options(cairo_font_options_create());
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(context, options.get());
    pango_context_set_round_glyph_positions(context, FALSE);
}

FontDescription descriptionFor(const Font& font)
{
    FontDescription description(pango_font_description_new());
    pango_font_description_set_family(description.get(), pangoFamilyFor(font).c_str());
    const double size = std::isfinite(font.pointSize) && font.pointSize > 0 && font.pointSize < 1000
        ? font.pointSize
        : kFallbackPointSize;
    // One point is one pixel at 1x, whatever DPI fontconfig assumes.
    pango_font_description_set_absolute_size(description.get(), size * PANGO_SCALE);
    return description;
}

glib::GRef<PangoLayout> layoutIn(PangoContext* context, const std::string& text, const TextAttributes& attributes)
{
    auto layout = glib::adopt(pango_layout_new(context));
    FontDescription description = descriptionFor(attributes.font);
    pango_layout_set_font_description(layout.get(), description.get());
    pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
    return layout;
}

Size logicalSize(PangoLayout* layout)
{
    PangoRectangle logical {};
    pango_layout_get_extents(layout, nullptr, &logical);
    return { static_cast<double>(logical.width) / PANGO_SCALE, static_cast<double>(logical.height) / PANGO_SCALE };
}

bool usableSize(Size size)
{
    return std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 && size.height > 0;
}

bool usableRect(Rect rect)
{
    return std::isfinite(rect.origin.x) && std::isfinite(rect.origin.y) && usableSize(rect.size);
}

// Draws image's operations into cr, whose user space is the image's box in
// points with the origin at the top-left and y downward. The image model has
// its origin at the bottom-left with y upward, so every y is flipped here.
void drawImage(cairo_t* cr, const Image& image, int depth)
{
    const Size box = image.size();
    for (const DrawingOperation& operation : image.operations()) {
        std::visit(
            [&](const auto& op) {
                using T = std::decay_t<decltype(op)>;
                if constexpr (std::is_same_v<T, TextDrawing>) {
                    if (!std::isfinite(op.at.x) || !std::isfinite(op.at.y)) {
                        return;
                    }
                    auto layout = glib::adopt(pango_cairo_create_layout(cr));
                    useScaleIndependentMetrics(pango_layout_get_context(layout.get()));
                    pango_layout_context_changed(layout.get());
                    FontDescription description = descriptionFor(op.attributes.font);
                    pango_layout_set_font_description(layout.get(), description.get());
                    pango_layout_set_text(layout.get(), op.text.data(), static_cast<int>(op.text.size()));
                    const Size size = logicalSize(layout.get());
                    cairo_save(cr);
                    // Plain text is black; colour glyphs (the flag) keep their own colours.
                    cairo_set_source_rgb(cr, 0, 0, 0);
                    cairo_move_to(cr, op.at.x, box.height - op.at.y - size.height);
                    pango_cairo_show_layout(cr, layout.get());
                    cairo_restore(cr);
                } else if constexpr (std::is_same_v<T, ImageDrawing>) {
                    if (!op.image || depth >= kMaxDepth || !usableRect(op.in) || !usableSize(op.image->size())) {
                        return;
                    }
                    const Size inner = op.image->size();
                    cairo_save(cr);
                    cairo_translate(cr, op.in.origin.x, box.height - op.in.origin.y - op.in.size.height);
                    cairo_scale(cr, op.in.size.width / inner.width, op.in.size.height / inner.height);
                    // A drawn image covers only its own box, as a bitmap would.
                    cairo_rectangle(cr, 0, 0, inner.width, inner.height);
                    cairo_clip(cr);
                    drawImage(cr, *op.image, depth + 1);
                    cairo_restore(cr);
                } else {
                    cairo_save(cr);
                    drawSymbol(cr, op.name, box.width, box.height);
                    cairo_restore(cr);
                }
            },
            operation);
    }
}

std::uint8_t unpremultiply(std::uint32_t channel, std::uint32_t alpha)
{
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (channel * 255 + alpha / 2) / alpha));
}

} // namespace

std::string pangoFamilyFor(const Font& font)
{
    if (font.family.empty() || font.family == "system") {
        return "Sans";
    }
    return font.family;
}

namespace {

// Draws image into a width x height raster, scaled by scale and shifted by
// (left, top) pixels; what lies outside stays transparent.
Raster rasterize(const Image& image, int w, int h, double scale, double left, double top)
{
    Raster raster;
    CairoSurface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        return raster;
    }
    {
        CairoContext cr(cairo_create(surface.get()));
        cairo_translate(cr.get(), left, top);
        cairo_scale(cr.get(), scale, scale);
        drawImage(cr.get(), image, 0);
    }
    cairo_surface_flush(surface.get());

    // Cairo keeps premultiplied pixels in native-endian 32-bit words; hosts
    // want straight alpha in the byte order A, R, G, B.
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    raster.width = w;
    raster.height = h;
    raster.argb.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    std::uint8_t* outPixel = raster.argb.data();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x, outPixel += 4) {
            std::uint32_t pixel;
            std::memcpy(&pixel, data + static_cast<std::ptrdiff_t>(y) * stride + x * 4, sizeof pixel);
            const std::uint32_t alpha = pixel >> 24;
            outPixel[0] = static_cast<std::uint8_t>(alpha);
            if (alpha == 0) {
                outPixel[1] = outPixel[2] = outPixel[3] = 0;
                continue;
            }
            outPixel[1] = unpremultiply((pixel >> 16) & 0xff, alpha);
            outPixel[2] = unpremultiply((pixel >> 8) & 0xff, alpha);
            outPixel[3] = unpremultiply(pixel & 0xff, alpha);
        }
    }
    return raster;
}

} // namespace

Raster renderImage(const Image& image, double scale)
{
    const Size size = image.size();
    if (!std::isfinite(scale) || scale <= 0 || !usableSize(size)) {
        return {};
    }
    // A hair of tolerance so that 17.000001 points do not grow a blank column.
    const double width = std::ceil(size.width * scale - 1e-6);
    const double height = std::ceil(size.height * scale - 1e-6);
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        return {};
    }
    return rasterize(image, static_cast<int>(width), static_cast<int>(height), scale, 0, 0);
}

Raster renderImageInSquare(const Image& image, int side)
{
    const Size size = image.size();
    if (side < 1 || side > kMaxSide || !usableSize(size)) {
        return {};
    }
    const double scale = side / std::max(size.width, size.height);
    // Whole-pixel offsets keep the picture's edges where they fall at scale.
    const double left = std::floor((side - size.width * scale) / 2 + 1e-6);
    const double top = std::floor((side - size.height * scale) / 2 + 1e-6);
    return rasterize(image, side, side, scale, left, top);
}

} // namespace native

Size sizeWithAttributes(const std::string& text, const TextAttributes& attributes)
{
    // One measuring context for the whole run: the default font map is shared
    // and measuring needs no surface.
    static glib::GRef<PangoContext> context = [] {
        auto created = glib::adopt(pango_font_map_create_context(pango_cairo_font_map_get_default()));
        native::useScaleIndependentMetrics(created.get());
        return created;
    }();
    auto layout = native::layoutIn(context.get(), text, attributes);
    return native::logicalSize(layout.get());
}

} // namespace orvo::platform
