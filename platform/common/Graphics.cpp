// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Graphics.h"

#include <algorithm>
#include <vector>

namespace orvo::platform {

namespace {
std::vector<Image*>& focusStack()
{
    static std::vector<Image*> stack;
    return stack;
}
} // namespace

Font Font::systemFontOfSize(double pointSize)
{
    return Font { "system", pointSize };
}

double Font::smallSystemFontSize()
{
    return 11;
}

Image::Image(Size size)
    : size_(size)
{
}

void Image::lockFocus()
{
    focusStack().push_back(this);
}

void Image::unlockFocus()
{
    auto& stack = focusStack();
    // Unlocking an image that is not on top still removes it, so an unbalanced
    // caller cannot leave drawing directed at a dead image.
    auto it = std::find(stack.rbegin(), stack.rend(), this);
    if (it != stack.rend()) {
        stack.erase(std::next(it).base());
    }
}

void Image::drawInRect(Rect rect) const
{
    Image* destination = focusedImage();
    if (!destination || destination == this) {
        return;
    }
    destination->addOperation(ImageDrawing { shared_from_this(), rect });
}

Image* focusedImage()
{
    auto& stack = focusStack();
    return stack.empty() ? nullptr : stack.back();
}

void drawAtPoint(const std::string& text, Point point, const TextAttributes& attributes)
{
    if (Image* destination = focusedImage()) {
        destination->addOperation(TextDrawing { text, point, attributes });
    }
}

bool isBuiltInSymbol(const std::string& name)
{
    return name == antennaSymbolName;
}

} // namespace orvo::platform
