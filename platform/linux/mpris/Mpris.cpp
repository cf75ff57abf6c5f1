// SPDX-License-Identifier: GPL-3.0-or-later
// Now Playing and remote commands as an MPRIS2 media player on the session
// bus. Desktop media applets, media keys (through the settings daemon) and
// tools read Metadata and PlaybackStatus and call Play, Pause, PlayPause.
#include "platform/linux/mpris/Mpris.h"
#include "MprisSkeleton.h"
#include "platform/BuildConfig.h"
#include "platform/NowPlaying.h"
#include "platform/common/RemoteCommandHandlers.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/store/Volume.h"

#include <string>

namespace orvo::platform {
namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";

// Rate and Volume are writable in MPRIS2, and the generated skeleton would
// store whatever is written. Streams play at their own rate, so a write of
// 1.0 is accepted and anything else refused; Volume is the player's volume,
// clamped to 0…1 as MPRIS2 asks of negative values (louder than the stream
// is not offered). The skeleton has no hook for refusing a write
// (g-authorize-method sees method calls only), so this subclass hands GDBus
// the generated table with its own setter.
struct OrvoMprisPlayer {
    OrvoMprisMediaPlayer2PlayerSkeleton parent;
};
struct OrvoMprisPlayerClass {
    OrvoMprisMediaPlayer2PlayerSkeletonClass parent;
};
G_DEFINE_FINAL_TYPE(OrvoMprisPlayer, orvo_mpris_player, ORVO_MPRIS_TYPE_MEDIA_PLAYER2_PLAYER_SKELETON)

// GDBus has checked that the property is writable and the value a double.
gboolean setProperty(GDBusConnection*, const char*, const char*, const char*, const char* name, GVariant* value,
    GError** error, gpointer)
{
    if (g_str_equal(name, "Volume")) {
        native::Volume::instance().set(g_variant_get_double(value));
        return TRUE;
    }
    if (g_variant_get_double(value) == 1.0) {
        return TRUE;
    }
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "OrvoMenu keeps %s at 1.0", name);
    return FALSE;
}

GDBusInterfaceVTable* playerVtable(GDBusInterfaceSkeleton* skeleton)
{
    static GDBusInterfaceVTable vtable = [skeleton] {
        GDBusInterfaceVTable generated
            = *G_DBUS_INTERFACE_SKELETON_CLASS(orvo_mpris_player_parent_class)->get_vtable(skeleton);
        generated.set_property = &setProperty;
        return generated;
    }();
    return &vtable;
}

void orvo_mpris_player_class_init(OrvoMprisPlayerClass* playerClass)
{
    G_DBUS_INTERFACE_SKELETON_CLASS(playerClass)->get_vtable = &playerVtable;
}

void orvo_mpris_player_init(OrvoMprisPlayer*) { }

gboolean refuseUri(gpointer, GDBusMethodInvocation* invocation, const char*)
{
    g_dbus_method_invocation_return_error_literal(
        invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "OrvoMenu plays only its own channels");
    return TRUE;
}

// A failed status reaches the sender as org.freedesktop.DBus.Error.Failed.
gboolean perform(gpointer, GDBusMethodInvocation* invocation, gpointer command)
{
    auto status = RemoteCommandHandlerStatus::CommandFailed;
    try {
        status = static_cast<const RemoteCommandHandlers*>(command)->perform();
    } catch (...) {
        // Answered as a failure: an exception must not unwind through GDBus.
    }
    if (status == RemoteCommandHandlerStatus::Success) {
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
            "OrvoMenu could not carry out %s", g_dbus_method_invocation_get_method_name(invocation));
    }
    return TRUE;
}

// D-Bus strings must be UTF-8; a broken title must not make the reply invalid.
GVariant* utf8Variant(const std::string& text)
{
    glib::GUnique<char> valid(g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size())));
    return g_variant_new_string(valid.get());
}

