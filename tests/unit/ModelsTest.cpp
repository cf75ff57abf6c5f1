// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/Models.h"
#include "platform/BuildConfig.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(Models, EveryChannelStreamsFromItsOwnPlaylistPath)
{
    const std::string prefix = std::string("https://") + build::streamHost + "/liveradio/";
    for (const auto& channel : OrvoChannel::allChannels) {
        EXPECT_EQ(channel.streamURL().string(), prefix + channel.id + "/playlist.m3u8") << channel.id;
    }
    EXPECT_EQ(OrvoChannel::allChannels[0].streamURL().string(), prefix + "vessa180a/playlist.m3u8");
}

TEST(Models, CatalogueHoldsThirteenUniqueChannelsGroupedByCategory)
{
    const auto& all = OrvoChannel::allChannels;
    ASSERT_EQ(all.size(), 13u);
    const std::vector<std::pair<ChannelCategory, std::pair<int, int>>> ranges
        = { { ChannelCategory::national, { 0, 3 } }, { ChannelCategory::regional, { 3, 8 } },
              { ChannelCategory::thematic, { 8, 13 } } };
    for (const auto& [category, range] : ranges) {
        for (int i = 0; i < 13; ++i) {
            const bool inRange = i >= range.first && i < range.second;
            EXPECT_EQ(all[i].category == category, inRange) << all[i].id;
        }
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        for (char c : all[i].id) {
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << all[i].id;
        }
        for (std::size_t j = i + 1; j < all.size(); ++j) {
            EXPECT_NE(all[i].id, all[j].id);
        }
    }
    EXPECT_EQ(all[10].name, "Vessa 2 Tovin'");
    EXPECT_EQ(all[1].id, "vessa280a");
}

TEST(Models, DefaultHotkeyChannelsAreTheNationalOnesInOrder)
{
    EXPECT_EQ(
        OrvoChannel::defaultHotkeyChannelIds, (std::vector<std::string> { "vessa180a", "vessa280a", "vessa380a" }));
}

TEST(Models, UrlAcceptsOnlyHttpsAddressesWithAHost)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        { "https://host/liveradio/a/playlist.m3u8", true },
        { "https://127.0.0.1:8443/x", true },
        { "http://host/x", false },
        { "https:///x", false },
        { "https://:443/x", false },
        { "https://host/a b", false },
        { "ftp://host/x", false },
        { "", false },
    };
    for (const auto& [text, ok] : cases) {
        EXPECT_EQ(platform::Url::parse(text).has_value(), ok) << text;
    }
}

} // namespace
} // namespace orvo
