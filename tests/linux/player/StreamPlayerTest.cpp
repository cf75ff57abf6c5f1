// SPDX-License-Identifier: GPL-3.0-or-later
// The stream player against the local live HLS server over HTTPS, listening
// to the decoded audio it really plays (each channel is a different tone).
#include "platform/StreamPlayer.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/player/Playback.h"
#include "tests/linux/player/SoundMeter.h"
#include "tests/support/TestSupport.h"
#include "tests/support/hls/HlsServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using orvo::platform::Player;
using orvo::platform::PlayerItem;
using orvo::platform::Url;
using orvo::platform::native::statusOf;
using orvo::test::HlsServer;
using orvo::test::SoundMeter;
using orvo::test::waitFor;

namespace {

constexpr const char* channelA = "vessa180a"; // 870 Hz
constexpr const char* channelB = "vessa280a"; // 430 Hz
// The estimate counts the odd silent sample at a (re)start; the two channels
// lie 440 Hz apart, so this still tells them apart.
constexpr double toneTolerance = 60;

class StreamPlayerTest : public ::testing::Test {
protected:
    explicit StreamPlayerTest(HlsServer::Options options = {})
        : server_(options)
    {
        orvo::platform::native::preparePlayback();
        orvo::platform::native::trustExtraCa(server_.caFile());
        SoundMeter::useForNewPlayers();
    }

    std::unique_ptr<Player> makePlayer(const std::string& channel)
    {
        const auto url = Url::parse(server_.url(channel));
        EXPECT_TRUE(url);
        return Player::create(PlayerItem::create(*url));
    }

    // Waits until the meter has heard `seconds` more of loud audio.
    static bool hears(const SoundMeter& meter, double seconds, std::chrono::milliseconds guard = 20s)
    {
        const auto target = meter.loudSamples() + static_cast<std::int64_t>(seconds * SoundMeter::rate);
        return waitFor([&] { return meter.loudSamples() >= target; }, guard);
    }

    // The tone heard over the next half second.
    static double toneOf(SoundMeter& meter)
    {
        meter.resetTone();
        waitFor([&] { return meter.toneSamples() >= SoundMeter::rate / 2; }, 20s);
        return meter.toneHz();
    }

    static bool staysSilent(const SoundMeter& meter, std::chrono::milliseconds span)
    {
        const auto before = meter.loudSamples();
        return !waitFor([&] { return meter.loudSamples() != before; }, span);
    }

    HlsServer server_;
};

TEST_F(StreamPlayerTest, CreatingAnItemOrAPlayerFetchesNothing)
{
    auto player = makePlayer(channelA);
    EXPECT_EQ(player->rate(), 0.0f);
    EXPECT_EQ(player->currentItem()->url().string(), server_.url(channelA));
    orvo::test::drainMainContext();
    EXPECT_EQ(server_.count(std::string(channelA) + ":playlist"), 0);
}

TEST_F(StreamPlayerTest, PlaysPausesAndResumesTheSamePipeline)
{
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    GstElement* const pipeline = orvo::platform::native::pipelineOf(*player);

    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    ASSERT_TRUE(hears(meter, 0.5));
    EXPECT_NEAR(toneOf(meter), HlsServer::toneFrequency(channelA), toneTolerance);

    player->pause();
    EXPECT_EQ(player->rate(), 0.0f);
    const auto atPause = meter.loudSamples();
    EXPECT_TRUE(staysSilent(meter, 1500ms)) << "sound went on after pause()";
    EXPECT_EQ(meter.loudSamples(), atPause);

    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    EXPECT_TRUE(hears(meter, 0.5));
    EXPECT_EQ(orvo::platform::native::pipelineOf(*player), pipeline);
    EXPECT_NEAR(toneOf(meter), HlsServer::toneFrequency(channelA), toneTolerance);
}

TEST_F(StreamPlayerTest, SwitchingSilencesTheOldStreamBeforeTheNewOneExists)
{
    auto first = makePlayer(channelA);
    auto firstMeter = std::make_unique<SoundMeter>(*first);
    first->play();
    ASSERT_TRUE(hears(*firstMeter, 0.5));

    // As the audio player switches: pause the old one, release it, make the new one.
    first->pause();
    first.reset();
    const auto oldFinal = firstMeter->loudSamples();

    auto second = makePlayer(channelB);
    SoundMeter secondMeter(*second);
    second->play();
    ASSERT_TRUE(hears(secondMeter, 0.5));
    EXPECT_NEAR(toneOf(secondMeter), HlsServer::toneFrequency(channelB), toneTolerance);
    EXPECT_EQ(firstMeter->loudSamples(), oldFinal) << "the old stream was heard after it was released";
}

int entriesIn(const char* folder)
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++n;
    }
    return n;
}

