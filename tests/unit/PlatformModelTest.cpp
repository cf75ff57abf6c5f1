// SPDX-License-Identifier: GPL-3.0-or-later
// The shared menu model every platform presents.
#include "platform/Application.h"
#include "platform/Menu.h"
#include "tests/unit/Fixture.h"

namespace orvo {
namespace {

namespace fake = platform::fake;
using platform::MenuItem;

struct Receiver : platform::Object {
    bool respondsToSelector(const platform::Selector& s) const override { return s == "known:"; }
    void performSelector(const platform::Selector& s, MenuItem* sender) override
    {
        calls.push_back(s + (sender ? std::to_string(sender->tag()) : ""));
    }
    std::vector<std::string> calls;
};

class MenuModel : public test::UnitTest { };

TEST_F(MenuModel, AutomaticEnablingAndClicks)
{
    auto receiver = std::make_shared<Receiver>();
    const auto make = [&](std::optional<std::string> action, bool target) {
        auto item = std::make_shared<MenuItem>("t", action, "");
        item->setTag(7);
        if (target) {
            item->setTarget(receiver);
        }
        return item;
    };
    auto answered = make("known:", true);
    auto unanswered = make("unknown:", true);
    auto noAction = make(std::nullopt, true);
    auto toApplication = make("terminate:", false);
    auto withSubmenu = make(std::nullopt, false);
    withSubmenu->setSubmenu(std::make_shared<platform::Menu>());

    EXPECT_TRUE(answered->isEnabled());
    EXPECT_FALSE(unanswered->isEnabled());
    EXPECT_FALSE(noAction->isEnabled());
    EXPECT_TRUE(toApplication->isEnabled());
    EXPECT_TRUE(withSubmenu->isEnabled());
    EXPECT_FALSE(MenuItem::separatorItem()->isEnabled());

    EXPECT_TRUE(fake::click(answered));
    EXPECT_FALSE(fake::click(unanswered));
    EXPECT_FALSE(fake::click(noAction));
    EXPECT_FALSE(fake::click(withSubmenu));
    EXPECT_EQ(receiver->calls, (std::vector<std::string> { "known:7" }));
    EXPECT_TRUE(fake::click(toApplication));
    EXPECT_EQ(fake::terminateCount(), 1);

    // A target that has gone away is not replaced by the application.
    auto orphan = make("terminate:", true);
    receiver.reset();
    EXPECT_FALSE(orphan->isEnabled());
    EXPECT_FALSE(fake::click(orphan));
    EXPECT_EQ(fake::terminateCount(), 1);
}

} // namespace
} // namespace orvo
