// SPDX-License-Identifier: GPL-3.0-or-later
// The media controls on a private bus, driven by playerctl and by a second
// connection for what playerctl hides (value types, signals, error names).
#include "platform/linux/mpris/Mpris.h"
#include "platform/NowPlaying.h"
#include "platform/linux/core/GLibPtr.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
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
constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kNotSupported = "org.freedesktop.DBus.Error.NotSupported";

// Runs the main loop, from which the player answers, until an asynchronous
// call started by start() finishes; cancels it if it does not.
glib::GRef<GAsyncResult> await(const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start)
{
    auto cancellable = glib::adopt(g_cancellable_new());
    GAsyncResult* result = nullptr;
    start(
        cancellable.get(),
        [](GObject*, GAsyncResult* finished, gpointer data) {
            *static_cast<GAsyncResult**>(data) = G_ASYNC_RESULT(g_object_ref(finished));
        },
        &result);
    if (!test::waitFor([&] { return result != nullptr; })) {
        ADD_FAILURE() << "no answer";
        g_cancellable_cancel(cancellable.get());
        test::waitFor([&] { return result != nullptr; });
    }
    return glib::adopt(result);
}

// playerctl's output without its line end, or "failed" when it exits with an
// error.
std::string playerctl(std::vector<const char*> argv)
{
    argv.insert(argv.begin(), { "playerctl", "-p", "orvomenu" });
    argv.push_back(nullptr);
    auto process = glib::adopt(g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr));
    auto result = await([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_subprocess_communicate_utf8_async(process.get(), nullptr, cancellable, done, data);
    });
    GUnique<char> output;
    g_subprocess_communicate_utf8_finish(process.get(), result.get(), glib::out(output), nullptr, nullptr);
    std::string text = output ? output.get() : "";
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return g_subprocess_get_successful(process.get()) ? text : "failed";
}

class MprisTest : public ::testing::Test {
protected:
    // The reply in GVariant text form, or the D-Bus error name.
    std::string call(const char* iface, const char* method, const char* arguments = nullptr,
        const char* destination = kName, const char* path = kPath)
    {
        GUnique<GVariant> parameters(
            arguments ? g_variant_parse(nullptr, arguments, nullptr, nullptr, nullptr) : nullptr);
        auto result = await([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
            g_dbus_connection_call(client_.get(), destination, path, iface, method, parameters.get(), nullptr,
                G_DBUS_CALL_FLAGS_NONE, -1, cancellable, done, data);
        });
        GUnique<GError> error;
        GUnique<GVariant> reply(g_dbus_connection_call_finish(client_.get(), result.get(), glib::out(error)));
        if (!reply) {
            GUnique<char> name(g_dbus_error_get_remote_error(error.get()));
            return name ? name.get() : error->message;
        }
        return GUnique<char>(g_variant_print(reply.get(), FALSE)).get();
    }

    test::PrivateBus bus_;
    glib::GRef<GDBusConnection> client_ { g_dbus_connection_new_for_address_sync(bus_.address().c_str(),
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr) };
};

TEST_F(MprisTest, ReachableFromFirstUseWithWhatClientsActOn)
{
    EXPECT_FALSE(native::mprisNameOwned());
    RemoteCommandCenter::sharedCommandCenter();
    // The application sets up its commands before its main loop runs; media
    // keys pressed right then must already find the player.
    EXPECT_TRUE(native::mprisNameOwned());

    // Every property with its type, which strict clients (GNOME Shell, KDE)
    // check; playerctl sends nothing unless CanPlay and CanPause are true.
    EXPECT_EQ(call(kProperties, "GetAll", "('org.mpris.MediaPlayer2',)"),
        "({'CanQuit': <false>, 'CanRaise': <false>, 'HasTrackList': <false>, 'Identity': <'OrvoMenu'>, "
        "'DesktopEntry': <'orvomenu'>, 'SupportedUriSchemes': <@as []>, 'SupportedMimeTypes': <@as []>},)");
    EXPECT_EQ(call(kProperties, "GetAll", "('org.mpris.MediaPlayer2.Player',)"),
        "({'PlaybackStatus': <'Stopped'>, 'Rate': <1.0>, 'Metadata': <@a{sv} {}>, 'Volume': <1.0>, "
        "'Position': <int64 0>, 'MinimumRate': <1.0>, 'MaximumRate': <1.0>, 'CanGoNext': <false>, "
        "'CanGoPrevious': <false>, 'CanPlay': <true>, 'CanPause': <true>, 'CanSeek': <false>, 'CanControl': <true>},)");

    // Rate and Volume stay at 1.0: writing that is accepted, anything else is
    // refused and not kept. What a live stream cannot do has no effect and is
    // no error; addresses other than its own channels are refused.
    const std::tuple<const char*, const char*, const char*, const char*> table[] = {
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <1.0>)", "()" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <0.5>)", kNotSupported },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Rate', <2.0>)", kNotSupported },
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Volume')", "(<1.0>,)" },
        { kPlayer, "Next", nullptr, "()" },
        { kPlayer, "Previous", nullptr, "()" },
        { kPlayer, "Seek", "(int64 5000000,)", "()" },
        { kPlayer, "SetPosition", "(objectpath '/org/orvomenu/track/Vessa_201', int64 0)", "()" },
        { "org.mpris.MediaPlayer2", "Raise", nullptr, "()" },
        { "org.mpris.MediaPlayer2", "Quit", nullptr, "()" },
        { kPlayer, "OpenUri", "('https://example.org/a.m3u8',)", kNotSupported },
    };
    for (const auto& [iface, method, arguments, reply] : table) {
        EXPECT_EQ(call(iface, method, arguments), reply) << method << (arguments ? arguments : "");
    }
}

