// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/Models.h"
#include "platform/BuildConfig.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

// Stored hotkeys and stream paths name a channel by its id.
TEST(Models, EveryChannelStreamsFromItsOwnPlaylistPathUnderAnIdOfItsOwn)
{
    const std::string prefix = std::string("https://") + build::streamHost + "/liveradio/";
    const auto& all = OrvoChannel::allChannels;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].streamURL().string(), prefix + all[i].id + "/playlist.m3u8") << all[i].id;
        for (std::size_t j = i + 1; j < all.size(); ++j) {
            EXPECT_NE(all[i].id, all[j].id);
        }
    }
}

TEST(Models, UrlAcceptsOnlyHttpsAddressesWithAHost)
{
    const std::pair<std::string, bool> cases[] = {
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