// The track id only has to be a valid object path, outside /org/mpris, that
// differs between titles.
GVariant* metadata(const NowPlayingInfo& info)
{
    glib::GUnique<char> element(g_dbus_escape_object_path(info.title.c_str()));
    const std::string trackId = std::string("/org/orvomenu/track/") + element.get();
    GVariant* artist = utf8Variant(info.artist);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "mpris:trackid", g_variant_new_object_path(trackId.c_str()));
    g_variant_builder_add(&builder, "{sv}", "xesam:title", utf8Variant(info.title));
    g_variant_builder_add(&builder, "{sv}", "xesam:artist", g_variant_new_array(G_VARIANT_TYPE_STRING, &artist, 1));
    return g_variant_builder_end(&builder);
}

class MediaControls;
MediaControls* theControls = nullptr;

class MediaControls final : public NowPlayingInfoCenter, public RemoteCommandCenter {
public:
    // Lives until the process ends: the bus keeps pointers to it.
    static MediaControls& instance()
    {
        if (!theControls) {
            theControls = new MediaControls();
        }
        return *theControls;
    }

    MediaControls(const MediaControls&) = delete;
    MediaControls& operator=(const MediaControls&) = delete;

    // The skeleton announces what changed in one main-loop turn (play
    // publishes the title and then the state) as one PropertiesChanged,
    // holding only the values that differ from before that turn.
    void setNowPlayingInfo(const NowPlayingInfo& info) override
    {
        orvo_mpris_media_player2_player_set_metadata(player(), metadata(info));
        claimName();
    }

    void setPlaybackState(PlaybackState state) override
    {
        orvo_mpris_media_player2_player_set_playback_status(
            player(), state == PlaybackState::Playing ? "Playing" : "Paused");
        claimName();
    }

    RemoteCommand& playCommand() override { return play_; }
    RemoteCommand& pauseCommand() override { return pause_; }
    RemoteCommand& togglePlayPauseCommand() override { return toggle_; }

    bool nameOwned() const { return nameOwned_; }

private:
    MediaControls()
    {
        auto* root = ORVO_MPRIS_MEDIA_PLAYER2(root_.get());
        orvo_mpris_media_player2_set_identity(root, build::appName);
        orvo_mpris_media_player2_set_desktop_entry(root, build::appId);
        // Raise and Quit (the tray menu is the only window and has its own quit
        // item), Next, Previous, Seek and SetPosition do nothing: MPRIS2 asks for no
        // effect rather than an error when the player cannot do them.
        g_signal_connect(root, "handle-raise", G_CALLBACK(native::acknowledge<>), nullptr);
        g_signal_connect(root, "handle-quit", G_CALLBACK(native::acknowledge<>), nullptr);

        auto* player = this->player();
        orvo_mpris_media_player2_player_set_playback_status(player, "Stopped");
        orvo_mpris_media_player2_player_set_metadata(player, g_variant_new("a{sv}", nullptr));
        orvo_mpris_media_player2_player_set_rate(player, 1.0);
        orvo_mpris_media_player2_player_set_minimum_rate(player, 1.0);
        orvo_mpris_media_player2_player_set_maximum_rate(player, 1.0);
        orvo_mpris_media_player2_player_set_volume(player, native::Volume::instance().level());
        native::Volume::instance().onChange(
            [player] { orvo_mpris_media_player2_player_set_volume(player, native::Volume::instance().level()); });
        // Playing and pausing are what the remote commands offer; a live
        // stream has no next, previous or seeking.
        orvo_mpris_media_player2_player_set_can_play(player, TRUE);
        orvo_mpris_media_player2_player_set_can_pause(player, TRUE);
        orvo_mpris_media_player2_player_set_can_control(player, TRUE);
        g_signal_connect(player, "handle-play", G_CALLBACK(perform), &play_);
        g_signal_connect(player, "handle-pause", G_CALLBACK(perform), &pause_);
        // A live stream has no stop of its own; pausing keeps the channel
        // named so that a later play resumes it.
        g_signal_connect(player, "handle-stop", G_CALLBACK(perform), &pause_);
        g_signal_connect(player, "handle-play-pause", G_CALLBACK(perform), &toggle_);
        g_signal_connect(player, "handle-next", G_CALLBACK(native::acknowledge<>), nullptr);
        g_signal_connect(player, "handle-previous", G_CALLBACK(native::acknowledge<>), nullptr);
        g_signal_connect(player, "handle-seek", G_CALLBACK(native::acknowledge<gint64>), nullptr);
        g_signal_connect(
            player, "handle-set-position", G_CALLBACK((native::acknowledge<const char*, gint64>)), nullptr);
        g_signal_connect(player, "handle-open-uri", G_CALLBACK(refuseUri), nullptr);

        GDBusConnection* bus = native::sessionBus();
        for (gpointer skeleton : { static_cast<gpointer>(root_.get()), static_cast<gpointer>(player_.get()) }) {
            glib::GUnique<GError> error;
            if (!g_dbus_interface_skeleton_export(
                    G_DBUS_INTERFACE_SKELETON(skeleton), bus, kObjectPath, glib::out(error))) {
                g_warning("The media controls are unavailable: %s", error->message);
            }
        }
    }

