// SPDX-License-Identifier: GPL-3.0-or-later
// The stream player against the local live HLS server over HTTPS, listening
// to the decoded audio it really plays (each channel is a different tone).
#include "platform/StreamPlayer.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/PlaybackNotice.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/player/Playback.h"
#include "platform/linux/player/RetryController.h"
#include "tests/support/TestSupport.h"
#include "tests/support/hls/HlsServer.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;
using orvo::platform::Player;
using orvo::platform::native::statusOf;
using orvo::test::HlsServer;
using orvo::test::waitFor;

namespace {

constexpr const char* channelA = "vessa180a"; // 870 Hz
constexpr const char* channelB = "vessa280a"; // 430 Hz
// The estimate counts the odd silent sample at a (re)start; the two channels
// lie 440 Hz apart, so this still tells them apart.
constexpr double toneTolerance = 60;

// Listens to what a player renders into its test sink (see the fixture):
// loud samples, and zero crossings for the tone.
class SoundMeter {
public:
    static constexpr int rate = 48000;

    explicit SoundMeter(const Player& player)
        : sink_(gst_bin_get_by_name(GST_BIN(orvo::platform::native::pipelineOf(player)), "orvo-meter"))
        , handler_(g_signal_connect(sink_.get(), "handoff", G_CALLBACK(&SoundMeter::onHandoff), this))
    {
    }
    ~SoundMeter() { g_signal_handler_disconnect(sink_.get(), handler_); }

    std::int64_t loudSamples() const { return loud_; }

    // Waits until `seconds` more of loud audio were heard.
    bool hears(double seconds, std::chrono::milliseconds guard = 20s) const
    {
        const auto target = loud_ + static_cast<std::int64_t>(seconds * rate);
        return waitFor([&] { return loud_ >= target; }, guard);
    }

    bool staysSilent(std::chrono::milliseconds span) const
    {
        const std::int64_t before = loud_;
        return !waitFor([&] { return loud_ != before; }, span);
    }

    // The tone heard over the next half second, in hertz.
    double tone()
    {
        samples_ = crossings_ = 0;
        waitFor([&] { return samples_ >= rate / 2; }, 20s);
        return samples_ > 0 ? crossings_ / 2.0 * rate / static_cast<double>(samples_) : 0.0;
    }

private:
    // Runs on the sink's streaming thread; touches only atomics.
    static void onHandoff(GstElement*, GstBuffer* buffer, GstPad*, SoundMeter* self)
    {
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            return;
        }
        const auto* samples = reinterpret_cast<const std::int16_t*>(map.data);
        const std::size_t count = map.size / sizeof(std::int16_t);
        bool positive = self->positive_;
        for (std::size_t i = 0; i < count; ++i) {
            self->loud_ += std::abs(samples[i]) > 1000;
            // Hysteresis keeps noise near zero from counting as crossings.
            if ((positive && samples[i] < -300) || (!positive && samples[i] > 300)) {
                positive = !positive;
                ++self->crossings_;
            }
        }
        gst_buffer_unmap(buffer, &map);
        self->positive_ = positive;
        self->samples_ += static_cast<std::int64_t>(count);
    }

    orvo::platform::glib::GRef<GstElement> sink_;
    gulong handler_;
    std::atomic<std::int64_t> loud_ { 0 };
    std::atomic<std::int64_t> samples_ { 0 };
    std::atomic<std::int64_t> crossings_ { 0 };
    std::atomic<bool> positive_ { false };
};

class StreamPlayerTest : public ::testing::Test {
protected:
    StreamPlayerTest()
    {
        orvo::platform::native::preparePlayback();
        orvo::platform::native::trustExtraCa(server_.caFile());
        g_setenv("LC_ALL", "C", TRUE); // the tray's notices in English
        g_setenv(orvo::platform::native::audioSinkVariable,
            "audioconvert ! audioresample ! audio/x-raw,format=S16LE,channels=1,rate=48000 ! "
            "fakesink name=orvo-meter sync=true signal-handoffs=true",
            TRUE);
    }

    std::unique_ptr<Player> makePlayer(const std::string& channel)
    {
        const auto url = orvo::platform::Url::parse(server_.url(channel));
        EXPECT_TRUE(url);
        return Player::create(orvo::platform::PlayerItem::create(*url));
    }

    // Plays the channel until its tone is heard.
    void expectTone(SoundMeter& meter, const std::string& channel, std::chrono::milliseconds guard = 20s)
    {
        ASSERT_TRUE(meter.hears(0.5, guard)) << channel;
        EXPECT_NEAR(meter.tone(), server_.toneFrequency(channel), toneTolerance) << channel;
    }

    HlsServer server_;
};

