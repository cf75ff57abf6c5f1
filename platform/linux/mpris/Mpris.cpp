// SPDX-License-Identifier: GPL-3.0-or-later
// Now Playing and remote commands as an MPRIS2 media player on the session
// bus. Desktop media applets, media keys (through the settings daemon) and
// tools read Metadata and PlaybackStatus and call Play, Pause, PlayPause.
#include "platform/linux/mpris/Mpris.h"
#include "platform/BuildConfig.h"
#include "platform/NowPlaying.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace orvo::platform {
namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kFailedError = "org.freedesktop.DBus.Error.Failed";
constexpr const char* kNotSupportedError = "org.freedesktop.DBus.Error.NotSupported";

// Both interfaces as MPRIS2 defines them, minus the optional LoopStatus,
// Shuffle and fullscreen members. GDBus checks every call against this:
// unknown methods, wrong argument signatures, writes to read-only properties
// and wrongly typed writes are answered with an error before our code runs.
constexpr const char* kIntrospection = R"(<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg direction="in" name="Offset" type="x"/></method>
    <method name="SetPosition">
      <arg direction="in" name="TrackId" type="o"/>
      <arg direction="in" name="Position" type="x"/>
    </method>
    <method name="OpenUri"><arg direction="in" name="Uri" type="s"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="readwrite"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="readwrite"/>
    <property name="Position" type="x" access="read">
      <annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal" value="false"/>
    </property>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
</node>)";

// RequestName replies (dbus-daemon's DBUS_REQUEST_NAME_REPLY_*).
constexpr guint32 kPrimaryOwner = 1;
constexpr guint32 kAlreadyOwner = 4;

std::string busName()
{
    return std::string("org.mpris.MediaPlayer2.") + build::appId;
}

// D-Bus strings must be UTF-8; a broken title must not make the reply invalid.
GVariant* utf8Variant(const std::string& text)
{
    glib::GUnique<char> valid(g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size())));
    return g_variant_new_string(valid.get());
}

class Command final : public RemoteCommand {
public:
    void addTargetWithHandler(RemoteCommandHandler handler) override
    {
        if (handler) {
            handlers_.push_back(std::move(handler));
        }
    }

    // Every handler in the order added; the last one's status answers. With
    // no handler there is nothing to do, which is not a failure.
    RemoteCommandHandlerStatus perform() const
    {
        // A copy, so a handler that adds another cannot invalidate the loop.
        const std::vector<RemoteCommandHandler> handlers = handlers_;
        RemoteCommandHandlerStatus status = RemoteCommandHandlerStatus::Success;
        for (const auto& handler : handlers) {
            status = handler(RemoteCommandEvent {});
        }
        return status;
    }

private:
    std::vector<RemoteCommandHandler> handlers_;
};

class MediaControls;
MediaControls* theControls = nullptr;

class MediaControls final : public NowPlayingInfoCenter, public RemoteCommandCenter {
public:
    // Lives until the process ends: the bus keeps pointers to it.
    static MediaControls& instance()
    {
        static MediaControls* controls = new MediaControls();
        return *controls;
    }

    MediaControls(const MediaControls&) = delete;
    MediaControls& operator=(const MediaControls&) = delete;

    void setNowPlayingInfo(const NowPlayingInfo& info) override
    {
        info_ = info;
        scheduleAnnouncement();
    }

    void setPlaybackState(PlaybackState state) override
    {
        state_ = state;
        scheduleAnnouncement();
    }

    RemoteCommand& playCommand() override { return play_; }
    RemoteCommand& pauseCommand() override { return pause_; }
    RemoteCommand& togglePlayPauseCommand() override { return toggle_; }

    bool nameOwned() const { return nameOwned_; }

private:
    MediaControls()
        : bus_(native::sessionBus())
        , name_(busName())
    {
        theControls = this;
        rememberAsAnnounced();
        // Listen before asking, so no change of ownership can slip between.
        for (const char* member : { "NameAcquired", "NameLost" }) {
            g_dbus_connection_signal_subscribe(bus_, "org.freedesktop.DBus", "org.freedesktop.DBus", member,
                "/org/freedesktop/DBus", name_.c_str(), G_DBUS_SIGNAL_FLAGS_NONE, &MediaControls::onNameSignal, this,
                nullptr);
        }
        registerObjects();
        requestName();
    }

