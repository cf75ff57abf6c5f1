// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvo::platform {

// Lengths are points; on Linux one point is one pixel at 1x.
struct Point {
    double x = 0;
    double y = 0;
};
struct Size {
    double width = 0;
    double height = 0;
};
struct Rect {
    Point origin;
    Size size;
};

// A font: the system font family at a point size.
//
// Contract: systemFontOfSize() never fails; smallSystemFontSize() is the size of
// small labels such as a status item's title.
struct Font {
    std::string family;
    double pointSize = 0;

    static Font systemFontOfSize(double pointSize);
    static double smallSystemFontSize();
};

// Text attributes; only the font is modelled.
struct TextAttributes {
    Font font;
};

// Measures a string as it would be drawn with the given attributes. Platform:
// Pango on Linux; the fake uses a simple deterministic rule.
Size sizeWithAttributes(const std::string& text, const TextAttributes& attributes);

class Image;

// Drawing operations recorded into an image. Coordinates are those of the image
// being drawn into: origin at the bottom-left corner, y upward.
struct TextDrawing {
    std::string text;
    Point at; // bottom-left corner of the text's box
    TextAttributes attributes;
};
struct ImageDrawing {
    std::shared_ptr<const Image> image;
    Rect in; // the image is scaled into this rectangle
};
struct SymbolDrawing {
    std::string name; // a built-in symbol; drawn to fill the image it belongs to
};
using DrawingOperation = std::variant<TextDrawing, ImageDrawing, SymbolDrawing>;

// An image is a size plus a list of vector drawing operations, so that a
// platform can render it crisply at any scale (the tray asks for 1x and 2x).
//
// Drawing model: between lockFocus() and unlockFocus() the image is the current
// drawing destination of drawAtPoint() and drawInRect(). Focus nests; drawing
// with no image focused does nothing. Main loop only.
class Image : public std::enable_shared_from_this<Image> {
public:
    explicit Image(Size size); // initWithSize:

    // imageWithSystemSymbolName:accessibilityDescription:. Absent when the
    // platform has no symbol of that name. Platform-provided.
    static std::shared_ptr<Image> imageWithSystemSymbolName(
        const std::string& name, const std::optional<std::string>& accessibilityDescription);

    Size size() const { return size_; }

    void lockFocus();
    void unlockFocus();

    // Draws this image scaled into rect of the focused image.
    void drawInRect(Rect rect) const;

    // A template image is tinted by the tray; a non-template image keeps its
    // own colours. New images are not templates.
    void setTemplate(bool isTemplate) { template_ = isTemplate; }
    bool isTemplate() const { return template_; }

    const std::vector<DrawingOperation>& operations() const { return operations_; }
    void addOperation(DrawingOperation operation) { operations_.push_back(std::move(operation)); }

private:
    Size size_;
    bool template_ = false;
    std::vector<DrawingOperation> operations_;
};

// drawAtPoint:withAttributes: draws text into the focused image.
void drawAtPoint(const std::string& text, Point point, const TextAttributes& attributes);

// The image currently holding the focus, or null.
Image* focusedImage();

// The built-in vector symbols every platform can draw: the tray picture's
// antenna is the only one.
inline constexpr const char* antennaSymbolName = "antenna.radiowaves.left.and.right";
bool isBuiltInSymbol(const std::string& name);

} // namespace orvo::platform
