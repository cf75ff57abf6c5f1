// SPDX-License-Identifier: GPL-3.0-or-later
// System-wide shortcuts through the org.freedesktop.portal.GlobalShortcuts
// portal: the way a Wayland session lets a program have keys whichever
// window has the focus.
//
// The conversation, all asynchronous on the main loop: register the app id
// (newer portals), CreateSession, ListShortcuts, and BindShortcuts only when
// the desktop does not hold all of them already. Each of those calls returns
// a Request object whose Response signal carries the answer; we subscribe to
// the Request's path (known in advance from our handle_token) before calling,
// as the portal documentation asks, since the answer may arrive before the
// call's reply.
//
// How the peers behave (read from their sources):
// - xdg-desktop-portal finds an unsandboxed app's id by the Registry
//   (org.freedesktop.host.portal.Registry.Register, 1.20 and later; it must
//   come before any other portal call on the connection and needs an
//   installed <id>.desktop), else from the systemd unit the launcher put the
//   process in (app-[<launcher>-]<id>-<random>.scope, or
//   app-<id>@autostart.service for autostart entries; 1.16 only accepts ids
//   with two dots), once per connection, at its first call of any kind. So
//   the app enters a scope of its own first (AppScope.cpp). From 1.21 on,
//   CreateSession refuses a caller without an id.
// - KDE Plasma 5.27 (and 6.0) bind the shortcuts given in CreateSession's
//   "shortcuts" option and answer BindShortcuts with what the session
//   already holds, after opening System Settings; xdg-desktop-portal 1.16.0
//   (Debian 12) passes that option through, later versions drop it. So the
//   shortcuts go into CreateSession too, and BindShortcuts is skipped when
//   ListShortcuts shows the desktop holds them all: no settings window at
//   every login.
// - KDE Plasma up to 6.2 names its shortcut group after the app id plus the
//   session token, 6.3 after the id alone. The token stays what it has
//   always been, so the groups of earlier runs keep the user's key choices.
//   Which keys the group really got, only KDE's shortcut service can tell
//   (KdeShortcuts.cpp).
// - GNOME 48 and newer KDE ask the user in a dialog on the first
//   BindShortcuts; a shortcut the user turned down comes back with an empty
//   trigger description.
#include "platform/BuildConfig.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

namespace orvo::platform::native {
namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* requestInterface = "org.freedesktop.portal.Request";
constexpr const char* sessionInterface = "org.freedesktop.portal.Session";
constexpr const char* registryInterface = "org.freedesktop.host.portal.Registry";
// The same in every run: see KDE above.
constexpr const char* sessionToken = build::appId;

template <std::size_t N> bool isDBusError(const GError* error, const GDBusError (&codes)[N])
{
    return error && error->domain == G_DBUS_ERROR
        && std::ranges::find(codes, static_cast<GDBusError>(error->code)) != std::end(codes);
}

// Nobody answers for the portal on this bus.
bool noPortal(const GError* error)
{
    static constexpr GDBusError codes[]
        = { G_DBUS_ERROR_SERVICE_UNKNOWN, G_DBUS_ERROR_NAME_HAS_NO_OWNER, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND,
              G_DBUS_ERROR_SPAWN_EXEC_FAILED, G_DBUS_ERROR_SPAWN_CHILD_EXITED, G_DBUS_ERROR_SPAWN_FAILED };
    return isDBusError(error, codes);
}

// The portal is there but has no such call (an older version).
bool noSuchCall(const GError* error)
{
    static constexpr GDBusError codes[]
        = { G_DBUS_ERROR_UNKNOWN_METHOD, G_DBUS_ERROR_UNKNOWN_INTERFACE, G_DBUS_ERROR_UNKNOWN_OBJECT };
    return isDBusError(error, codes);
}

std::string messageOf(GError* error)
{
    if (!error) {
        return "no answer";
    }
    g_dbus_error_strip_remote_error(error);
    return error->message;
}

class PortalClient {
public:
    void start(std::vector<PortalShortcut> shortcuts, PortalEvents events)
    {
        closeSession();
        shortcuts_ = std::move(shortcuts);
        events_ = std::move(events);
        ++generation_;
        active_ = true;
        watchPortal();
        // The id first: older portals read it from the scope once, at our
        // first call.
        enterAppScope([this, generation = generation_] {
            if (generation == generation_) {
                registerAppId();
            }
        });
    }

private:
    using Step = void (PortalClient::*)(guint32 response, GVariant* results);

