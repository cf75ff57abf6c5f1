// SPDX-License-Identifier: GPL-3.0-or-later
// Version ordering and appcast reading: the pure parts of update checks.
#include "platform/linux/services/Services.h"
#include "tests/fuzz/AppcastCheck.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace orvo::platform::native {
namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

struct Ordering {
    const char* lower;
    const char* higher; // equal to lower when `same`
    bool same;
};

void PrintTo(const Ordering& c, std::ostream* os)
{
    *os << c.lower << (c.same ? " == " : " < ") << c.higher;
}

class VersionOrderTest : public ::testing::TestWithParam<Ordering> { };

TEST_P(VersionOrderTest, OrdersBothWays)
{
    const auto& c = GetParam();
    const int expected = c.same ? 0 : -1;
    EXPECT_EQ(sign(compareVersions(c.lower, c.higher)), expected) << c.lower << " vs " << c.higher;
    EXPECT_EQ(sign(compareVersions(c.higher, c.lower)), -expected) << c.higher << " vs " << c.lower;
}

INSTANTIATE_TEST_SUITE_P(Table, VersionOrderTest,
    ::testing::Values(Ordering { "1.9", "1.10", false }, // numbers, not text
        Ordering { "1.2", "1.2.0", true }, // missing parts are zero
        Ordering { "1.2.0.0", "1.2", true }, //
        Ordering { "1.2", "1.2.1", false }, //
        Ordering { "2.0-beta1", "2.0", false }, // pre-release below release
        Ordering { "2.0b1", "2.0", false }, //
        Ordering { "2.0-beta2", "2.0-beta10", false }, // numbers inside tags
        Ordering { "2.0-alpha3", "2.0-beta1", false }, //
        Ordering { "2.0-beta5", "2.0-rc1", false }, //
        Ordering { "2.0-beta.1", "2.0-beta1", true }, // separators do not count
        Ordering { "2.0-rc1", "2.0.1-alpha", false }, // release part first
        Ordering { "v1.3", "1.3", true }, //
        Ordering { "1.3+build7", "1.3", true }, // build metadata ignored
        Ordering { "0.9", "10", false }, //
        Ordering { "1.02", "1.2", true }, // leading zeros
        Ordering { "1.99999999999999999999", "1.100000000000000000000", false }, Ordering { "", "0.0.1", false }));

struct FeedCase {
    const char* name;
    const char* xml;
    const char* version; // nullptr: no usable item
    const char* link;
};

void PrintTo(const FeedCase& c, std::ostream* os)
{
    *os << c.name;
}

class AppcastTest : public ::testing::TestWithParam<FeedCase> { };

TEST_P(AppcastTest, FindsTheNewestItem)
{
    const auto item = newestAppcastItem(GetParam().xml);
    if (!GetParam().version) {
        EXPECT_FALSE(item) << item->version;
        return;
    }
    ASSERT_TRUE(item);
    EXPECT_EQ(item->version, GetParam().version);
    EXPECT_EQ(item->link, GetParam().link);
}

#define RSS(items)                                                                                                     \
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"                                                                     \
    "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"                      \
    "<channel><title>OrvoMenu</title>" items "</channel></rss>"

INSTANTIATE_TEST_SUITE_P(Feeds, AppcastTest,
    ::testing::Values(
        FeedCase { "EnclosureAttributes",
            RSS("<item><title>1.2</title><enclosure url=\"https://e.org/1.2.tar.gz\" sparkle:version=\"120\" "
                "sparkle:shortVersionString=\"1.2\" length=\"1\" type=\"application/octet-stream\"/></item>"),
            "1.2", "https://e.org/1.2.tar.gz" },
        FeedCase { "VersionAttributeOnly",
            RSS("<item><enclosure url=\"https://e.org/a\" sparkle:version=\"1.4\"/></item>"), "1.4",
            "https://e.org/a" },
        FeedCase { "VersionElementAndLink",
            RSS("<item><link> https://e.org/release </link><sparkle:version>3.1</sparkle:version>"
                "<enclosure type=\"x\"/></item>"),
            "3.1", "https://e.org/release" },
        FeedCase { "PlainVersionElement", RSS("<item><version>0.9.1</version><link>https://e.org/r</link></item>"),
            "0.9.1", "https://e.org/r" },
        FeedCase { "NewestNotFirst",
            RSS("<item><enclosure url=\"https://e.org/1.9\" sparkle:version=\"1.9\"/></item>"
                "<item><enclosure url=\"https://e.org/1.10\" sparkle:version=\"1.10\"/></item>"
                "<item><enclosure url=\"https://e.org/1.10b\" sparkle:version=\"1.10-beta3\"/></item>"),
            "1.10", "https://e.org/1.10" },
        FeedCase { "OtherPrefixAndExtras",
            RSS("<item><description><![CDATA[<p>Fixes &amp; more</p>]]></description>"
                "<s:tags xmlns:s=\"urn:x\"><s:critical/></s:tags>"
                "<enclosure url=\"https://e.org/z\" s:shortVersionString=\"2.0\" xmlns:s=\"urn:x\"/></item>"),
            "2.0", "https://e.org/z" },
        FeedCase { "ItemsWithoutVersionSkipped",
            RSS("<item><title>news</title><link>https://e.org/n</link></item>"
                "<item><enclosure url=\"https://e.org/x\" sparkle:version=\"nightly\"/></item>"
                "<item><version>1.1</version></item>"),
            "1.1", "" },
        // Only https links are offered: not a file, not a download anyone on the way can replace.
        FeedCase { "NonHttpsLinksLeftOut",
            RSS("<item><enclosure url=\"http://e.org/a\" sparkle:version=\"2.1\"/></item>"
                "<item><link>file:///etc/passwd</link><version>2.2</version></item>"),
            "2.2", "" },
        FeedCase { "NoItems", RSS(""), nullptr, nullptr }, FeedCase { "Empty", "", nullptr, nullptr }),
    [](const auto& test) { return std::string(test.param.name); });

// The fuzz corpus through the fuzz target's own checks (tests/fuzz explores
// further); a seed named bad-* holds no usable item.
TEST(AppcastCorpus, SeedsHoldTheFuzzChecks)
{
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ORVO_APPCAST_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes { std::istreambuf_iterator<char>(in), {} };
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(test::checkAppcast(bytes), "") << name;
        EXPECT_NE(newestAppcastItem(bytes).has_value(), name.starts_with("bad-")) << name;
        ++seeds;
    }
    EXPECT_GE(seeds, 7u);
}

} // namespace
} // namespace orvo::platform::native