int entriesIn(const char* folder)
{
    const std::filesystem::directory_iterator entries(folder);
    return static_cast<int>(std::distance(begin(entries), end(entries)));
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
    for (int i = 0; i <= changes; ++i) {
        const std::string& channel = channels[static_cast<std::size_t>(i) % channels.size()];
        if (i == changes) {
            // Last, a switch away from a stream that is heard.
            expectTone(*meter, channels[static_cast<std::size_t>(i - 1) % channels.size()]);
        }
        if (player) {
            releasedWhile[meter->loudSamples() > 0             ? "sound"
                    : server_.count(segments) > segmentsBefore ? "segment"
                                                               : "playlist"]++;
            player->pause();
            player.reset();
        }
        if (i == 20) {
            // Warm by now: the session's connections, GStreamer's thread pools.
            orvo::test::drainMainContext();
            fds = entriesIn("/proc/self/fd");
            threads = entriesIn("/proc/self/task");
        }
        const auto released = std::move(meter);
        const auto releasedSound = released ? released->loudSamples() : 0;
        segments = channel + ":segment";
        segmentsBefore = server_.count(segments);
        player = makePlayer(channel);
        meter = std::make_unique<SoundMeter>(*player);
        player->play();
        if (i == changes) {
            expectTone(*meter, channel);
            EXPECT_EQ(released->loudSamples(), releasedSound) << "a released stream was heard";
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause(random));
        waitFor([&] { return std::chrono::steady_clock::now() >= until; }, 1s);
    }
    EXPECT_GT(releasedWhile["playlist"], 0);
    EXPECT_GT(releasedWhile["segment"], 0);
    EXPECT_GT(releasedWhile["sound"], 0);

    // A burst with no main-loop turn between the changes: the requests of
    // the players it released never reach the server.
    const int playlists = server_.count(std::string(channelB) + ":playlist");
    for (int i = 0; i < 300; ++i) {
        makePlayer(channelB)->play();
    }
    player = makePlayer(channelB);
    meter = std::make_unique<SoundMeter>(*player);
    player->play();
    expectTone(*meter, channelB);
    EXPECT_LE(server_.count(std::string(channelB) + ":playlist") - playlists, 12);

    player->pause();
    meter.reset();
    player.reset();
    orvo::test::drainMainContext();
    // Idle connections may stay pooled (the session keeps eight per host at
    // most); threads parked for reuse are told to end, and end when they wake.
    EXPECT_LE(entriesIn("/proc/self/fd"), fds + 8);
    g_thread_pool_stop_unused_threads();
    EXPECT_TRUE(waitFor([&] { return entriesIn("/proc/self/task") <= threads + 4; }, 20s))
        << entriesIn("/proc/self/task") << " threads, " << threads << " when warm";
}

enum class Outcome { Plays, Recovers, GivesUp };

struct StreamCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> settings; // the radio's settings for the channel
    const char* fault = "none"; // on from the first request
    Outcome outcome = Outcome::Plays;
    bool partialAudio = false; // the fault delivers part of each segment, which may be played
    double seconds = 0.5; // heard without a restart
    int runs = 0; // > 0: at most this many runs of the pipeline begun meanwhile
};

void PrintTo(const StreamCase& c, std::ostream* os)
{
    *os << c.name;
}

class StreamTest : public StreamPlayerTest, public ::testing::WithParamInterface<StreamCase> { };

// Every container, encryption and redirect the radio offers plays the
// channel's tone; splices (new timestamps, a fresh demuxer) play on.
// Transient faults are retried while the player is asked to play and it plays
// as soon as the fault goes away; final ones are given up without another
// request and nothing is fetched over plain http. The tray's notice says
// which of these is happening, and why.
TEST_P(StreamTest, MeetsTheStreamAsDescribed)
{
    const StreamCase& c = GetParam();
    for (const auto& [name, value] : c.settings) {
        server_.configure(name, value, channelA);
    }
    server_.setFault(c.fault);
    auto player = makePlayer(channelA);
    SoundMeter meter(*player);
    player->play();

    const auto notice = [] { return orvo::platform::native::PlaybackNotice::instance().text(); };
    if (c.outcome == Outcome::Plays) {
        EXPECT_EQ(notice(), "Connecting…");
        ASSERT_TRUE(meter.hears(c.seconds));
        expectTone(meter, channelA);
        EXPECT_EQ(statusOf(*player).restarts, 0);
        EXPECT_EQ(notice(), "");
        EXPECT_TRUE(c.runs == 0 || statusOf(*player).runs <= c.runs) << statusOf(*player).runs << " runs";
    } else if (c.outcome == Outcome::Recovers) {
        if (c.fault == std::string_view("stall")) {
            // Bytes are played as they arrive: a stalled segment up to where it stalls.
            EXPECT_TRUE(meter.hears(0.1)) << "what arrived was not played";
        }
        ASSERT_TRUE(waitFor([&] { return statusOf(*player).restarts >= 1; }, 40s)) << "no retry";
        EXPECT_TRUE(c.partialAudio || meter.loudSamples() == 0);
        EXPECT_FALSE(statusOf(*player).gaveUp);
        EXPECT_TRUE(notice().starts_with("Trying again: ")) << notice();
        server_.setFault("none");
        expectTone(meter, channelA, 40s);
        EXPECT_TRUE(waitFor([&] { return notice().empty(); })) << notice();
    } else {
        ASSERT_TRUE(waitFor([&] { return statusOf(*player).gaveUp; }, 30s)) << "did not give up";
        EXPECT_EQ(statusOf(*player).restarts, 0);
        const std::map<std::string, std::string> reasons = { { "404", "the station answered HTTP 404" },
            { "403", "the station answered HTTP 403" }, { "wrongcert", "the station's certificate is not trusted" },
            { "redirect", "the station redirected to an insecure address" },
            { "segment-redirect", "the station redirected to an insecure address" } };
        EXPECT_EQ(notice(), "Cannot be played: " + reasons.at(c.fault));
        server_.setFault("none");
        EXPECT_TRUE(meter.staysSilent(1500ms));
        EXPECT_TRUE(statusOf(*player).gaveUp);
        EXPECT_EQ(meter.loudSamples(), 0);
        EXPECT_EQ(server_.count(std::string(channelA) + ":plain"), 0) << "fetched over plain http";

        // Asked to play again, it tries once more.
        player->play();
        EXPECT_TRUE(meter.hears(0.5));
    }
    EXPECT_EQ(player->rate(), 1.0f) << "the requested rate never follows the network";
}

