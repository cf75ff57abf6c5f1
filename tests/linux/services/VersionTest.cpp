// SPDX-License-Identifier: GPL-3.0-or-later
// Version ordering and appcast reading: the pure parts of update checks.
#include "platform/linux/services/Services.h"

#include <gtest/gtest.h>

namespace orvo::platform::native {
namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

TEST(Version, OrdersBothWays)
{
    const struct {
        const char* lower;
        const char* higher;
        int order; // -1: lower < higher, 0: the same
    } cases[] = {
        { "1.9", "1.10", -1 }, // numbers, not text
        { "1.2", "1.2.0", 0 }, // missing parts are zero
        { "2.0-beta1", "2.0", -1 }, // pre-release below release
        { "2.0-beta2", "2.0-beta10", -1 }, // numbers inside tags
        { "2.0-rc1", "2.0.1-alpha", -1 }, // release part first
        { "v1.3", "1.3", 0 },
        { "1.99999999999999999999", "1.100000000000000000000", -1 },
        { "", "0.0.1", -1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lower) + " vs " + c.higher);
        EXPECT_EQ(sign(compareVersions(c.lower, c.higher)), c.order);
        EXPECT_EQ(sign(compareVersions(c.higher, c.lower)), -c.order);
    }
}

#define RSS(items)                                                                                                     \
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"                                                                     \
    "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"                      \
    "<channel><title>OrvoMenu</title>" items "</channel></rss>"

TEST(Appcast, FindsTheNewestItemWithAnHttpsLink)
{
    const struct {
        const char* name;
        const char* xml;
        const char* version; // nullptr: no usable item
        const char* link;
    } cases[] = {
        { "enclosure attributes",
            RSS("<item><title>1.2</title><enclosure url=\"https://e.org/1.2.tar.gz\" sparkle:version=\"120\" "
                "sparkle:shortVersionString=\"1.2\" length=\"1\" type=\"application/octet-stream\"/></item>"),
            "1.2", "https://e.org/1.2.tar.gz" },
        { "version element and link",
            RSS("<item><link> https://e.org/release </link><sparkle:version>3.1</sparkle:version>"
                "<enclosure type=\"x\"/></item>"),
            "3.1", "https://e.org/release" },
        { "newest not first",
            RSS("<item><enclosure url=\"https://e.org/1.9\" sparkle:version=\"1.9\"/></item>"
                "<item><enclosure url=\"https://e.org/1.10\" sparkle:version=\"1.10\"/></item>"
                "<item><enclosure url=\"https://e.org/1.10b\" sparkle:version=\"1.10-beta3\"/></item>"),
            "1.10", "https://e.org/1.10" },
        // Neither a file nor a download anyone on the way can replace is offered.
        { "non-https links left out",
            RSS("<item><enclosure url=\"http://e.org/a\" sparkle:version=\"2.1\"/></item>"
                "<item><link>file:///etc/passwd</link><version>2.2</version></item>"),
            "2.2", "" },
        { "no items", RSS(""), nullptr, nullptr },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto item = newestAppcastItem(c.xml);
        ASSERT_EQ(item.has_value(), c.version != nullptr);
        if (item) {
            EXPECT_EQ(item->version, c.version);
            EXPECT_EQ(item->link, c.link);
        }
    }
}

} // namespace
} // namespace orvo::platform::native