    // The player appears on the bus with the first channel played: GNOME
    // lists every player it sees, and one that has played nothing would
    // stand there as "Unknown title". Media keys need nothing sooner, since
    // there is nothing to play or pause before that.
    void claimName()
    {
        if (claimed_) {
            return;
        }
        claimed_ = true;
        GDBusConnection* bus = native::sessionBus();
        // Without DO_NOT_QUEUE a second instance waits in line and takes
        // over when the first one quits.
        const std::string name = std::string("org.mpris.MediaPlayer2.") + build::appId;
        g_bus_own_name_on_connection(
            bus, name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, &onNameAcquired, &onNameLost, this, nullptr);
        // Media keys must reach the player as soon as it shows: the bus
        // answers one connection's calls in order, so by the time it answers
        // this one it has settled the request for the name made just above.
        nameOwned_ = ownerOf(bus, name) == g_dbus_connection_get_unique_name(bus);
    }

    OrvoMprisMediaPlayer2Player* player() const { return ORVO_MPRIS_MEDIA_PLAYER2_PLAYER(player_.get()); }

    static std::string ownerOf(GDBusConnection* bus, const std::string& name)
    {
        auto reply = glib::GUnique<GVariant>(g_dbus_connection_call_sync(bus, "org.freedesktop.DBus",
            "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", name.c_str()),
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
        const char* owner = "";
        if (reply) {
            g_variant_get(reply.get(), "(&s)", &owner);
        }
        return owner;
    }

    static void onNameAcquired(GDBusConnection*, const char* name, gpointer self)
    {
        g_debug("Owning %s", name);
        static_cast<MediaControls*>(self)->nameOwned_ = true;
    }

    static void onNameLost(GDBusConnection*, const char* name, gpointer self)
    {
        g_debug("Not owning %s", name);
        static_cast<MediaControls*>(self)->nameOwned_ = false;
    }

    glib::GRef<OrvoMprisMediaPlayer2Skeleton> root_ { ORVO_MPRIS_MEDIA_PLAYER2_SKELETON(
        orvo_mpris_media_player2_skeleton_new()) };
    glib::GRef<OrvoMprisPlayer> player_ { static_cast<OrvoMprisPlayer*>(
        g_object_new(orvo_mpris_player_get_type(), nullptr)) };
    RemoteCommandHandlers play_, pause_, toggle_;
    bool claimed_ = false;
    bool nameOwned_ = false;
};

} // namespace

NowPlayingInfoCenter& NowPlayingInfoCenter::defaultCenter()
{
    return MediaControls::instance();
}

RemoteCommandCenter& RemoteCommandCenter::sharedCommandCenter()
{
    return MediaControls::instance();
}

namespace native {

bool mprisNameOwned()
{
    return theControls && theControls->nameOwned();
}

} // namespace native
} // namespace orvo::platform
