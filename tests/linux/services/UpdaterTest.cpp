// SPDX-License-Identifier: GPL-3.0-or-later
// The update controller against a local HTTPS feed server (its own test CA)
// and a notification daemon on a private bus that records what it is told.
#include "platform/BuildConfig.h"
#include "platform/UserDefaults.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/WakeSignals.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/services/Services.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace orvo::platform {
namespace {

namespace fs = std::filesystem;
using glib::GUnique;

std::string appcast(const std::string& version, const std::string& link = "https://downloads.example.org/orvo")
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>OrvoMenu</title>"
           "<item><title>Version "
        + version + "</title><enclosure url=\"" + link + "\" sparkle:version=\"" + version
        + "\" type=\"application/octet-stream\"/></item></channel></rss>\n";
}

// Versions relative to the one being built, so the table survives a release.
std::string newerVersion()
{
    return std::string(build::version) + ".1";
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), TRUE);
        serverDir_ = dir_.path() / "server";
        fs::create_directories(serverDir_);
        server_ = test::ChildProcess(
            { "/usr/bin/python3", ORVO_TEST_SUPPORT_DIR "/feed/feed_server.py", serverDir_.string() }, true);
        port_ = server_.readLine(std::chrono::seconds(30));
        ASSERT_FALSE(port_.empty()) << "feed server did not start";
        // The private bus stops before the process ends; that must not end
        // the process (GLib's shared connection raises SIGTERM when closed).
        g_dbus_connection_set_exit_on_close(native::sessionBus(), FALSE);
        notifications_ = std::make_unique<test::NotificationServer>();

        writeFeed("newer.xml", appcast(newerVersion()));
        writeFeed("same.xml", appcast(build::version));
        ASSERT_TRUE(native::trustExtraCa((serverDir_ / "ca" / "ca.pem").string()));
    }

    // An updater reading `feed`: a path on the feed server, or a full address.
    std::shared_ptr<native::FeedUpdater> makeUpdater(
        const std::string& feed = "newer.xml", std::chrono::milliseconds timeout = std::chrono::seconds(15))
    {
        auto updater = native::makeFeedUpdater({ feed.find("://") != std::string::npos ? feed : url(feed), timeout,
            [this](const std::string& link) { opened_.push_back(link); } });
        updater->start();
        return updater;
    }

    std::string url(const std::string& path) const { return "https://127.0.0.1:" + port_ + "/" + path; }

    void writeFeed(const std::string& name, const std::string& content)
    {
        std::ofstream(serverDir_ / "feeds" / name, std::ios::binary) << content;
    }

    std::vector<std::string> requests() const
    {
        std::ifstream log(serverDir_ / "requests.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    static void check(UpdaterController& controller)
    {
        ASSERT_TRUE(controller.respondsToSelector("checkForUpdates:"));
        controller.performSelector("checkForUpdates:", nullptr);
    }

    bool waitForNotifications(std::size_t count)
    {
        return test::waitFor([&] { return notifications_->shown().size() >= count; }, std::chrono::seconds(20));
    }

    static void enableAutomaticChecks(std::optional<double> lastCheck)
    {
        UserDefaults::standardUserDefaults().setObject(Value::boolean(true), "automaticallyChecksForUpdates");
        if (lastCheck) {
            UserDefaults::standardUserDefaults().setObject(Value::number(*lastCheck), "lastUpdateCheck");
        }
    }

    static double now() { return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC; }

    test::PrivateBus bus_;
    test::TempDir dir_;
    fs::path serverDir_;
    test::ChildProcess server_;
    std::string port_;
    std::unique_ptr<test::NotificationServer> notifications_;
    std::vector<std::string> opened_;
};

struct CheckCase {
    const char* name;
    const char* path; // on the feed server; a full address when it has a scheme
    const char* feed; // written as feeds/<path> when set
    const char* summaryHas; // expected in the summary
    const char* bodyHas; // expected in the body
    bool trustOtherCa = false;
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.name;
}

class UserCheckTest : public UpdaterTest, public ::testing::WithParamInterface<CheckCase> { };

TEST_P(UserCheckTest, TellsTheOutcome)
{
    const auto& c = GetParam();
    if (c.feed) {
        writeFeed(c.path, c.feed);
    }
    const std::string path = c.path;
    if (c.trustOtherCa) {
        ASSERT_TRUE(native::trustExtraCa((serverDir_ / "other-ca" / "ca.pem").string()));
    }
    // A stalled server meets a short limit instead of the 30 s one.
    auto controller = makeUpdater(path, std::chrono::milliseconds(std::string(c.name) == "Stalled" ? 300 : 15000));
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_FALSE(controller->checking());

    const auto n = notifications_->shown().at(0);
    EXPECT_EQ(n.appName, "OrvoMenu");
    EXPECT_NE(n.summary.find(c.summaryHas), std::string::npos) << n.summary;
    EXPECT_NE(n.body.find(c.bodyHas), std::string::npos) << n.body;
    // Only an available update offers something to open.
    const bool offersUpdate = std::string(c.summaryHas) == "is available";
    EXPECT_EQ(!n.actions.empty(), offersUpdate);
    test::drainMainContext();
    EXPECT_EQ(notifications_->shown().size(), 1u);
}

const std::string oversizedDeclared = [] {
    std::string feed = "<?xml version=\"1.0\"?><rss><channel>";
    feed += std::string(1100 * 1024, ' ');
    return feed + "</channel></rss>";
}();
const std::string olderFeed = appcast(std::string(build::version) + "-beta1");
const std::string newerFeed = appcast(std::string(build::version) + ".1");

INSTANTIATE_TEST_SUITE_P(Feeds, UserCheckTest,
    ::testing::Values(CheckCase { "Newer", "newer.xml", nullptr, "is available", build::version },
        CheckCase { "Same", "same.xml", nullptr, "up to date", build::version },
        CheckCase { "Older", "older.xml", olderFeed.c_str(), "up to date", "" },
        CheckCase {
            "Malformed", "bad.xml", "<rss><channel><item><version>99</version>", "Could not", "could not be read" },
        CheckCase { "OversizedDeclared", "big.xml", oversizedDeclared.c_str(), "Could not", "could not be read" },
        CheckCase { "OversizedStreamed", "huge", nullptr, "Could not", "could not be read" },
        CheckCase { "Missing", "missing.xml", nullptr, "Could not", "not found" },
        CheckCase { "UntrustedCertificate", "newer.xml", nullptr, "Could not", "not trusted", true },
        CheckCase { "Stalled", "slow", nullptr, "Could not", "in time" },
        // Silent for longer than the HTTPS client waits, within the check's limit.
        CheckCase { "FellSilent", "slow", nullptr, "Could not", "in time" },
        CheckCase { "RedirectToHttp", "redirect-http/newer.xml", nullptr, "Could not", "insecure" },
        CheckCase { "RedirectToHttps", "redirect/newer.xml", nullptr, "is available", "" },
        CheckCase { "PlainHttpFeed", "http://127.0.0.1:9/newer.xml", nullptr, "Could not", "insecure" },
        // Port 9 (discard) has no listener here: the connection is refused.
        CheckCase { "NoServer", "https://127.0.0.1:9/newer.xml", nullptr, "Could not", "could not be reached" }),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UpdaterTest, AvailableUpdateOpensItsWebLinkOnly)
{
    auto controller = makeUpdater();
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    const auto n = notifications_->shown().at(0);
    ASSERT_EQ(n.actions.size(), 2u);
    EXPECT_EQ(n.actions[0], "default");
    // A click on the notification opens the link.
    notifications_->click(n.id, "default");
    ASSERT_TRUE(test::waitFor([&] { return !opened_.empty(); }));
    EXPECT_EQ(opened_, std::vector<std::string> { "https://downloads.example.org/orvo" });

    // A feed without an https link offers nothing to open (the appcast table
    // has which links count).
    writeFeed("newer.xml", appcast(newerVersion(), "http://downloads.example.org/orvo"));
    check(*controller);
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_TRUE(notifications_->shown().at(1).actions.empty());
    notifications_->click(notifications_->shown().at(1).id, "default");
    notifications_->click(n.id, "default"); // already used
    check(*controller); // a round trip on the bus: the signals above have arrived by its end
    ASSERT_TRUE(waitForNotifications(3));
    EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(UpdaterTest, SecondCheckWhileOneRunsIsIgnored)
{
    auto controller = makeUpdater("hold/newer.xml");
    check(*controller);
    check(*controller);
    ASSERT_TRUE(test::waitFor([&] { return !requests().empty(); }));
    EXPECT_TRUE(controller->checking());
    check(*controller);
    std::ofstream(serverDir_ / "release") << "go";
    ASSERT_TRUE(waitForNotifications(1));

    // A later check runs; had the ignored ones run, their notifications and
    // requests would have come before this one's.
    writeFeed("newer.xml", appcast(build::version));
    check(*controller);
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_EQ(requests(), (std::vector<std::string> { "/hold/newer.xml", "/hold/newer.xml" }));
    EXPECT_NE(notifications_->shown()[1].summary.find("up to date"), std::string::npos);
}

TEST_F(UpdaterTest, AutomaticChecksAreOffByDefault)
{
    auto controller = makeUpdater();
    EXPECT_FALSE(controller->scheduledWakeUp());
    EXPECT_FALSE(controller->checking());
    // A manual check still works and arms nothing afterwards.
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_FALSE(controller->scheduledWakeUp());
}

TEST_F(UpdaterTest, RecentCheckSchedulesOneWakeUpADayLater)
{
    const double last = std::floor(now()) - 3600;
    enableAutomaticChecks(last);
    auto controller = makeUpdater();
    const auto wakeUp = controller->scheduledWakeUp();
    ASSERT_TRUE(wakeUp);
    EXPECT_NEAR(wakeUp->dueAtSeconds, last + 86400, 1);
    EXPECT_TRUE(g_main_context_find_source_by_id(nullptr, wakeUp->sourceId));
    EXPECT_FALSE(controller->checking());
    test::drainMainContext();
    EXPECT_TRUE(requests().empty());
}

TEST_F(UpdaterTest, OverdueAutomaticCheckRunsThenSleepsADay)
{
    enableAutomaticChecks(now() - 3 * 86400);
    auto controller = makeUpdater();
    const auto first = controller->scheduledWakeUp();
    ASSERT_TRUE(first);
    EXPECT_LE(first->dueAtSeconds, now() + 10); // soon after start-up, not a day later

    controller->wakeUpNow();
    EXPECT_FALSE(g_main_context_find_source_by_id(nullptr, first->sourceId));
    EXPECT_TRUE(controller->checking());
    EXPECT_FALSE(controller->scheduledWakeUp()); // no timer while the check runs
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_NE(notifications_->shown()[0].summary.find("is available"), std::string::npos);

    const auto stored = UserDefaults::standardUserDefaults().objectForKey("lastUpdateCheck");
    ASSERT_TRUE(stored && stored->kind() == Value::Kind::Number);
    EXPECT_NEAR(stored->asNumber(), now(), 5);
    const auto next = controller->scheduledWakeUp();
    ASSERT_TRUE(next);
    EXPECT_NEAR(next->dueAtSeconds, stored->asNumber() + 86400, 1);
    EXPECT_TRUE(g_main_context_find_source_by_id(nullptr, next->sourceId));
}

TEST_F(UpdaterTest, FailedAutomaticCheckIsRetriedNotCountedAsDone)
{
    const double last = std::floor(now()) - 3 * 86400;
    enableAutomaticChecks(last);
    auto controller = makeUpdater("later.xml"); // not there yet
    auto lastCheck = [] { return UserDefaults::standardUserDefaults().objectForKey("lastUpdateCheck")->asNumber(); };
    // Each failure waits longer before the next try, never as long as a day.
    for (const double retryAfter : { 60, 120 }) {
        controller->wakeUpNow();
        ASSERT_TRUE(test::waitFor([&] { return !controller->checking(); }));
        EXPECT_EQ(lastCheck(), last);
        const auto retry = controller->scheduledWakeUp();
        ASSERT_TRUE(retry);
        EXPECT_NEAR(retry->dueAtSeconds, now() + retryAfter, 5);
    }
    EXPECT_TRUE(notifications_->shown().empty()); // automatic failures are silent

    // The network coming back retries at once.
    writeFeed("later.xml", appcast(newerVersion()));
    native::WakeSignals::instance().notify();
    EXPECT_TRUE(controller->checking());
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_NEAR(lastCheck(), now(), 5);
    const auto next = controller->scheduledWakeUp();
    ASSERT_TRUE(next);
    EXPECT_NEAR(next->dueAtSeconds, lastCheck() + 86400, 1);
}

// The catalogue is read once per process; each test is its own process.
TEST_F(UpdaterTest, NotificationsSpeakTheUsersLanguage)
{
    g_setenv("LANGUAGE", "de", TRUE);
    g_setenv("LC_ALL", "C.UTF-8", TRUE);
    auto controller = makeUpdater();
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    const auto n = notifications_->shown().at(0);
    EXPECT_EQ(n.summary, "OrvoMenu " + newerVersion() + " ist verfügbar");
    EXPECT_EQ(n.body, std::string("Sie haben Version ") + build::version + ".");
    EXPECT_EQ(n.actions, (std::vector<std::string> { "default", "Herunterladen" }));
}

TEST_F(UpdaterTest, AutomaticCheckIsSilentWithoutAnUpdate)
{
    enableAutomaticChecks(std::nullopt);
    auto controller = makeUpdater("same.xml");
    controller->wakeUpNow();
    ASSERT_TRUE(test::waitFor([&] { return !controller->checking(); }));
    EXPECT_EQ(requests().size(), 1u);
    // Notifications from one sender arrive in order: the manual check's is the first.
    check(*controller);
    ASSERT_TRUE(waitForNotifications(1));
    test::drainMainContext();
    ASSERT_EQ(notifications_->shown().size(), 1u);
    EXPECT_NE(notifications_->shown()[0].summary.find("up to date"), std::string::npos);
}

TEST_F(UpdaterTest, TurningAutomaticChecksOffStopsTheSchedule)
{
    enableAutomaticChecks(std::nullopt);
    auto controller = makeUpdater();
    ASSERT_TRUE(controller->scheduledWakeUp());
    UserDefaults::standardUserDefaults().setObject(Value::boolean(false), "automaticallyChecksForUpdates");
    controller->wakeUpNow();
    EXPECT_FALSE(controller->checking());
    EXPECT_FALSE(controller->scheduledWakeUp());
    test::drainMainContext();
    EXPECT_TRUE(requests().empty());
}

TEST_F(UpdaterTest, ControllerGoneMidCheckIsHarmless)
{
    auto controller = makeUpdater("hold/newer.xml");
    check(*controller);
    ASSERT_TRUE(test::waitFor([&] { return !requests().empty(); }));
    controller.reset();
    std::ofstream(serverDir_ / "release") << "go";
    // Whatever was under way ends without a word to the user.
    auto other = makeUpdater("same.xml");
    check(*other);
    ASSERT_TRUE(waitForNotifications(1));
    test::drainMainContext();
    EXPECT_EQ(notifications_->shown().size(), 1u);
}

} // namespace
} // namespace orvo::platform