// Flipping through channels as fast as a person can click: each change
// pauses and releases the stream player and starts a new one, as the audio
// player does, after 0 to 200 ms. Releases land while the playlist loads,
// while the first segment downloads and after sound: none may crash, leave a
// connection, descriptor or thread behind, or be heard afterwards.
TEST_F(StreamPlayerTest, FlippingThroughChannelsLeavesNothingBehind)
{
    const std::vector<std::string> channels = { channelA, channelB, "vessa380a" };
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> pause(0, 200);
    std::unique_ptr<Player> player;
    std::unique_ptr<SoundMeter> meter;
    std::map<std::string, int> releasedWhile;
    std::string segments;
    int segmentsBefore = 0;
    int fds = 0;
    int threads = 0;
    constexpr int changes = 500;
    for (int i = 0; i < changes; ++i) {
        if (player) {
            releasedWhile[meter->loudSamples() > 0             ? "sound"
                    : server_.count(segments) > segmentsBefore ? "segment"
                                                               : "playlist"]++;
            player->pause();
            meter.reset();
            player.reset();
        }
        if (i == 20) {
            // Warm by now: the session's connections, GStreamer's thread pools.
            orvo::test::drainMainContext();
            fds = entriesIn("/proc/self/fd");
            threads = entriesIn("/proc/self/task");
        }
        const std::string& channel = channels[static_cast<std::size_t>(i) % channels.size()];
        segments = channel + ":segment";
        segmentsBefore = server_.count(segments);
        player = makePlayer(channel);
        meter = std::make_unique<SoundMeter>(*player);
        player->play();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause(random));
        waitFor([&] { return std::chrono::steady_clock::now() >= until; }, 1s);
    }
    EXPECT_GT(releasedWhile["playlist"], 0);
    EXPECT_GT(releasedWhile["segment"], 0);
    EXPECT_GT(releasedWhile["sound"], 0);

    const auto lastChannel = channels[(changes - 1) % channels.size()];
    ASSERT_TRUE(hears(*meter, 0.5));
    EXPECT_NEAR(toneOf(*meter), HlsServer::toneFrequency(lastChannel), toneTolerance);
    player->pause();
    player.reset();
    orvo::test::drainMainContext();
    // Idle connections may stay pooled (at most a few per host); threads that
    // GStreamer parks for reuse end by themselves.
    EXPECT_LE(entriesIn("/proc/self/fd"), fds + 4);
    EXPECT_LE(entriesIn("/proc/self/task"), threads + 4);
}

struct StreamCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> settings; // the radio's /config for the channel
};

class StreamKindTest : public StreamPlayerTest, public ::testing::WithParamInterface<StreamCase> { };