constexpr auto recovers = Outcome::Recovers;
constexpr auto givesUp = Outcome::GivesUp;

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest,
    ::testing::Values(StreamCase { "MpegTs", {} }, StreamCase { "FragmentedMp4", { { "format", "fmp4" } } },
        StreamCase { "PackedAdtsAac", { { "format", "aac" } } }, StreamCase { "PackedMp3", { { "format", "mp3" } } },
        StreamCase { "Aes128WithIv", { { "key", "aes" } } },
        StreamCase { "Aes128SequenceIvFmp4", { { "key", "aes-seq" }, { "format", "fmp4" } } },
        // The first run holds three segments: six seconds pass several splices.
        StreamCase { "SplicedMpegTs", { { "discontinuity", "2" } }, "none", Outcome::Plays, false, 6 },
        StreamCase {
            "SplicedFmp4", { { "format", "fmp4" }, { "discontinuity", "2" } }, "none", Outcome::Plays, false, 6 },
        StreamCase { "RedirectedToHttps", {}, "redirect-https" },
        StreamCase { "MasterPlaylist", { { "master", "1" } } },
        // Media comes as it is: a compressed segment could unpack to far more than it weighs.
        StreamCase { "SegmentsAndKeysUncompressed", { { "key", "aes" } }, "identity-only" },
        // Two origins out of step answer in turn, each with a window of its own
        // 20 segments apart: the stream keeps to one, not a new run per reload.
        StreamCase { "TwoOriginsOutOfStep", { { "origins", "2" } }, "none", Outcome::Plays, false, 6, 2 },
        StreamCase { "ConnectionRefused", {}, "refuse", recovers }, StreamCase { "ServerError", {}, "500", recovers },
        StreamCase { "SegmentCutShort", {}, "drop", recovers, true },
        StreamCase { "SegmentUndecodable", {}, "garbage", recovers },
        StreamCase { "SegmentStalled", {}, "stall", recovers, true }, StreamCase { "NotFound", {}, "404", givesUp },
        StreamCase { "Forbidden", {}, "403", givesUp }, StreamCase { "WrongCertificate", {}, "wrongcert", givesUp },
        StreamCase { "RedirectToPlainHttp", {}, "redirect", givesUp },
        StreamCase { "SegmentRedirectToPlainHttp", {}, "segment-redirect", givesUp }),
    [](const auto& test) { return std::string(test.param.name); });

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

// Retries wait half a second, doubling up to 30 s, and start from the first
// delay again once sound has flowed.
TEST(RetryController, DelaysGrowToThirtySecondsAndStartAgainAfterSound)
{
    using namespace orvo::platform::native;
    struct FakeTimer final : Timer {
        void start(std::chrono::milliseconds d, bool, std::function<void()> f) override
        {
            delay = d;
            fire = std::move(f);
        }
        void stop() override { }
        bool active() const override { return false; }
        std::chrono::milliseconds delay { 0 };
        std::function<void()> fire;
    };
    std::vector<FakeTimer*> timers; // the retry timer first, then the watchdog
    RetryController controller(
        [&] {
            auto timer = std::make_unique<FakeTimer>();
            timers.push_back(timer.get());
            return timer;
        },
        { .restart = [] {},
            .halt = [] {},
            .position = [] { return std::optional<std::int64_t>(); },
            .changed = [] {} });
    controller.setWanted(true);
    std::vector<long> delays;
    for (int i = 0; i < 9; ++i) {
        controller.failed(Failure::Transient);
        delays.push_back(timers[0]->delay.count());
        timers[0]->fire();
    }
    EXPECT_EQ(delays, (std::vector<long> { 500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000 }));
    controller.soundFlows();
    controller.failed(Failure::Transient);
    EXPECT_EQ(timers[0]->delay, 500ms);
}

} // namespace
