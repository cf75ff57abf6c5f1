// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Ownership of Cairo and Pango values, so that no destroy call is paired by
// hand. (GObjects such as PangoLayout use glib::GRef.)

#include <cairo.h>
#include <pango/pango.h>

#include <memory>

namespace orvo::platform::native {

template <typename T, void (*Free)(T*)> struct CFree {
    void operator()(T* p) const
    {
        if (p)
            Free(p);
    }
};

using CairoSurface = std::unique_ptr<cairo_surface_t, CFree<cairo_surface_t, cairo_surface_destroy>>;
using CairoContext = std::unique_ptr<cairo_t, CFree<cairo_t, cairo_destroy>>;
using CairoFontOptions = std::unique_ptr<cairo_font_options_t, CFree<cairo_font_options_t, cairo_font_options_destroy>>;
using FontDescription = std::unique_ptr<PangoFontDescription, CFree<PangoFontDescription, pango_font_description_free>>;

} // namespace orvo::platform::native
