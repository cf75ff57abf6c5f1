// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzz corpus of the playlist reader through the fuzz target's own checks;
// the libFuzzer target in tests/fuzz explores further.
#include "tests/fuzz/PlaylistCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

TEST(PlaylistCorpus, SeedsHoldTheFuzzChecks)
{
    using namespace orvo::platform::native::hls;
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ORVO_PLAYLIST_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(orvo::test::checkPlaylist(bytes.str()), "") << name;
        const bool refused = std::holds_alternative<ParseError>(parse(bytes.str(), orvo::test::playlistCheckBase));
        EXPECT_EQ(refused, name.starts_with("bad-")) << name;
        ++seeds;
    }
    EXPECT_GE(seeds, 10u);
}

} // namespace
