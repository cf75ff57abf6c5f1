// SPDX-License-Identifier: GPL-3.0-or-later
// The media controls on a private bus, driven from a second connection as
// desktops and playerctl drive them (playerctl itself runs in the end-to-end
// tests, against the whole application).
#include "platform/linux/mpris/Mpris.h"
#include "platform/NowPlaying.h"
#include "platform/linux/store/Volume.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace orvo::platform {
namespace {

using glib::GUnique;
using Status = RemoteCommandHandlerStatus;

constexpr const char* kName = "org.mpris.MediaPlayer2.orvomenu";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kNotSupported = "org.freedesktop.DBus.Error.NotSupported";
constexpr const char* kFailed = "org.freedesktop.DBus.Error.Failed";

class MprisTest : public ::testing::Test {
protected:
    // The reply in GVariant text form, or the D-Bus error name.
    std::string call(const char* iface, const char* method, const char* arguments = nullptr)
    {
        GUnique<GVariant> parameters(
            arguments ? g_variant_parse(nullptr, arguments, nullptr, nullptr, nullptr) : nullptr);
        auto reply = client_.call(kName, "/org/mpris/MediaPlayer2", iface, method, parameters.get());
        if (!reply.value) {
            GUnique<char> name(g_dbus_error_get_remote_error(reply.error.get()));
            return name ? name.get() : reply.error->message;
        }
        return GUnique<char>(g_variant_print(reply.value.get(), FALSE)).get();
    }

    void SetUp() override { g_setenv("XDG_CONFIG_HOME", config_.path().c_str(), TRUE); }

    test::TempDir config_;
    test::PrivateBus bus_;
    test::TestHost client_ { kName }; // records what the player signals
};

// The player shows on the bus from the first channel played, not before (a
// media card would stand there as "Unknown title"). What a live stream cannot
// do has no effect and is no error; addresses other than its own channels
// are refused. Volume is the player's, kept between runs; a damaged stored
// value reads as full volume.
TEST_F(MprisTest, ShowsFromTheFirstChannelAndKeepsItsVolume)
{
    test::writeFile(config_.path() / "orvomenu/defaults.json", R"({"volume": "loud"})");
    RemoteCommandCenter::sharedCommandCenter();
    EXPECT_FALSE(native::mprisNameOwned());
    NowPlayingInfoCenter::defaultCenter().setNowPlayingInfo({ true, "Vessa 2", "Orvo" });
    EXPECT_TRUE(native::mprisNameOwned());

    const std::tuple<const char*, const char*, const char*, const char*> table[] = {
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Volume')", "(<1.0>,)" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <0.25>)", "()" },
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Volume')", "(<0.25>,)" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <-3.0>)", "()" },
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Volume')", "(<0.0>,)" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <1e300>)", "()" },
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Volume')", "(<1.0>,)" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <0.5>)", "()" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Rate', <2.0>)", kNotSupported },
        { kPlayer, "Next", nullptr, "()" },
        { kPlayer, "Seek", "(int64 5000000,)", "()" },
        { kPlayer, "SetPosition", "(objectpath '/org/orvomenu/track/Vessa_201', int64 0)", "()" },
        { "org.mpris.MediaPlayer2", "Quit", nullptr, "()" },
        { kPlayer, "OpenUri", "('https://example.org/a.m3u8',)", kNotSupported },
    };
    for (const auto& [iface, method, arguments, reply] : table) {
        EXPECT_EQ(call(iface, method, arguments), reply) << method << (arguments ? arguments : "");
    }
    native::Volume::instance().save(); // as quitting does
    EXPECT_NE(test::readFile(config_.path() / "orvomenu/defaults.json").find("\"volume\": 0.5"), std::string::npos);
}

