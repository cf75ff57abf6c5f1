// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzz corpus of the settings reader through the fuzz target's own checks;
// the libFuzzer target in tests/fuzz explores further.
#include "tests/fuzz/SettingsDocumentCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

TEST(SettingsCorpus, SeedsHoldTheFuzzChecks)
{
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ORVO_SETTINGS_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(orvo::test::checkSettingsDocument(bytes.str()), "") << name;
        EXPECT_NE(orvo::platform::native::parseDocument(bytes.str()).has_value(), name.starts_with("bad-")) << name;
        ++seeds;
    }
    EXPECT_GE(seeds, 11u);
}

} // namespace
