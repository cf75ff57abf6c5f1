// SPDX-License-Identifier: GPL-3.0-or-later
// The media controls on a private session bus, driven by playerctl as a real
// MPRIS2 client and by a second GDBus connection for what playerctl hides
// (property types, signals, error names).
#include "platform/linux/mpris/Mpris.h"
#include "platform/NowPlaying.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace orvo::platform {
namespace {

using glib::GRef;
using glib::GUnique;

constexpr const char* kName = "org.mpris.MediaPlayer2.orvomenu";
constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

struct Outcome {
    int status = -1;
    std::string output;
    std::string errors;
};

// Runs playerctl for this player while the main loop keeps running, so the
// service in this process can answer it.
Outcome playerctl(const std::vector<std::string>& args)
{
    std::vector<const char*> argv { "playerctl", "-p", "orvomenu" };
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    GUnique<GError> error;
    auto process = glib::adopt(g_subprocess_newv(argv.data(),
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE),
        glib::out(error)));
    if (!process) {
        ADD_FAILURE() << "cannot start playerctl: " << error->message;
        return {};
    }
    struct Pending {
        bool done = false;
        GUnique<char> output;
        GUnique<char> errors;
    } pending;
    g_subprocess_communicate_utf8_async(
        process.get(), nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* p = static_cast<Pending*>(data);
            g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, glib::out(p->output), nullptr, nullptr);
            p->done = true;
        },
        &pending);
    if (!test::waitFor([&] { return pending.done; })) {
        ADD_FAILURE() << "playerctl did not finish";
        g_subprocess_force_exit(process.get());
        test::waitFor([&] { return pending.done; });
    }
    Outcome outcome;
    outcome.status = g_subprocess_get_if_exited(process.get()) ? g_subprocess_get_exit_status(process.get()) : -1;
    outcome.output = pending.output ? pending.output.get() : "";
    outcome.errors = pending.errors ? pending.errors.get() : "";
    while (!outcome.output.empty() && outcome.output.back() == '\n') {
        outcome.output.pop_back();
    }
    return outcome;
}

struct Reply {
    GUnique<GVariant> value;
    GUnique<GError> error;
    std::string errorName() const
    {
        GUnique<char> name(error ? g_dbus_error_get_remote_error(error.get()) : nullptr);
        return name ? name.get() : "";
    }
};

class MprisTest : public ::testing::Test {
protected:
    MprisTest()
    {
        GUnique<GError> error;
        client_ = glib::adopt(g_dbus_connection_new_for_address_sync(bus_.address().c_str(),
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, glib::out(error)));
        EXPECT_TRUE(client_) << (error ? error->message : "");
    }

    // Asynchronous, since the service answers from this same main loop.
    Reply call(const char* iface, const char* method, GVariant* parameters = nullptr)
    {
        struct Pending {
            bool done = false;
            Reply reply;
        } pending;
        g_dbus_connection_call(
            client_.get(), kName, kPath, iface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* p = static_cast<Pending*>(data);
                p->reply.value.reset(
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(p->reply.error)));
                p->done = true;
            },
            &pending);
        EXPECT_TRUE(test::waitFor([&] { return pending.done; }));
        return std::move(pending.reply);
    }

    GUnique<GVariant> getAll(const char* iface)
    {
        Reply reply = call(kProperties, "GetAll", g_variant_new("(s)", iface));
        EXPECT_TRUE(reply.value) << reply.error->message;
        return GUnique<GVariant>(reply.value ? g_variant_get_child_value(reply.value.get(), 0) : nullptr);
    }

    // Asks the bus daemon itself, which needs no turn of this main loop.
    std::string nameOwner()
    {
        GUnique<GError> error;
        auto reply = GUnique<GVariant>(g_dbus_connection_call_sync(client_.get(), "org.freedesktop.DBus",
            "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", kName),
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, glib::out(error)));
        const char* owner = "";
        if (reply) {
            g_variant_get(reply.get(), "(&s)", &owner);
        }
        return owner;
    }

    test::PrivateBus bus_;
    GRef<GDBusConnection> client_;
};

// --- Reaching the desktop ------------------------------------------------

class MprisFirstUse : public MprisTest, public ::testing::WithParamInterface<bool> { };