// A second running instance finds the name taken; it keeps working and takes
// the name over, with what it published meanwhile, when the first one quits.
TEST_F(MprisTest, SecondInstanceWaitsForTheName)
{
    EXPECT_EQ(call(kBus, "RequestName", "('org.mpris.MediaPlayer2.orvomenu', uint32 4)", kBus, kBusPath), "(1,)");
    auto& center = NowPlayingInfoCenter::defaultCenter();
    EXPECT_FALSE(native::mprisNameOwned());
    center.setNowPlayingInfo({ true, "Vessa 2", "Orvo" });
    center.setPlaybackState(PlaybackState::Paused);

    EXPECT_EQ(call(kBus, "ReleaseName", "('org.mpris.MediaPlayer2.orvomenu',)", kBus, kBusPath), "(1,)");
    EXPECT_TRUE(test::waitFor([] { return native::mprisNameOwned(); }));
    EXPECT_EQ(playerctl({ "metadata", "--format", "{{status}}|{{title}}|{{artist}}" }), "Paused|Vessa 2|Orvo");
}

TEST_F(MprisTest, PropertiesChangedOnlyForWhatChanged)
{
    std::vector<std::string> signals;
    g_dbus_connection_signal_subscribe(
        client_.get(), kName, kProperties, "PropertiesChanged", kPath, kPlayer, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data) {
            GUnique<GVariant> changed(g_variant_get_child_value(parameters, 1));
            static_cast<std::vector<std::string>*>(data)->push_back(
                GUnique<char>(g_variant_print(changed.get(), TRUE)).get());
        },
        &signals, nullptr);
    auto& center = NowPlayingInfoCenter::defaultCenter();
    // The subscription's match rule is in place once the bus has answered.
    call(kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'PlaybackStatus')");
    auto signal = [&](std::size_t number) {
        EXPECT_TRUE(test::waitFor([&] { return signals.size() >= number; }));
        return signals.size() >= number ? signals[number - 1] : "";
    };

    // The artist is a list and the track id an object path.
    center.setNowPlayingInfo({ true, "Vessa 1", "Orvo" });
    EXPECT_EQ(signal(1),
        "{'Metadata': <{'mpris:trackid': <objectpath '/org/orvomenu/track/Vessa_201'>, "
        "'xesam:title': <'Vessa 1'>, 'xesam:artist': <['Orvo']>}>}");
    center.setPlaybackState(PlaybackState::Playing);
    EXPECT_EQ(signal(2), "{'PlaybackStatus': <'Playing'>}");

    // The same values again, or a change undone within the turn, say
    // nothing; the next real change is the next signal, alone.
    center.setNowPlayingInfo({ true, "Vessa 1", "Orvo" });
    center.setPlaybackState(PlaybackState::Paused);
    center.setPlaybackState(PlaybackState::Playing);
    test::drainMainContext();
    center.setPlaybackState(PlaybackState::Paused);
    EXPECT_EQ(signal(3), "{'PlaybackStatus': <'Paused'>}");

    // Starting a channel publishes title and state in one turn: one signal.
    center.setNowPlayingInfo({ true, "Kelmora", "Orvo" });
    center.setPlaybackState(PlaybackState::Playing);
    const std::string both = signal(4);
    EXPECT_NE(both.find("'PlaybackStatus': <'Playing'>"), std::string::npos) << both;
    EXPECT_NE(both.find("'xesam:title': <'Kelmora'>"), std::string::npos) << both;
    EXPECT_EQ(signals.size(), 4u);
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
    commands.playCommand().addTargetWithHandler(handler("play1 ", first));
    commands.playCommand().addTargetWithHandler(handler("play2", last));
    commands.pauseCommand().addTargetWithHandler(handler("pause", first));
    commands.togglePlayPauseCommand().addTargetWithHandler(handler("toggle", first));
    // A live stream has no stop of its own: stop pauses.
    const std::pair<const char*, const char*> verbs[]
        = { { "play", "play1 play2" }, { "pause", "pause" }, { "stop", "pause" }, { "play-pause", "toggle" } };
    for (const auto& [verb, handlers] : verbs) {
        heard.clear();
        EXPECT_EQ(playerctl({ verb }), "") << verb;
        EXPECT_EQ(heard, handlers) << verb;
    }

    // The play command fails before any channel was started; the sender must
    // learn it. A handler's exception counts as a failure.
    const std::tuple<std::optional<Status>, std::optional<Status>, const char*> statuses[] = {
        { Status::CommandFailed, Status::Success, "()" },
        { Status::Success, Status::CommandFailed, "org.freedesktop.DBus.Error.Failed" },
        { Status::Success, std::nullopt, "org.freedesktop.DBus.Error.Failed" },
    };
    for (const auto& [firstStatus, lastStatus, reply] : statuses) {
        std::tie(first, last) = std::tie(firstStatus, lastStatus);
        heard.clear();
        EXPECT_EQ(call(kPlayer, "Play"), reply);
        EXPECT_EQ(heard, "play1 play2");
    }
}

} // namespace
} // namespace orvo::platform
