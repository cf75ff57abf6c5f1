// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/Notifications.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

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

// Runs body in a child, which may exit; returns the child's exit status (7
// when body returned).
int exitStatusOf(void (*body)())
{
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Without a session bus, or on a bus whose rules refuse the instance's name
// (nobody else holds it, so this is no second instance), the app fails with
// status 1 rather than stepping aside quietly.
TEST(Application, NoBusOrARefusedNameIsAnError)
{
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvo-bus", TRUE);
    EXPECT_EQ(exitStatusOf([] { Application::sharedApplication(); }), 1);

    test::TempDir dir;
    const auto config = dir.path() / "bus.conf";
    std::ofstream(config) << R"(<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <deny own="org.orvomenu.OrvoMenu"/>
  </policy>
</busconfig>
)";
    test::PrivateBus bus(config.string());
    EXPECT_EQ(exitStatusOf([] { Application::sharedApplication(); }), 1);
}

struct Answer {
    bool done = false;
    bool granted = false;
    std::optional<std::string> error;
};

Answer askForPermission()
{
    Answer answer;
    UserNotificationCenter::currentNotificationCenter().requestAuthorization(
        AuthorizationOption::Alert, [&](bool granted, std::optional<std::string> error) {
            answer = { true, granted, std::move(error) };
        });
    test::waitFor([&] { return answer.done; });
    return answer;
}

TEST(Notifications, PermissionReportsWhetherAServerAnswers)
{
    test::PrivateBus bus;
    const auto without = askForPermission();
    ASSERT_TRUE(without.done);
    EXPECT_FALSE(without.granted);
    EXPECT_TRUE(without.error);

    const test::NotificationServer server;
    const auto with = askForPermission();
    ASSERT_TRUE(with.done);
    EXPECT_TRUE(with.granted);
    EXPECT_FALSE(with.error);
}

} // namespace
} // namespace orvo