// The application sets up its commands before its main loop runs; media keys
// pressed right then must already find the player.
TEST_P(MprisFirstUse, NameIsOwnedRightAfterFirstUse)
{
    EXPECT_FALSE(native::mprisNameOwned());
    if (GetParam()) {
        RemoteCommandCenter::sharedCommandCenter();
    } else {
        NowPlayingInfoCenter::defaultCenter();
    }
    EXPECT_TRUE(native::mprisNameOwned());
    EXPECT_EQ(nameOwner(), g_dbus_connection_get_unique_name(native::sessionBus()));
    EXPECT_EQ(playerctl({ "status" }).output, "Stopped");
}
INSTANTIATE_TEST_SUITE_P(Accessors, MprisFirstUse, ::testing::Bool(),
    [](const auto& info) { return info.param ? "CommandCenter" : "InfoCenter"; });

// A second running instance finds the name taken; it keeps working and takes
// the name over, with what it published meanwhile, when the first one quits.
TEST_F(MprisTest, SecondInstanceWaitsForTheName)
{
    auto taken
        = GUnique<GVariant>(g_dbus_connection_call_sync(client_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", kName, 4u /* do not queue */),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    ASSERT_TRUE(taken);

    auto& center = NowPlayingInfoCenter::defaultCenter();
    EXPECT_FALSE(native::mprisNameOwned());
    center.setNowPlayingInfo({ true, "Radio 2", "Orvo" });
    center.setPlaybackState(PlaybackState::Paused);
    test::drainMainContext();

    auto released = GUnique<GVariant>(g_dbus_connection_call_sync(client_.get(), "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName", g_variant_new("(s)", kName),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    ASSERT_TRUE(released);
    EXPECT_TRUE(test::waitFor([] { return native::mprisNameOwned(); }));
    EXPECT_EQ(playerctl({ "status" }).output, "Paused");
    EXPECT_EQ(playerctl({ "metadata", "title" }).output, "Radio 2");
}

// --- What the desktop reads ----------------------------------------------

TEST_F(MprisTest, PlayerctlSeesWhatWasPublished)
{
    auto& center = NowPlayingInfoCenter::defaultCenter();
    EXPECT_EQ(playerctl({ "status" }).output, "Stopped");
    EXPECT_EQ(playerctl({ "metadata", "title" }).status, 1) << "no title before anything is published";

    center.setNowPlayingInfo({ true, "Radio 1", "Orvo" });
    center.setPlaybackState(PlaybackState::Playing);
    EXPECT_EQ(playerctl({ "status" }).output, "Playing");
    EXPECT_EQ(playerctl({ "metadata", "title" }).output, "Radio 1");
    EXPECT_EQ(playerctl({ "metadata", "artist" }).output, "Orvo");
    // playerctl prints object paths in GVariant text form.
    EXPECT_EQ(playerctl({ "metadata", "mpris:trackid" }).output, "'/org/orvomenu/track/Radio_201'");
    EXPECT_EQ(playerctl({ "metadata", "mpris:length" }).status, 1) << "a live stream has no length";

    // Media keys resume from what stays published after a pause.
    center.setPlaybackState(PlaybackState::Paused);
    EXPECT_EQ(playerctl({ "status" }).output, "Paused");
    EXPECT_EQ(playerctl({ "metadata", "title" }).output, "Radio 1");

    center.setNowPlayingInfo({ true, "Radio 3 Klasika", "Orvo" });
    EXPECT_EQ(playerctl({ "metadata", "title" }).output, "Radio 3 Klasika");
    EXPECT_EQ(playerctl({ "status" }).output, "Paused");
}

// Clients that read types strictly (GNOME Shell, KDE) reject a player whose
// properties have the wrong type, so check values with their types.
TEST_F(MprisTest, PropertiesHaveTheirMprisTypes)
{
    RemoteCommandCenter::sharedCommandCenter();
    struct Expected {
        const char* iface;
        const char* name;
        const char* value; // GVariant text format, with its type
    };
    const Expected table[] = {
        { kRoot, "Identity", "'OrvoMenu'" },
        { kRoot, "DesktopEntry", "'orvomenu'" },
        { kRoot, "CanQuit", "false" },
        { kRoot, "CanRaise", "false" },
        { kRoot, "HasTrackList", "false" },
        { kRoot, "SupportedUriSchemes", "@as []" },
        { kRoot, "SupportedMimeTypes", "@as []" },
        { kPlayer, "PlaybackStatus", "'Stopped'" },
        { kPlayer, "Metadata", "@a{sv} {}" },
        { kPlayer, "CanPlay", "true" },
        { kPlayer, "CanPause", "true" },
        { kPlayer, "CanControl", "true" },
        { kPlayer, "CanSeek", "false" },
        { kPlayer, "CanGoNext", "false" },
        { kPlayer, "CanGoPrevious", "false" },
        { kPlayer, "Rate", "1.0" },
        { kPlayer, "MinimumRate", "1.0" },
        { kPlayer, "MaximumRate", "1.0" },
        { kPlayer, "Volume", "1.0" },
        { kPlayer, "Position", "int64 0" },
    };
    auto root = getAll(kRoot);
    auto player = getAll(kPlayer);
    ASSERT_TRUE(root && player);
    for (const auto& row : table) {
        auto actual = GUnique<GVariant>(
            g_variant_lookup_value(row.iface == kRoot ? root.get() : player.get(), row.name, nullptr));
        auto expected = GUnique<GVariant>(g_variant_parse(nullptr, row.value, nullptr, nullptr, nullptr));
        ASSERT_TRUE(expected) << row.value;
        ASSERT_TRUE(actual) << row.name << " missing";
        EXPECT_TRUE(g_variant_equal(actual.get(), expected.get()))
            << row.name << " is " << GUnique<char>(g_variant_print(actual.get(), TRUE)).get();
    }
    EXPECT_EQ(g_variant_n_children(player.get()), 13u) << "no LoopStatus, Shuffle or other extras";
}

TEST_F(MprisTest, MetadataCarriesTrackIdTitleAndArtistList)
{
    NowPlayingInfoCenter::defaultCenter().setNowPlayingInfo({ true, "Radio 1", "Orvo" });
    Reply reply = call(kProperties, "Get", g_variant_new("(ss)", kPlayer, "Metadata"));
    ASSERT_TRUE(reply.value) << reply.error->message;
    GUnique<char> text(g_variant_print(reply.value.get(), TRUE));
    EXPECT_STREQ(text.get(),
        "(<{'mpris:trackid': <objectpath '/org/orvomenu/track/Radio_201'>, "
        "'xesam:title': <'Radio 1'>, 'xesam:artist': <['Orvo']>}>,)");
}

TEST(MprisTrackId, IsAValidDistinctObjectPathPerTitle)
{
    struct Row {
        std::string title;
        std::string path;
    };
    const Row table[] = {
        { "Radio1", "/org/orvomenu/track/Radio1" },
        { "Radio 1", "/org/orvomenu/track/Radio_201" },
        { "Radio_1", "/org/orvomenu/track/Radio_5f1" },
        { "", "/org/orvomenu/track/_" },
        { "Ž/../x", "/org/orvomenu/track/_c5_bd_2f_2e_2e_2fx" },
    };
    std::set<std::string> seen;
    for (const auto& row : table) {
        const std::string path = native::mprisTrackId(row.title);
        EXPECT_EQ(path, row.path);
        EXPECT_TRUE(g_variant_is_object_path(path.c_str())) << path;
        EXPECT_TRUE(seen.insert(path).second) << path;
    }
}

// --- Change signals --------------------------------------------------------

TEST_F(MprisTest, PropertiesChangedOnlyForWhatChanged)
{
    std::vector<GUnique<GVariant>> signals;
    g_dbus_connection_signal_subscribe(
        client_.get(), kName, kProperties, "PropertiesChanged", kPath, kPlayer, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data) {
            static_cast<std::vector<GUnique<GVariant>>*>(data)->push_back(
                GUnique<GVariant>(g_variant_get_child_value(parameters, 1)));
        },
        &signals, nullptr);
    auto& center = NowPlayingInfoCenter::defaultCenter();
    nameOwner(); // the subscription's match rule is in place once the daemon answers this
    auto keys = [](GVariant* changed) {
        std::set<std::string> names;
        GVariantIter iter;
        g_variant_iter_init(&iter, changed);
        const char* key = nullptr;
        GVariant* value = nullptr;
        while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
            names.insert(key);
            g_variant_unref(value);
        }
        return names;
    };
    auto waitForSignal = [&](std::size_t count) { return test::waitFor([&] { return signals.size() >= count; }); };

    center.setNowPlayingInfo({ true, "Radio 1", "Orvo" });
    ASSERT_TRUE(waitForSignal(1));
    EXPECT_EQ(keys(signals[0].get()), std::set<std::string> { "Metadata" });
    const char* title = nullptr;
    auto metadata = GUnique<GVariant>(g_variant_lookup_value(signals[0].get(), "Metadata", nullptr));
    EXPECT_TRUE(g_variant_lookup(metadata.get(), "xesam:title", "&s", &title));
    EXPECT_STREQ(title, "Radio 1");

    center.setPlaybackState(PlaybackState::Playing);
    ASSERT_TRUE(waitForSignal(2));
    EXPECT_EQ(keys(signals[1].get()), std::set<std::string> { "PlaybackStatus" });

    // The same values again say nothing; the next real change is the next
    // signal, alone.
    center.setNowPlayingInfo({ true, "Radio 1", "Orvo" });
    center.setPlaybackState(PlaybackState::Playing);
    test::drainMainContext();
    center.setPlaybackState(PlaybackState::Paused);
    ASSERT_TRUE(waitForSignal(3));
    EXPECT_EQ(keys(signals[2].get()), std::set<std::string> { "PlaybackStatus" });
    EXPECT_EQ(playerctl({ "status" }).output, "Paused");

    // Starting a channel publishes title and state in one turn: one signal.
    center.setNowPlayingInfo({ true, "Radio 2", "Orvo" });
    center.setPlaybackState(PlaybackState::Playing);
    ASSERT_TRUE(waitForSignal(4));
    EXPECT_EQ(keys(signals[3].get()), (std::set<std::string> { "Metadata", "PlaybackStatus" }));
    EXPECT_EQ(playerctl({ "status" }).output, "Playing");
    EXPECT_EQ(signals.size(), 4u);
}

// --- Commands --------------------------------------------------------------

struct CommandRow {
    const char* verb;
    int play, pause, toggle;
};

void PrintTo(const CommandRow& row, std::ostream* os)
{
    *os << row.verb;
}

class MprisCommand : public MprisTest, public ::testing::WithParamInterface<CommandRow> { };

TEST_P(MprisCommand, ReachesItsHandlers)
{
    auto& commands = RemoteCommandCenter::sharedCommandCenter();
    int play = 0, pause = 0, toggle = 0;
    auto counter = [](int& count) {
        return [&count](const RemoteCommandEvent&) {
            ++count;
            return RemoteCommandHandlerStatus::Success;
        };
    };
    commands.playCommand().addTargetWithHandler(counter(play));
    commands.pauseCommand().addTargetWithHandler(counter(pause));
    commands.togglePlayPauseCommand().addTargetWithHandler(counter(toggle));

    EXPECT_EQ(playerctl({ GetParam().verb }).status, 0);
    EXPECT_EQ(play, GetParam().play);
    EXPECT_EQ(pause, GetParam().pause);
    EXPECT_EQ(toggle, GetParam().toggle);
}
INSTANTIATE_TEST_SUITE_P(Verbs, MprisCommand,
    ::testing::Values(CommandRow { "play", 1, 0, 0 }, CommandRow { "pause", 0, 1, 0 },
        CommandRow { "play-pause", 0, 0, 1 }, CommandRow { "stop", 0, 1, 0 }),
    [](const auto& info) {
        std::string name = info.param.verb;
        std::erase(name, '-');
        return name;
    });

// The play command fails before any channel was started; the sender must
// learn it. Several handlers run in the order added and the last one answers.
using Status = RemoteCommandHandlerStatus;
struct StatusRow {
    std::vector<Status> statuses;
    bool succeeds;
};

void PrintTo(const StatusRow& row, std::ostream* os)
{
    for (const Status status : row.statuses) {
        *os << static_cast<int>(status) << ' ';
    }
    *os << (row.succeeds ? "succeeds" : "fails");
}

class MprisHandlerStatus : public MprisTest, public ::testing::WithParamInterface<StatusRow> { };

TEST_P(MprisHandlerStatus, LastHandlerAnswersTheSender)
{
    auto& play = RemoteCommandCenter::sharedCommandCenter().playCommand();
    std::vector<std::size_t> calls, expected;
    for (std::size_t i = 0; i < GetParam().statuses.size(); ++i) {
        play.addTargetWithHandler([&calls, i, status = GetParam().statuses[i]](const RemoteCommandEvent&) {
            calls.push_back(i);
            return status;
        });
        expected.push_back(i);
    }
    EXPECT_EQ(playerctl({ "play" }).status == 0, GetParam().succeeds);
    EXPECT_EQ(calls, expected);
    calls.clear();
    Reply reply = call(kPlayer, "Play");
    EXPECT_EQ(reply.errorName(), GetParam().succeeds ? "" : "org.freedesktop.DBus.Error.Failed");
    EXPECT_EQ(calls, expected);
}
INSTANTIATE_TEST_SUITE_P(Statuses, MprisHandlerStatus,
    ::testing::Values(StatusRow { {}, true }, StatusRow { { Status::CommandFailed }, false },
        StatusRow { { Status::Success }, true }, StatusRow { { Status::CommandFailed, Status::Success }, true },
        StatusRow { { Status::Success, Status::CommandFailed }, false }),
    [](const auto& info) {
        std::string name = info.param.statuses.empty() ? "NoHandler" : "Handlers";
        for (const Status status : info.param.statuses) {
            name += status == Status::Success ? "Success" : "Failed";
        }
        return name;
    });

// --- Bad and unsupported requests --------------------------------------------

TEST_F(MprisTest, BadRequestsGetErrorsAndTheServiceGoesOn)
{
    int plays = 0;
    RemoteCommandCenter::sharedCommandCenter().playCommand().addTargetWithHandler([&](const RemoteCommandEvent&) {
        ++plays;
        return RemoteCommandHandlerStatus::Success;
    });
    struct Row {
        const char* iface;
        const char* method;
        const char* parameters; // GVariant text, or nullptr
        const char* error; // expected D-Bus error name, "" for success
    };
    const Row table[] = {
        { kPlayer, "OpenUri", "('https://example.org/a.m3u8',)", "org.freedesktop.DBus.Error.NotSupported" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'PlaybackStatus', <'Playing'>)",
            "org.freedesktop.DBus.Error.InvalidArgs" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <0.5>)",
            "org.freedesktop.DBus.Error.NotSupported" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <'loud'>)",
            "org.freedesktop.DBus.Error.InvalidArgs" },
        { kProperties, "Set", "('org.mpris.MediaPlayer2.Player', 'Volume', <1.0>)", "" },
        { kProperties, "Get", "('org.mpris.MediaPlayer2.Player', 'Shuffle')",
            "org.freedesktop.DBus.Error.InvalidArgs" },
        { kPlayer, "Play", "('now',)", "org.freedesktop.DBus.Error.InvalidArgs" },
        { kPlayer, "Seek", "('far',)", "org.freedesktop.DBus.Error.InvalidArgs" },
        { kPlayer, "Rewind", nullptr, "org.freedesktop.DBus.Error.UnknownMethod" },
        { kPlayer, "Seek", "(int64 5000000,)", "" },
        { kPlayer, "SetPosition", "(objectpath '/org/orvomenu/track/Radio1', int64 0)", "" },
        { kRoot, "Raise", nullptr, "" },
        { kRoot, "Quit", nullptr, "" },
    };
    for (const auto& row : table) {
        GUnique<GVariant> parameters(
            row.parameters ? g_variant_parse(nullptr, row.parameters, nullptr, nullptr, nullptr) : nullptr);
        Reply reply = call(row.iface, row.method, parameters.get());
        EXPECT_EQ(reply.errorName(), row.error) << row.method << " " << (row.parameters ? row.parameters : "");
    }
    EXPECT_EQ(plays, 0) << "a malformed Play must not reach the handler";
    EXPECT_EQ(playerctl({ "play" }).status, 0);
    EXPECT_EQ(plays, 1);
    EXPECT_EQ(playerctl({ "status" }).output, "Stopped");
}

} // namespace
} // namespace orvo::platform