    void registerObjects()
    {
        static const GDBusInterfaceVTable vtable
            = { &MediaControls::onMethodCall, &MediaControls::onGetProperty, &MediaControls::onSetProperty, {} };
        glib::GUnique<GError> error;
        node_.reset(g_dbus_node_info_new_for_xml(kIntrospection, glib::out(error)));
        if (!node_) {
            return;
        }
        for (GDBusInterfaceInfo** iface = node_->interfaces; *iface; ++iface) {
            // Fails only if this process already registered the path, which
            // nothing else does; the player then just stays unreachable.
            glib::GUnique<GError> registerError;
            g_dbus_connection_register_object(
                bus_, kObjectPath, *iface, &vtable, this, nullptr, glib::out(registerError));
        }
    }

    // Synchronous on purpose: media keys and applets must reach the player
    // from the moment its commands exist, which is before the main loop first
    // runs. Without DO_NOT_QUEUE a second instance waits in line and takes
    // over when the first one quits (NameAcquired).
    void requestName()
    {
        glib::GUnique<GError> error;
        auto reply = glib::GUnique<GVariant>(g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus",
            "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name_.c_str(), 0u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, glib::out(error)));
        if (reply) {
            guint32 result = 0;
            g_variant_get(reply.get(), "(u)", &result);
            nameOwned_ = result == kPrimaryOwner || result == kAlreadyOwner;
        }
    }

    static void onNameSignal(
        GDBusConnection*, const char*, const char*, const char*, const char* member, GVariant*, gpointer self)
    {
        auto* controls = static_cast<MediaControls*>(self);
        const bool owned = g_strcmp0(member, "NameAcquired") == 0;
        if (owned && !controls->nameOwned_) {
            // Whoever watches the name reads everything afresh now.
            controls->rememberAsAnnounced();
        }
        controls->nameOwned_ = owned;
    }

    void rememberAsAnnounced()
    {
        announcedMetadata_ = glib::sink(metadataVariant());
        announcedStatus_ = playbackStatus();
    }

    // Changes made in one main-loop turn (play publishes the title and then
    // the state) go out as one PropertiesChanged, and only what differs from
    // the last announcement is in it.
    void scheduleAnnouncement()
    {
        if (!announcement_) {
            announcement_
                = glib::SourceHandle(g_idle_add_full(G_PRIORITY_DEFAULT, &MediaControls::announce, this, nullptr));
        }
    }

    static gboolean announce(gpointer self)
    {
        auto* controls = static_cast<MediaControls*>(self);
        controls->announcement_.forget();
        controls->announceChanges();
        return G_SOURCE_REMOVE;
    }

    void announceChanges()
    {
        auto metadata = glib::sink(metadataVariant());
        const std::string status = playbackStatus();
        GVariantBuilder changed;
        g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
        bool anything = false;
        if (!announcedMetadata_ || !g_variant_equal(announcedMetadata_.get(), metadata.get())) {
            g_variant_builder_add(&changed, "{sv}", "Metadata", metadata.get());
            announcedMetadata_ = std::move(metadata);
            anything = true;
        }
        if (status != announcedStatus_) {
            g_variant_builder_add(&changed, "{sv}", "PlaybackStatus", g_variant_new_string(status.c_str()));
            announcedStatus_ = status;
            anything = true;
        }
        auto signal = glib::sink(g_variant_new(
            "(s@a{sv}@as)", kPlayerInterface, g_variant_builder_end(&changed), g_variant_new_strv(nullptr, 0)));
        if (anything && nameOwned_) {
            g_dbus_connection_emit_signal(bus_, nullptr, kObjectPath, "org.freedesktop.DBus.Properties",
                "PropertiesChanged", signal.get(), nullptr);
        }
    }

    GVariant* metadataVariant() const
    {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
        if (info_) {
            g_variant_builder_add(&builder, "{sv}", "mpris:trackid",
                g_variant_new_object_path(native::mprisTrackId(info_->title).c_str()));
            g_variant_builder_add(&builder, "{sv}", "xesam:title", utf8Variant(info_->title));
            GVariantBuilder artists;
            g_variant_builder_init(&artists, G_VARIANT_TYPE_STRING_ARRAY);
            g_variant_builder_add_value(&artists, utf8Variant(info_->artist));
            g_variant_builder_add(&builder, "{sv}", "xesam:artist", g_variant_builder_end(&artists));
        }
        return g_variant_builder_end(&builder);
    }

    std::string playbackStatus() const
    {
        if (!state_) {
            return "Stopped";
        }
        return *state_ == PlaybackState::Playing ? "Playing" : "Paused";
    }

    GVariant* property(const char* iface, const char* name) const
    {
        const std::string property = name;
        if (g_strcmp0(iface, kRootInterface) == 0) {
            if (property == "CanQuit" || property == "CanRaise" || property == "HasTrackList") {
                return g_variant_new_boolean(FALSE);
            }
            if (property == "Identity") {
                return g_variant_new_string("OrvoMenu");
            }
            if (property == "DesktopEntry") {
                return g_variant_new_string(build::appId);
            }
            if (property == "SupportedUriSchemes" || property == "SupportedMimeTypes") {
                return g_variant_new_strv(nullptr, 0);
            }
            return nullptr;
        }
        if (property == "PlaybackStatus") {
            return g_variant_new_string(playbackStatus().c_str());
        }
        if (property == "Metadata") {
            return metadataVariant();
        }
        if (property == "Rate" || property == "MinimumRate" || property == "MaximumRate" || property == "Volume") {
            return g_variant_new_double(1.0);
        }
        if (property == "Position") {
            return g_variant_new_int64(0);
        }
        // Playing and pausing are what the remote commands offer; a live
        // stream has no next, previous or seeking.
        if (property == "CanPlay" || property == "CanPause" || property == "CanControl") {
            return g_variant_new_boolean(TRUE);
        }
        if (property == "CanGoNext" || property == "CanGoPrevious" || property == "CanSeek") {
            return g_variant_new_boolean(FALSE);
        }
        return nullptr;
    }

    static GVariant* onGetProperty(
        GDBusConnection*, const char*, const char*, const char* iface, const char* name, GError** error, gpointer self)
    {
        GVariant* value = static_cast<MediaControls*>(self)->property(iface, name);
        if (!value) {
            g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
        }
        return value;
    }

    // Rate and Volume are writable in MPRIS2, but streams play at their own
    // rate and at full volume (the desktop's mixer sets the level): writing
    // the value they already have is accepted, anything else is refused.
    static gboolean onSetProperty(GDBusConnection*, const char*, const char*, const char*, const char* name,
        GVariant* value, GError** error, gpointer)
    {
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE) && g_variant_get_double(value) == 1.0) {
            return TRUE;
        }
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "OrvoMenu keeps %s at 1.0", name);
        return FALSE;
    }

    static void onMethodCall(GDBusConnection*, const char*, const char*, const char* iface, const char* method,
        GVariant*, GDBusMethodInvocation* invocation, gpointer self)
    {
        auto* controls = static_cast<MediaControls*>(self);
        const std::string name = method;
        const Command* command = nullptr;
        if (g_strcmp0(iface, kPlayerInterface) == 0) {
            if (name == "Play") {
                command = &controls->play_;
            } else if (name == "Pause" || name == "Stop") {
                // A live stream has no stop of its own; pausing keeps the
                // channel named so that a later play resumes it.
                command = &controls->pause_;
            } else if (name == "PlayPause") {
                command = &controls->toggle_;
            } else if (name == "OpenUri") {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, kNotSupportedError, "OrvoMenu plays only its own channels");
                return;
            }
        }
        // Raise and Quit (the tray menu is the only window and has its own
        // quit item), Next, Previous, Seek and SetPosition do nothing.
        if (!command) {
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        RemoteCommandHandlerStatus status = RemoteCommandHandlerStatus::CommandFailed;
        try {
            status = command->perform();
        } catch (const std::exception&) {
            // Answered as a failure below; a handler's exception must not
            // unwind through the bus library.
        }
        if (status == RemoteCommandHandlerStatus::Success) {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        } else {
            g_dbus_method_invocation_return_dbus_error(
                invocation, kFailedError, ("OrvoMenu could not carry out " + name).c_str());
        }
    }

    GDBusConnection* bus_;
    std::string name_;
    glib::GUnique<GDBusNodeInfo> node_;
    bool nameOwned_ = false;
    Command play_, pause_, toggle_;
    std::optional<NowPlayingInfo> info_;
    std::optional<PlaybackState> state_;
    glib::SourceHandle announcement_;
    // What PropertiesChanged last said, so that a change back and forth
    // within one turn, or the same value again, says nothing.
    glib::GUnique<GVariant> announcedMetadata_;
    std::string announcedStatus_;
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

std::string mprisTrackId(const std::string& title)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string path = "/org/orvomenu/track/";
    for (const char c : title) {
        const auto byte = static_cast<unsigned char>(c);
        if (g_ascii_isalnum(c)) {
            path += c;
        } else {
            path += '_';
            path += hex[byte >> 4];
            path += hex[byte & 0xf];
        }
    }
    // An object path element may not be empty.
    if (title.empty()) {
        path += '_';
    }
    return path;
}

} // namespace native
} // namespace orvo::platform
