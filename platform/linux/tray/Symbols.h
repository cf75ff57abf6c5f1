// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cairo.h>

#include <string>

namespace orvo::platform::native {

// Draws the built-in symbol name into the box (0, 0, width, height) of cr's
// user space (origin top-left, y down). Unknown names draw nothing.
void drawSymbol(cairo_t* cr, const std::string& name, double width, double height);

} // namespace orvo::platform::native