// Every container and encryption the radio offers plays the channel's tone.
TEST_P(StreamKindTest, PlaysTheChannelsTone)
{
    for (const auto& [name, value] : GetParam().settings) {
        server_.configure(name, value, channelA);
    }
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    ASSERT_TRUE(hears(meter, 0.5));
    EXPECT_NEAR(toneOf(meter), HlsServer::toneFrequency(channelA), toneTolerance);
    EXPECT_EQ(statusOf(*player).restarts, 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamKindTest,
    ::testing::Values(StreamCase { "MpegTs", {} }, StreamCase { "FragmentedMp4", { { "format", "fmp4" } } },
        StreamCase { "PackedAdtsAac", { { "format", "aac" } } }, StreamCase { "PackedMp3", { { "format", "mp3" } } },
        StreamCase { "Aes128WithIv", { { "key", "aes" } } },
        StreamCase { "Aes128SequenceIvFmp4", { { "key", "aes-seq" }, { "format", "fmp4" } } }),
    [](const auto& test) { return std::string(test.param.name); });

// A splice every second segment: new timestamps, a fresh demuxer each time,
// and the sound goes on without a restart.
TEST_F(StreamPlayerTest, PlaysOnThroughDiscontinuities)
{
    server_.configure("discontinuity", "2", channelA);
    server_.configure("format", "fmp4", channelB);
    server_.configure("discontinuity", "2", channelB);
    for (const char* channel : { channelA, channelB }) {
        auto player = makePlayer(channel);
        SoundMeter meter(*player);
        player->play();
        // Past several splices: the first run holds three segments.
        ASSERT_TRUE(hears(meter, 6)) << channel;
        EXPECT_NEAR(toneOf(meter), HlsServer::toneFrequency(channel), toneTolerance);
        EXPECT_EQ(statusOf(*player).restarts, 0) << channel;
    }
}

// Of a master playlist, the best variant that is audio only; after repeated
// stalls, the next one down.
TEST_F(StreamPlayerTest, AMasterPlaylistPlaysTheBestAudioVariantAndStepsDownAfterStalls)
{
    server_.configure("master", "1", channelA);
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    ASSERT_TRUE(hears(meter, 0.5));
    const std::string id = channelA;
    EXPECT_GT(server_.count(id + ":hi"), 0);
    EXPECT_EQ(server_.count(id + ":lo"), 0);
    EXPECT_EQ(server_.count(id + ":video"), 0);

    server_.setFault("stall", channelA);
    ASSERT_TRUE(waitFor([&] { return server_.count(id + ":lo") > 0; }, 60s)) << "did not step down";
    server_.setFault("none", channelA);
    EXPECT_TRUE(hears(meter, 0.5, 40s));
}

// Bytes are played as they arrive: a segment that stalls after its first
// third is heard up to there.
TEST_F(StreamPlayerTest, PlaysASegmentBeforeItHasArrivedWhole)
{
    server_.setFault("stall", channelA);
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    EXPECT_TRUE(hears(meter, 0.1));
    EXPECT_EQ(server_.count(std::string(channelA) + ":segment"), 1);
}

// Every request of a stream may be redirected, but only to https: a redirect
// to plain http in the middle of playing is refused before anything is sent.
TEST_F(StreamPlayerTest, FollowsRedirectsToHttpsAndRefusesThemToHttp)
{
    const std::string id = channelA;
    server_.setFault("redirect-https", channelA);
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    ASSERT_TRUE(hears(meter, 0.5));
    EXPECT_GT(server_.count(id + ":moved"), 0);

    server_.setFault("segment-redirect", channelA);
    ASSERT_TRUE(waitFor([&] { return statusOf(*player).gaveUp; }, 30s));
    EXPECT_EQ(server_.count(id + ":plain"), 0) << "fetched over plain http";
}

struct FaultCase {
    const char* name;
    const char* fault;
    bool recovers; // retried until the fault goes away; else given up
    // The fault delivers part of each segment, and what arrives is played.
    bool partialAudio = false;
};

class FaultTest : public StreamPlayerTest, public ::testing::WithParamInterface<FaultCase> { };

// Every fault is on from the first request. Transient ones are retried while
// the player is asked to play and it plays as soon as the fault goes away;
// final ones are given up without another request.
TEST_P(FaultTest, MeetsTheFaultAsDescribed)
{
    const FaultCase& c = GetParam();
    server_.setFault(c.fault);
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();

    if (c.recovers) {
        ASSERT_TRUE(waitFor([&] { return statusOf(*player).restarts >= 1; }, 40s)) << "no retry";
        if (!c.partialAudio) {
            EXPECT_EQ(meter.loudSamples(), 0);
        }
        EXPECT_FALSE(statusOf(*player).gaveUp);
        server_.setFault("none");
        EXPECT_TRUE(hears(meter, 0.5, 40s)) << "did not recover";
        EXPECT_NEAR(toneOf(meter), HlsServer::toneFrequency(channelA), toneTolerance);
    } else {
        ASSERT_TRUE(waitFor([&] { return statusOf(*player).gaveUp; }, 30s)) << "did not give up";
        EXPECT_EQ(statusOf(*player).restarts, 0);
        server_.setFault("none");
        EXPECT_TRUE(staysSilent(meter, 1500ms));
        EXPECT_TRUE(statusOf(*player).gaveUp);
        EXPECT_EQ(meter.loudSamples(), 0);
        EXPECT_EQ(server_.count(std::string(channelA) + ":segment"), 0);
        EXPECT_EQ(server_.count(std::string(channelA) + ":plain"), 0) << "fetched over plain HTTP";

        // Asked to play again, it tries once more.
        player->play();
        EXPECT_TRUE(hears(meter, 0.5));
    }
    EXPECT_EQ(player->rate(), 1.0f) << "the requested rate never follows the network";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
    ::testing::Values(FaultCase { "ConnectionRefused", "refuse", true }, FaultCase { "ServerError", "500", true },
        FaultCase { "SegmentCutShort", "drop", true, true }, FaultCase { "SegmentUndecodable", "garbage", true },
        FaultCase { "SegmentStalled", "stall", true, true }, FaultCase { "NotFound", "404", false },
        FaultCase { "Forbidden", "403", false }, FaultCase { "WrongCertificate", "wrongcert", false },
        FaultCase { "RedirectToPlainHttp", "redirect", false }),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(StreamPlayerTest, AFaultWhilePlayingIsRetriedAndPlayingResumes)
{
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    ASSERT_TRUE(hears(meter, 0.3));

    server_.setFault("refuse");
    ASSERT_TRUE(waitFor([&] { return statusOf(*player).restarts >= 1; }, 60s)) << "the outage went unnoticed";
    server_.setFault("none");
    EXPECT_TRUE(hears(meter, 0.5, 40s));
    EXPECT_FALSE(statusOf(*player).gaveUp);
}

TEST_F(StreamPlayerTest, PauseStopsRetrying)
{
    server_.setFault("500");
    auto player = makePlayer(channelA);
    player->play();
    ASSERT_TRUE(waitFor([&] { return statusOf(*player).waiting; }, 20s));
    player->pause();
    EXPECT_FALSE(statusOf(*player).waiting);
    const int requests = server_.count(std::string(channelA) + ":playlist");
    const int restarts = statusOf(*player).restarts;
    // Longer than the first retry delay: nothing may be fetched meanwhile.
    EXPECT_FALSE(waitFor([&] { return statusOf(*player).restarts != restarts; }, 1500ms));
    EXPECT_EQ(server_.count(std::string(channelA) + ":playlist"), requests);
}

class ShortWindowTest : public StreamPlayerTest {
protected:
    ShortWindowTest()
        : StreamPlayerTest(shortWindow())
    {
    }
    static HlsServer::Options shortWindow()
    {
        HlsServer::Options options;
        options.segmentSeconds = 0.5;
        options.window = 3;
        return options;
    }
};

TEST_F(ShortWindowTest, APauseLongerThanTheLiveWindowRejoinsTheLiveEdge)
{
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    ASSERT_TRUE(hears(meter, 0.3));
    player->pause();
    // Let the paused position slide out of the playlist (3 x 0.5 s), twice over.
    const auto pausedAt = std::chrono::steady_clock::now();
    waitFor([&] { return std::chrono::steady_clock::now() - pausedAt > 4s; }, 10s);
    player->play();
    EXPECT_TRUE(hears(meter, 0.5, 10s));
    EXPECT_FALSE(statusOf(*player).gaveUp);
}

// A private bus stands in for the system bus, with the test as logind.
struct SystemBusStandIn {
    SystemBusStandIn()
    {
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), TRUE);
        // Only the system bus is stood in for; the settings backend would
        // otherwise take this bus for the session bus as well.
        g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    orvo::test::PrivateBus bus;
};

class WakeTest : private SystemBusStandIn, public StreamPlayerTest {
protected:
    WakeTest()
    {
        using namespace orvo::platform::glib;
        GUnique<GError> error;
        logind_ = adopt(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, out(error)));
        EXPECT_TRUE(logind_) << (error ? error->message : "");
        const auto reply
            = sink(g_dbus_connection_call_sync(logind_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", "org.freedesktop.login1", 0u), nullptr,
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
        EXPECT_TRUE(reply);
    }

    void wake()
    {
        g_dbus_connection_emit_signal(logind_.get(), nullptr, "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", FALSE), nullptr);
        g_dbus_connection_flush_sync(logind_.get(), nullptr, nullptr);
    }

    orvo::platform::glib::GRef<GDBusConnection> logind_;
};

TEST_F(WakeTest, WakingFromSleepRetriesAtOnce)
{
    server_.setFault("refuse");
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();
    // After four failed tries the next one is 8 s away.
    ASSERT_TRUE(waitFor([&] { return statusOf(*player).restarts == 4 && statusOf(*player).waiting; }, 30s));
    server_.setFault("none");
    wake();
    // Well inside the pending 8 s: only the wake-up can have restarted it.
    EXPECT_TRUE(waitFor([&] { return statusOf(*player).restarts == 5; }, 4s));
    EXPECT_TRUE(hears(meter, 0.3, 4s));
}

} // namespace
