// SPDX-License-Identifier: GPL-3.0-or-later
// The update controller against a local HTTPS feed server (its own test CA)
// and dbusmock's notification daemon on a private bus. What a check tells in
// each case reaches the user in their language, and only an https link opens.
#include "platform/BuildConfig.h"
#include "platform/UserDefaults.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/WakeSignals.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/services/Services.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvo::platform {
namespace {

using test::waitFor;

std::string appcast(const std::string& version, const std::string& link = "https://downloads.example.org/orvo")
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><item><enclosure url=\""
        + link + "\" sparkle:version=\"" + version + "\"/></item></channel></rss>\n";
}

// Relative to the version being built, so the tests survive a release.
const std::string newerVersion = std::string(build::version) + ".1";

double now()
{
    return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC;
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), TRUE);
        server_.emplace(
            std::vector<std::string> { "/usr/bin/python3", ORVO_TEST_SUPPORT_DIR "/feed/feed_server.py", root_ }, true);
        port_ = server_->readLine(std::chrono::seconds(30));
        ASSERT_FALSE(port_.empty()) << "feed server did not start";
        // GLib's shared connection would end the process when the private bus stops.
        g_dbus_connection_set_exit_on_close(native::sessionBus(), FALSE);
        notifications_ = std::make_unique<test::NotificationServer>();
        writeFeed("newer.xml", appcast(newerVersion));
        ASSERT_TRUE(native::trustExtraCa(root_ + "/ca/ca.pem"));
    }

    // An updater reading `feed` on the feed server.
    std::shared_ptr<native::FeedUpdater> makeUpdater(const std::string& feed = "newer.xml")
    {
        const auto url = "https://127.0.0.1:" + port_ + "/" + feed;
        auto updater = native::makeFeedUpdater(
            { url, std::chrono::seconds(15), [this](const std::string& l) { opened_.push_back(l); } });
        updater->start();
        return updater;
    }

    void writeFeed(const std::string& name, const std::string& content) const
    {
        test::writeFile(root_ + "/feeds/" + name, content);
    }

    static void check(UpdaterController& controller) { controller.performSelector("checkForUpdates:", nullptr); }

    bool waitForNotifications(std::size_t count)
    {
        return waitFor([&] { return notifications_->shown().size() >= count; }, std::chrono::seconds(20));
    }
    std::string summary(std::size_t n) const { return notifications_->shown().at(n).summary; }

    static UserDefaults& defaults() { return UserDefaults::standardUserDefaults(); }
    static void enableAutomaticChecks(double lastCheck)
    {
        defaults().setObject(Value::boolean(true), "automaticallyChecksForUpdates");
        defaults().setObject(Value::number(lastCheck), "lastUpdateCheck");
    }
    static double lastCheck() { return defaults().objectForKey("lastUpdateCheck")->asNumber(); }

    test::PrivateBus bus_;
    test::TempDir dir_;
    std::string root_ = (dir_.path() / "server").string();
    std::optional<test::ChildProcess> server_;
    std::string port_;
    std::unique_ptr<test::NotificationServer> notifications_;
    std::vector<std::string> opened_;
};

// In the user's language; the catalogue is read once per process, and each
// test is its own process.
TEST_F(UpdaterTest, AvailableUpdateSpeaksTheUsersLanguageAndOpensItsHttpsLinkOnly)
{
    g_setenv("LANGUAGE", "de", TRUE);
    g_setenv("LC_ALL", "C.UTF-8", TRUE);
    auto controller = makeUpdater();
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    const auto n = notifications_->shown().at(0);
    EXPECT_EQ(n.summary, "OrvoMenu " + newerVersion + " ist verfügbar");
    EXPECT_EQ(n.body, std::string("Sie haben Version ") + build::version + ".");
    EXPECT_EQ(n.actions, (std::vector<std::string> { "default", "Herunterladen" }));
    notifications_->click(n.id, "default");
    ASSERT_TRUE(waitFor([&] { return !opened_.empty(); }));
    EXPECT_EQ(opened_, std::vector<std::string> { "https://downloads.example.org/orvo" });

    // Without an https link there is nothing to open (VersionTest has which links count).
    writeFeed("newer.xml", appcast(newerVersion, "http://downloads.example.org/orvo"));
    check(*controller);
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_TRUE(notifications_->shown().at(1).actions.empty());
    notifications_->click(notifications_->shown().at(1).id, "default");
    notifications_->click(n.id, "default"); // already used
    check(*controller); // a round trip on the bus: the clicks have arrived by its end
    ASSERT_TRUE(waitForNotifications(3));
    EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(UpdaterTest, OverdueCheckRunsSoonAndFailuresAreRetried)
{
    const double last = std::floor(now()) - 3 * 86400;
    enableAutomaticChecks(last);
    auto controller = makeUpdater("later.xml"); // not there yet
    const auto first = controller->scheduledWakeUp();
    ASSERT_TRUE(first);
    EXPECT_LE(first->dueAtSeconds, now() + 10); // soon after start-up, not a day later
    // Each failure waits longer before the next try, never as long as a day.
    for (const double retryAfter : { 60, 120 }) {
        controller->wakeUpNow();
        EXPECT_TRUE(controller->checking());
        EXPECT_FALSE(controller->scheduledWakeUp()); // no timer while the check runs
        ASSERT_TRUE(waitFor([&] { return !controller->checking(); }));
        EXPECT_EQ(lastCheck(), last);
        const auto retry = controller->scheduledWakeUp();
        ASSERT_TRUE(retry);
        EXPECT_NEAR(retry->dueAtSeconds, now() + retryAfter, 5);
    }
    EXPECT_FALSE(g_main_context_find_source_by_id(nullptr, first->sourceId));
    EXPECT_TRUE(notifications_->shown().empty()); // automatic failures are silent

    // The network coming back retries at once.
    writeFeed("later.xml", appcast(newerVersion));
    native::WakeSignals::instance().notify();
    EXPECT_TRUE(controller->checking());
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_NE(summary(0).find("is available"), std::string::npos);
    EXPECT_NEAR(lastCheck(), now(), 5);
    const auto next = controller->scheduledWakeUp();
    ASSERT_TRUE(next);
    EXPECT_NEAR(next->dueAtSeconds, lastCheck() + 86400, 1);
    EXPECT_TRUE(g_main_context_find_source_by_id(nullptr, next->sourceId));
}

} // namespace
} // namespace orvo::platform
