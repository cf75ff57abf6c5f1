// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/Notifications.h"
#include "platform/linux/core/GLibPtr.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
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

TEST(Application, NoSessionBusIsOneLineAndExitStatusOne)
{
    // A child, so the exit does not end the test.
    const pid_t child = fork();
    if (child == 0) {
        g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvo-bus", TRUE);
        Application::sharedApplication();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Application, ASecondInstanceLeavesAtOnce)
{
    test::PrivateBus bus;
    // Both instances are children, so neither touches this process's state.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t first = fork();
    if (first == 0) {
        Application::sharedApplication();
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    const pid_t second = fork();
    if (second == 0) {
        Application::sharedApplication();
        _exit(7); // not reached when the name is taken
    }
    int status = 0;
    waitpid(second, &status, 0);
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The bus answers RequestName with an error (here: its rules forbid the
// name). Nobody else holds the name, so this is no second instance: the app
// must fail, not quietly step aside.
TEST(Application, ABusThatRefusesTheNameIsAnErrorNotASecondInstance)
{
    test::TempDir dir;
    const auto config = dir.path() / "bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <deny own="org.orvomenu.OrvoMenu"/>
  </policy>
</busconfig>
)";
    test::PrivateBus bus(config.string());
    const pid_t child = fork();
    if (child == 0) {
        Application::sharedApplication();
        _exit(7); // not reached: the name is refused
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A notification server stand-in that owns the well-known name.
class NotificationServer {
public:
    NotificationServer()
    {
        static const char* xml = "<node><interface name='org.freedesktop.Notifications'>"
                                 "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
                                 "</interface></node>";
        info_.reset(g_dbus_node_info_new_for_xml(xml, nullptr));
        connection_ = glib::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
        static const GDBusInterfaceVTable vtable
            = { [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                    GDBusMethodInvocation* invocation, gpointer) {
                   static const char* const capabilities[] = { "body", nullptr };
                   g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", capabilities));
               },
                  nullptr, nullptr, {} };
        g_dbus_connection_register_object(connection_.get(), "/org/freedesktop/Notifications", info_->interfaces[0],
            &vtable, nullptr, nullptr, nullptr);
        g_bus_own_name_on_connection(
            connection_.get(), "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const char*, gpointer owned) { *static_cast<bool*>(owned) = true; }, nullptr, &owned_,
            nullptr);
        test::waitFor([&] { return owned_; });
    }

private:
    glib::GUnique<GDBusNodeInfo> info_;
    glib::GRef<GDBusConnection> connection_;
    bool owned_ = false;
};

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

    NotificationServer server;
    const auto with = askForPermission();
    ASSERT_TRUE(with.done);
    EXPECT_TRUE(with.granted);
    EXPECT_FALSE(with.error);
}

} // namespace
} // namespace orvo