TEST_F(MprisTest, PropertiesChangedOnlyForWhatChanged)
{
    auto& center = NowPlayingInfoCenter::defaultCenter();
    // The n-th PropertiesChanged: what changed, as GVariant text.
    auto changed = [&](std::size_t n) -> std::string {
        if (!test::waitFor([&] { return client_.signals().size() >= n; })) {
            return "none";
        }
        EXPECT_EQ(client_.signals()[n - 1].member, "PropertiesChanged");
        GUnique<GVariant> values(g_variant_get_child_value(client_.signals()[n - 1].parameters.get(), 1));
        return GUnique<char>(g_variant_print(values.get(), TRUE)).get();
    };

    // The artist is a list and the track id an object path.
    center.setNowPlayingInfo({ true, "Vessa 1", "Orvo" });
    EXPECT_EQ(changed(1),
        "{'Metadata': <{'mpris:trackid': <objectpath '/org/orvomenu/track/Vessa_201'>, "
        "'xesam:title': <'Vessa 1'>, 'xesam:artist': <['Orvo']>}>}");
    center.setPlaybackState(PlaybackState::Playing);
    EXPECT_EQ(changed(2), "{'PlaybackStatus': <'Playing'>}");

    // The same values again, or a change undone within the turn, say
    // nothing; the next real change is the next signal, alone.
    center.setNowPlayingInfo({ true, "Vessa 1", "Orvo" });
    center.setPlaybackState(PlaybackState::Paused);
    center.setPlaybackState(PlaybackState::Playing);
    test::drainMainContext();
    center.setPlaybackState(PlaybackState::Paused);
    EXPECT_EQ(changed(3), "{'PlaybackStatus': <'Paused'>}");

    // Starting a channel publishes title and state in one turn: one signal.
    center.setNowPlayingInfo({ true, "Kelmora", "Orvo" });
    center.setPlaybackState(PlaybackState::Playing);
    const std::string both = changed(4);
    EXPECT_NE(both.find("'PlaybackStatus': <'Playing'>"), std::string::npos) << both;
    EXPECT_NE(both.find("'xesam:title': <'Kelmora'>"), std::string::npos) << both;
    EXPECT_EQ(client_.signals().size(), 4u);
}

TEST_F(MprisTest, CommandsReachTheirHandlersAndTheLastOneAnswers)
{
    std::string heard;
    std::optional<Status> first = Status::Success, last = Status::Success; // none: the handler throws
    auto handler = [&heard](const char* name, const std::optional<Status>& status) {
        return [&heard, name, &status](const RemoteCommandEvent&) {
            heard += name;
            return status ? *status : throw std::runtime_error("handler failed");
        };
    };
    auto& commands = RemoteCommandCenter::sharedCommandCenter();
    NowPlayingInfoCenter::defaultCenter().setPlaybackState(PlaybackState::Paused);
    commands.playCommand().addTargetWithHandler(handler("play1 ", first));
    commands.playCommand().addTargetWithHandler(handler("play2", last));
    commands.pauseCommand().addTargetWithHandler(handler("pause", first));
    commands.togglePlayPauseCommand().addTargetWithHandler(handler("toggle", first));
    // A live stream has no stop of its own: stop pauses. The play command
    // fails before any channel was started; the sender must learn it. A
    // handler's exception counts as a failure.
    const std::optional<Status> ok = Status::Success;
    const std::tuple<const char*, std::optional<Status>, std::optional<Status>, const char*, const char*> cases[] = {
        { "Play", ok, ok, "()", "play1 play2" },
        { "Stop", ok, ok, "()", "pause" },
        { "PlayPause", ok, ok, "()", "toggle" },
        { "Play", ok, Status::CommandFailed, kFailed, "play1 play2" },
        { "Play", ok, std::nullopt, kFailed, "play1 play2" },
    };
    for (const auto& [method, firstStatus, lastStatus, reply, handlers] : cases) {
        std::tie(first, last) = std::tie(firstStatus, lastStatus);
        heard.clear();
        EXPECT_EQ(call(kPlayer, method), reply) << method;
        EXPECT_EQ(heard, handlers) << method;
    }
}

} // namespace
} // namespace orvo::platform
