// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/Localization.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <clocale>

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

// Without a session bus the app fails with status 1 rather than stepping
// aside quietly as a second instance would.
TEST(Application, NoBusIsAnError)
{
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvo-bus", TRUE);
    EXPECT_EQ(test::inChild([] {
        Application::sharedApplication();
        return 7;
    }),
        1);
}

} // namespace
} // namespace orvo
