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

// A locale no machine generates: text is still UTF-8, numbers read in the C
// form, and the menu is in the language asked for (the app reads its
// catalogue itself, as glibc 2.39+ no longer translates under C.UTF-8).
TEST(Localization, AnUngeneratedLocaleKeepsUtf8AndTheLanguage)
{
    test::PrivateBus bus;
    g_unsetenv("LANGUAGE");
    g_unsetenv("LC_ALL");
    g_unsetenv("LC_MESSAGES");
    g_setenv("LANG", "de_XX.UTF-8", TRUE);
    Application::sharedApplication();
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(localizedString("quit"), "Beenden");
    EXPECT_EQ(localizedString("no_such_key"), "no_such_key");
}

} // namespace
} // namespace orvo
