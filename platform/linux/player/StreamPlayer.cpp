// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until the stream player lands.
#include "platform/StreamPlayer.h"

namespace orvo::platform {
namespace {
class Item final : public PlayerItem {
public:
    explicit Item(Url url) : url_(std::move(url)) {}
    const Url& url() const override { return url_; }

private:
    Url url_;
};
class SilentPlayer final : public Player {
public:
    explicit SilentPlayer(std::shared_ptr<PlayerItem> item) : item_(std::move(item)) {}
    void play() override { rate_ = 1; }
    void pause() override { rate_ = 0; }
    float rate() const override { return rate_; }
    const std::shared_ptr<PlayerItem>& currentItem() const override { return item_; }

private:
    std::shared_ptr<PlayerItem> item_;
    float rate_ = 0;
};
} // namespace

std::shared_ptr<PlayerItem> PlayerItem::create(const Url& url)
{
    return std::make_shared<Item>(url);
}

std::unique_ptr<Player> Player::create(std::shared_ptr<PlayerItem> item)
{
    return std::make_unique<SilentPlayer>(std::move(item));
}

} // namespace orvo::platform