    GDBusConnection* bus() const { return sessionBus(); }

    // --- The steps ---

    // Newer portals learn the id of an unsandboxed app this way; older ones
    // answer with an error, which changes nothing.
    void registerAppId()
    {
        registryNote_.clear();
        g_dbus_connection_call(bus(), portalName, portalPath, registryInterface, "Register",
            g_variant_new("(sa{sv})", build::desktopId, nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
            &PortalClient::onRegistered, new Call { this, generation_, {} });
    }

    static void onRegistered(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto call = std::unique_ptr<Call>(static_cast<Call*>(data));
        glib::GUnique<GError> error;
        // Register answers nothing; only whether it failed matters.
        const glib::GUnique<GVariant> reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        PortalClient* self = call->client;
        if (call->generation != self->generation_) {
            return;
        }
        if (noPortal(error.get())) {
            self->fail(true, "no desktop portal on the session bus: " + messageOf(error.get()));
            return;
        }
        if (error && !noSuchCall(error.get())) {
            // Typically: no installed org.orvomenu.OrvoMenu.desktop. The
            // portal may still know the app from its systemd unit.
            self->registryNote_
                = "the portal did not take the app id " + std::string(build::desktopId) + ": " + messageOf(error.get());
        }
        // A portal without the Registry answers "unknown method": it finds
        // the id by itself.
        self->createSession();
    }

    void createSession()
    {
        request("CreateSession", &PortalClient::onSessionCreated, [&](GVariantBuilder* options) {
            g_variant_builder_add(options, "{sv}", "session_handle_token", g_variant_new_string(sessionToken));
            g_variant_builder_add(options, "{sv}", "shortcuts", shortcutList());
            return g_variant_new("(a{sv})", options);
        });
    }

    void onSessionCreated(guint32 response, GVariant* results)
    {
        const char* handle = nullptr;
        if (response != 0 || !g_variant_lookup(results, "session_handle", "&s", &handle)
            || !g_variant_is_object_path(handle)) {
            fail(false, response == 1 ? "the user declined" : "no session was created");
            return;
        }
        session_ = handle;
        closed_ = glib::SubscriptionHandle(bus(),
            g_dbus_connection_signal_subscribe(bus(), portalName, sessionInterface, "Closed", handle, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &PortalClient::onSessionClosed, this, nullptr));
        request("ListShortcuts", &PortalClient::onListed,
            [&](GVariantBuilder* options) { return g_variant_new("(oa{sv})", session_.c_str(), options); });
    }

    void onListed(guint32 response, GVariant* results)
    {
        if (response == 0) {
            const auto held = bindingsIn(results);
            const bool all = std::ranges::all_of(shortcuts_, [&](const PortalShortcut& shortcut) {
                return std::ranges::any_of(held, [&](const PortalBinding& b) { return b.id == shortcut.id; });
            });
            if (all) {
                succeed(held);
                return;
            }
        }
        request("BindShortcuts", &PortalClient::onBound, [&](GVariantBuilder* options) {
            return g_variant_new("(o@a(sa{sv})sa{sv})", session_.c_str(), shortcutList(), "", options);
        });
    }

    void onBound(guint32 response, GVariant* results)
    {
        const auto bound = bindingsIn(results);
        // GNOME 48's portal answers 2 ("other") on success too, with what it
        // bound (xdg-desktop-portal-gnome 48.0 never sets the code there).
        if (response == 1 || (response != 0 && bound.empty())) {
            fail(false, response == 1 ? "the user declined the shortcuts" : "the shortcuts could not be bound");
            return;
        }
        if (bound.empty()) {
            // KDE Plasma 5.27 behind a portal that drops CreateSession's
            // shortcuts answers so.
            fail(false, "the desktop bound none of the shortcuts");
            return;
        }
        succeed(bound);
    }

    // On KDE, what the desktop really gave comes from its shortcut service.
    // The names are those the portal may have given our group, older
    // versions' first; only the one in use counts.
    void succeed(std::vector<PortalBinding> bound)
    {
        const std::string id = build::desktopId;
        const std::string token = sessionToken;
        checkKdeShortcuts({ token, "token_" + token, id + token, id }, shortcuts_,
            [this, generation = generation_, bound = std::move(bound)](std::vector<KdeKeyless> keyless) mutable {
                if (generation != generation_) {
                    return;
                }
                for (auto& binding : bound) {
                    const auto lacking = std::ranges::find(keyless, binding.id, &KdeKeyless::id);
                    if (lacking != keyless.end() && lacking->moved) {
                        binding.trigger.reset(); // it has the key now, whatever the portal said
                    } else if (lacking != keyless.end()) {
                        binding.trigger = "";
                        binding.holder = lacking->holder;
                    }
                }
                if (events_.bound) {
                    events_.bound(bound);
                }
            });
    }

    void fail(bool absent, std::string why)
    {
        const bool hadSession = !session_.empty();
        closeSession();
        ++generation_;
        active_ = false;
        if (!absent && !registryNote_.empty() && !hadSession) {
            why += "; " + registryNote_;
        }
        if (events_.failed) {
            events_.failed(absent, why);
        }
    }

    // --- Requests and their Response signal ---

    struct Call {
        PortalClient* client;
        unsigned generation;
        std::string expected; // the Request path we subscribed to
    };

    // Calls a method of the portal; parameters builds its arguments around
    // the options, which hold the request's handle_token already.
    template <typename Parameters> void request(const char* method, Step next, Parameters&& parameters)
    {
        const std::string token = std::string(sessionToken) + "_" + std::to_string(++tokens_);
        next_ = next;
        expectResponse(requestPath(token));
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        g_dbus_connection_call(bus(), portalName, portalPath, shortcutsInterface, method, parameters(&options),
            G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &PortalClient::onRequestReturned,
            new Call { this, generation_, requestPath_ });
    }

    // Where the portal puts a Request made with this token:
    // /org/freedesktop/portal/desktop/request/<our unique name without the
    // colon, dots as underscores>/<token>.
    std::string requestPath(const std::string& token) const
    {
        std::string sender = g_dbus_connection_get_unique_name(bus());
        sender.erase(0, 1);
        std::ranges::replace(sender, '.', '_');
        return std::string(portalPath) + "/request/" + sender + "/" + token;
    }

    void expectResponse(const std::string& path)
    {
        requestPath_ = path;
        response_ = glib::SubscriptionHandle(bus(),
            g_dbus_connection_signal_subscribe(bus(), portalName, requestInterface, "Response", path.c_str(), nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &PortalClient::onResponse, this, nullptr));
    }

    static void onRequestReturned(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto call = std::unique_ptr<Call>(static_cast<Call*>(data));
        glib::GUnique<GError> error;
        auto reply = glib::GUnique<GVariant>(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        PortalClient* self = call->client;
        if (call->generation != self->generation_) {
            return;
        }
        if (!reply) {
            // No portal, no such call in it, or a portal whose shortcuts
            // backend refuses a session (KDE's behind GNOME 43's portal) is
            // "absent", so the desktop's own way is offered; anything later
            // is a no.
            self->fail(
                noPortal(error.get()) || noSuchCall(error.get()) || self->session_.empty(), messageOf(error.get()));
            return;
        }
        const char* handle = nullptr;
        g_variant_get(reply.get(), "(&o)", &handle);
        // Portals older than handle_token put the Request elsewhere. (The
        // Response may have come first, and the next request be under way.)
        if (self->response_ && self->requestPath_ == call->expected && call->expected != handle) {
            self->expectResponse(handle);
        }
    }

    static void onResponse(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data)
    {
        auto* self = static_cast<PortalClient*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
            return;
        }
        guint32 response = 2;
        GVariant* results = nullptr;
        g_variant_get(parameters, "(u@a{sv})", &response, &results);
        glib::GUnique<GVariant> owned(results);
        self->response_.reset();
        const Step next = std::exchange(self->next_, nullptr);
        if (next) {
            (self->*next)(response, results);
        }
    }

    // --- The session and the portal's presence ---

    static void onSessionClosed(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, gpointer data)
    {
        auto* self = static_cast<PortalClient*>(data);
        self->session_.clear();
        self->lose();
    }

    // The session ended from the portal's side, or the portal with it, at
    // any step from the first call on.
    void lose()
    {
        const bool wasActive = std::exchange(active_, false);
        closeSession();
        ++generation_;
        if (wasActive && events_.lost) {
            events_.lost();
        }
    }

    void closeSession()
    {
        response_.reset();
        closed_.reset();
        next_ = nullptr;
        if (!session_.empty()) {
            g_dbus_connection_call(bus(), portalName, session_.c_str(), sessionInterface, "Close", nullptr, nullptr,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
            session_.clear();
        }
    }

    void watchPortal()
    {
        if (watch_) {
            return;
        }
        watch_ = g_bus_watch_name_on_connection(bus(), portalName, G_BUS_NAME_WATCHER_FLAGS_NONE,
            &PortalClient::onPortalAppeared, &PortalClient::onPortalVanished, this, nullptr);
        activated_ = glib::SubscriptionHandle(bus(),
            g_dbus_connection_signal_subscribe(bus(), portalName, shortcutsInterface, "Activated", portalPath, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &PortalClient::onActivated, this, nullptr));
    }

    static void onPortalAppeared(GDBusConnection*, const char*, const char* owner, gpointer data)
    {
        auto* self = static_cast<PortalClient*>(data);
        self->owner_ = owner;
        if (std::exchange(self->waitingForReturn_, false) && self->events_.returned) {
            self->events_.returned();
        }
    }

    static void onPortalVanished(GDBusConnection*, const char*, gpointer data)
    {
        auto* self = static_cast<PortalClient*>(data);
        // The watch also reports a portal that was not running when it
        // began; only one that goes away counts.
        if (std::exchange(self->owner_, {}).empty()) {
            return;
        }
        self->session_.clear(); // gone with the portal
        self->waitingForReturn_ = true;
        self->lose();
    }

    static void onActivated(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data)
    {
        auto* self = static_cast<PortalClient*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) {
            return;
        }
        const char* session = nullptr;
        const char* id = nullptr;
        g_variant_get(parameters, "(&o&sta{sv})", &session, &id, nullptr, nullptr);
        if (self->session_ == session && self->events_.activated) {
            self->events_.activated(id);
        }
    }

    // --- Shortcut lists ---

    GVariant* shortcutList() const
    {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
        for (const auto& shortcut : shortcuts_) {
            GVariantBuilder properties;
            g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(
                &properties, "{sv}", "description", g_variant_new_string(shortcut.description.c_str()));
            g_variant_builder_add(
                &properties, "{sv}", "preferred_trigger", g_variant_new_string(shortcut.preferredTrigger.c_str()));
            g_variant_builder_add(&list, "(sa{sv})", shortcut.id.c_str(), &properties);
        }
        return g_variant_builder_end(&list);
    }

    static std::vector<PortalBinding> bindingsIn(GVariant* results)
    {
        std::vector<PortalBinding> bindings;
        auto list = glib::GUnique<GVariant>(g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})")));
        if (!list) {
            return bindings;
        }
        GVariantIter iter;
        g_variant_iter_init(&iter, list.get());
        const char* id = nullptr;
        GVariant* properties = nullptr;
        while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &properties)) {
            glib::GUnique<GVariant> owned(properties);
            PortalBinding binding { id, std::nullopt, {} };
            const char* trigger = nullptr;
            if (g_variant_lookup(properties, "trigger_description", "&s", &trigger)) {
                binding.trigger = trigger;
            }
            bindings.push_back(std::move(binding));
        }
        return bindings;
    }

    std::vector<PortalShortcut> shortcuts_;
    PortalEvents events_;
    unsigned generation_ = 0;
    unsigned tokens_ = 0;
    Step next_ = nullptr;
    bool active_ = false; // from start() until it failed or was lost
    std::string requestPath_;
    std::string session_;
    std::string owner_;
    std::string registryNote_;
    bool waitingForReturn_ = false;
    guint watch_ = 0;
    glib::SubscriptionHandle response_;
    glib::SubscriptionHandle closed_;
    glib::SubscriptionHandle activated_;
};

PortalClient& portalClient()
{
    static PortalClient* client = new PortalClient(); // lives until the process ends
    return *client;
}

} // namespace

void startPortalShortcuts(std::vector<PortalShortcut> shortcuts, PortalEvents events)
{
    portalClient().start(std::move(shortcuts), std::move(events));
}

} // namespace orvo::platform::native
