// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until the tray item lands.
#include "platform/StatusBar.h"

namespace orvo::platform {
namespace {
class Button final : public StatusBarButton {
public:
    void setImage(std::shared_ptr<const Image> image) override { image_ = std::move(image); }
    void setTitle(const std::string& title) override { title_ = title; }
    void setFont(const Font& font) override { font_ = font; }
    std::shared_ptr<const Image> image() const override { return image_; }
    std::string title() const override { return title_; }
    std::optional<Font> font() const override { return font_; }

private:
    std::shared_ptr<const Image> image_;
    std::string title_;
    std::optional<Font> font_;
};
class Item final : public StatusItem {
public:
    StatusBarButton* button() override { return &button_; }
    void setMenu(std::shared_ptr<Menu> menu) override { menu_ = std::move(menu); }
    std::shared_ptr<Menu> menu() const override { return menu_; }

private:
    Button button_;
    std::shared_ptr<Menu> menu_;
};
class Bar final : public StatusBar {
public:
    std::shared_ptr<StatusItem> statusItemWithLength(double) override { return std::make_shared<Item>(); }
};
} // namespace

StatusBar& StatusBar::systemStatusBar()
{
    static Bar bar;
    return bar;
}

Size sizeWithAttributes(const std::string& text, const TextAttributes& attributes)
{
    return {text.size() * attributes.font.pointSize * 0.6, attributes.font.pointSize * 1.2};
}

std::shared_ptr<Image> Image::imageWithSystemSymbolName(const std::string& name, const std::optional<std::string>&)
{
    if (!isBuiltInSymbol(name)) {
        return nullptr;
    }
    auto image = std::make_shared<Image>(Size{12, 12});
    image->addOperation(SymbolDrawing{name});
    return image;
}

} // namespace orvo::platform
