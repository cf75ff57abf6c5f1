// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/Notifications.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

using namespace platform;

class LaunchRecorder : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override
    {
        ++launches;
        Application::sharedApplication().terminate();
    }
    int launches = 0;
};

TEST(Application, RunDeliversLaunchOnceAndTerminateEndsTheLoop)
{
    test::PrivateBus bus;
    LaunchRecorder delegate;
    auto& app = Application::sharedApplication();
    app.setDelegate(&delegate);
    app.run(); // returns only because terminate ended the loop
    EXPECT_EQ(delegate.launches, 1);
    EXPECT_TRUE(app.respondsToSelector("terminate:"));
}

// Without a session bus, or on one whose rules refuse the instance's name
// (nobody else holds it: no second instance), the app fails with status 1
// rather than stepping aside quietly.
TEST(Application, NoBusOrARefusedNameIsAnError)
{
    const auto start = [] {
        Application::sharedApplication();
        return 7;
    };
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvo-bus", TRUE);
    EXPECT_EQ(test::inChild(start), 1);

    test::TempDir dir;
    test::writeFile(dir.path() / "bus.conf", R"(<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <deny own="org.orvomenu.OrvoMenu"/>
  </policy>
</busconfig>
)");
    test::PrivateBus bus((dir.path() / "bus.conf").string());
    EXPECT_EQ(test::inChild(start), 1);
}

TEST(Notifications, PermissionReportsWhetherAServerAnswers)
{
    test::PrivateBus bus;
    const auto ask = [] {
        std::optional<std::pair<bool, bool>> answer; // granted, with an error
        UserNotificationCenter::currentNotificationCenter().requestAuthorization(
            AuthorizationOption::Alert, [&](bool granted, std::optional<std::string> error) {
                answer = { granted, error.has_value() };
            });
        test::waitFor([&] { return answer.has_value(); });
        return answer;
    };
    EXPECT_EQ(ask(), std::make_pair(false, true));
    const test::NotificationServer server;
    EXPECT_EQ(ask(), std::make_pair(true, false));
}

} // namespace
} // namespace orvo
