// SPDX-License-Identifier: GPL-3.0-or-later
// Hot keys in a Wayland session, against a stand-in for
// org.freedesktop.portal.Desktop on a private bus. The stand-in answers as
// the real portals do (read from xdg-desktop-portal and its KDE and GNOME
// backends), with one twist that catches a client subscribing too late: it
// sends each Request's Response before the reply to the call that made it.
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/HotKeys.h"
#include "tests/linux/hotkeys/HotKeyRecorder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>

using namespace orvo::platform;
using namespace orvo::platform::hotkeytest;
using orvo::test::waitFor;

namespace {

struct Behaviour {
    bool registry = true; // offers org.freedesktop.host.portal.Registry (1.20 and later)
    // KDE Plasma 5.27: binds the shortcuts of CreateSession's options, and
    // BindShortcuts answers with what the session holds.
    bool bindsAtCreate = false;
    const char* createError = nullptr; // CreateSession fails with this message
    guint32 bindResponse = 0;
    std::set<std::string> leftOut; // shortcut ids BindShortcuts does not bind
    std::set<std::string> noKey; // bound, but with an empty trigger
};

// Designated initializers would leave the sets uninitialized in GCC's eyes.
template <typename Change> Behaviour behaviour(Change change)
{
    Behaviour b;
    change(b);
    return b;
}

class PortalDouble {
public:
    explicit PortalDouble(Behaviour behaviour)
        : behaviour_(std::move(behaviour))
    {
        static const char* xml = R"(<node>
          <interface name='org.freedesktop.portal.GlobalShortcuts'>
            <method name='CreateSession'><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>
            <method name='ListShortcuts'><arg type='o' direction='in'/><arg type='a{sv}' direction='in'/>
              <arg type='o' direction='out'/></method>
            <method name='BindShortcuts'><arg type='o' direction='in'/><arg type='a(sa{sv})' direction='in'/>
              <arg type='s' direction='in'/><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>
          </interface>
          <interface name='org.freedesktop.host.portal.Registry'>
            <method name='Register'><arg type='s' direction='in'/><arg type='a{sv}' direction='in'/></method>
          </interface></node>)";
        info_.reset(g_dbus_node_info_new_for_xml(xml, nullptr));
        connection_ = glib::adopt(g_dbus_connection_new_for_address_sync(g_getenv("DBUS_SESSION_BUS_ADDRESS"),
            GDBusConnectionFlags(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
        static const GDBusInterfaceVTable vtable = { &PortalDouble::onCall, nullptr, nullptr, {} };
        for (int i = 0; i < (behaviour_.registry ? 2 : 1); ++i) {
            g_dbus_connection_register_object(connection_.get(), "/org/freedesktop/portal/desktop",
                info_->interfaces[i], &vtable, this, nullptr, nullptr);
        }
        g_bus_own_name_on_connection(
            connection_.get(), "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const char*, gpointer owned) { *static_cast<bool*>(owned) = true; }, nullptr, &owned_,
            nullptr);
        waitFor([&] { return owned_; });
    }
    ~PortalDouble() { g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr); }

    bool called(const std::string& method) const { return std::ranges::count(calls, method) > 0; }

    void activate(const std::string& id, const std::string& session) const
    {
        g_dbus_connection_emit_signal(connection_.get(), nullptr, "/org/freedesktop/portal/desktop",
            "org.freedesktop.portal.GlobalShortcuts", "Activated",
            g_variant_new("(ost@a{sv})", session.c_str(), id.c_str(), guint64(0), g_variant_new("a{sv}", nullptr)),
            nullptr);
    }

    std::vector<std::string> calls; // method names in order, Register with its app id
    std::map<std::string, std::string> createdWith; // id → preferred trigger, from CreateSession's options
    std::map<std::string, std::string> boundWith; // id → preferred trigger, from BindShortcuts
    std::string session;

private:
    static std::map<std::string, std::string> triggers(GVariant* shortcuts)
    {
        std::map<std::string, std::string> result;
        GVariantIter iter;
        g_variant_iter_init(&iter, shortcuts);
        const char* id = nullptr;
        GVariant* properties = nullptr;
        while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &properties)) {
            const char* trigger = "";
            g_variant_lookup(properties, "preferred_trigger", "&s", &trigger);
            result[id] = trigger;
            g_variant_unref(properties);
        }
        return result;
    }

    GVariant* held() const
    {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
        for (const auto& id : held_) {
            const std::string trigger = behaviour_.noKey.count(id) ? "" : "Alt+" + id.substr(4);
            GVariantBuilder properties;
            g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&properties, "{sv}", "trigger_description", g_variant_new_string(trigger.c_str()));
            g_variant_builder_add(&list, "(sa{sv})", id.c_str(), &properties);
        }
        GVariantBuilder results;
        g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&results, "{sv}", "shortcuts", g_variant_builder_end(&list));
        return g_variant_builder_end(&results);
    }

    static void onCall(GDBusConnection* connection, const char* sender, const char*, const char*, const char* method,
        GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data)
    {
        auto* self = static_cast<PortalDouble*>(data);
        if (g_str_equal(method, "Register")) {
            const char* appId = nullptr;
            g_variant_get(parameters, "(&sa{sv})", &appId, nullptr);
            self->calls.push_back(std::string("Register ") + appId);
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        self->calls.push_back(method);
        GVariant* options = g_variant_get_child_value(parameters, g_variant_n_children(parameters) - 1);
        const char* token = "t";
        g_variant_lookup(options, "handle_token", "&s", &token);
        std::string client = sender + 1;
        std::ranges::replace(client, '.', '_');
        const std::string request = "/org/freedesktop/portal/desktop/request/" + client + "/" + token;
        guint32 response = 0;
        GVariant* results = nullptr;
        if (g_str_equal(method, "CreateSession")) {
            if (self->behaviour_.createError) {
                g_variant_unref(options);
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "org.freedesktop.portal.Error.NotAllowed", self->behaviour_.createError);
                return;
            }
            const char* sessionToken = "s";
            g_variant_lookup(options, "session_handle_token", "&s", &sessionToken);
            self->session = "/org/freedesktop/portal/desktop/session/" + client + "/" + sessionToken;
            if (auto list = glib::GUnique<GVariant>(g_variant_lookup_value(options, "shortcuts", nullptr))) {
                self->createdWith = triggers(list.get());
            }
            if (self->behaviour_.bindsAtCreate) {
                for (const auto& [id, trigger] : self->createdWith) {
                    self->held_.insert(id);
                }
            }
            GVariantBuilder built;
            g_variant_builder_init(&built, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&built, "{sv}", "session_handle", g_variant_new_string(self->session.c_str()));
            results = g_variant_builder_end(&built);
        } else if (g_str_equal(method, "ListShortcuts")) {
            results = self->held();
        } else {
            GVariant* shortcuts = g_variant_get_child_value(parameters, 1);
            self->boundWith = triggers(shortcuts);
            g_variant_unref(shortcuts);
            if (!self->behaviour_.bindsAtCreate) {
                for (const auto& [id, trigger] : self->boundWith) {
                    if (!self->behaviour_.leftOut.count(id)) {
                        self->held_.insert(id);
                    }
                }
            }
            response = self->behaviour_.bindResponse;
            results = self->held();
        }
        g_variant_unref(options);
        g_dbus_connection_emit_signal(connection, sender, request.c_str(), "org.freedesktop.portal.Request", "Response",
            g_variant_new("(u@a{sv})", response, results), nullptr);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
    }

    Behaviour behaviour_;
    glib::GUnique<GDBusNodeInfo> info_;
    glib::GRef<GDBusConnection> connection_;
    std::set<std::string> held_;
    bool owned_ = false;
};

int grabError = Success;

bool otherClientCanGrabAlt1(Display* other)
{
    grabError = Success;
    auto* previous = XSetErrorHandler([](Display*, XErrorEvent* event) {
        grabError = event->error_code;
        return 0;
    });
    XGrabKey(
        other, XKeysymToKeycode(other, XK_1), Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XSync(other, False);
    XSetErrorHandler(previous);
    return grabError == Success;
}

const std::map<std::string, std::string> altDigits
    = { { "slot1", "ALT+1" }, { "slot2", "ALT+2" }, { "slot3", "ALT+3" }, { "slot4", "ALT+4" }, { "slot5", "ALT+5" } };

// A session bus that starts no services of the machine's: "no portal" must
// mean none, even where xdg-desktop-portal is installed.
std::string busWithoutServices(const orvo::test::TempDir& dir)
{
    const auto config = dir.path() / "bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    return config.string();
}

class WaylandSession : public ::testing::Test {
protected:
    WaylandSession()
    {
        g_setenv("XDG_SESSION_TYPE", "wayland", TRUE);
        g_unsetenv("XDG_CURRENT_DESKTOP");
    }

    // Registers the five slots and waits until the portal holds them.
    void registerWithPortal()
    {
        EXPECT_EQ(registerSlots(), (std::array<OSStatus, 5> { noErr, noErr, noErr, noErr, noErr }));
        ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));
    }

    std::vector<UInt32> activateAll(const PortalDouble& portal, const std::vector<std::string>& ids)
    {
        recorder_.ids.clear();
        for (const auto& id : ids) {
            portal.activate(id, portal.session);
        }
        portal.activate("slot5", portal.session); // a sentinel: signals keep their order
        waitFor([&] { return std::ranges::count(recorder_.ids, 4u) > 0; });
        if (recorder_.ids.empty() || recorder_.ids.back() != 4) {
            ADD_FAILURE() << "the sentinel never arrived";
            return {};
        }
        recorder_.ids.pop_back();
        return recorder_.ids;
    }

    orvo::test::TempDir dir_;
    orvo::test::PrivateBus bus_ { busWithoutServices(dir_) };
    Recorder recorder_;
};

TEST_F(WaylandSession, AltDigitsAreBoundThroughThePortal)
{
    PortalDouble portal({});
    registerWithPortal();
    // The app id is registered before anything else is asked of the portal.
    EXPECT_EQ(portal.calls,
        (std::vector<std::string> {
            "Register org.orvomenu.OrvoMenu", "CreateSession", "ListShortcuts", "BindShortcuts" }));
    EXPECT_EQ(portal.boundWith, altDigits);
    EXPECT_EQ(portal.createdWith, altDigits) << "KDE Plasma 5.27 binds only what CreateSession names";

    EXPECT_EQ(activateAll(portal, { "slot1", "slot3" }), (std::vector<UInt32> { 0, 2 }));
    // Activations of another program's session are not ours.
    portal.activate("slot2", "/org/freedesktop/portal/desktop/session/1_99/other");
    EXPECT_EQ(activateAll(portal, {}), std::vector<UInt32> {});
}

// As KDE Plasma 5.27 behind Debian 12's portal: CreateSession binds, and
// BindShortcuts would open System Settings at every start.
TEST_F(WaylandSession, ShortcutsTheDesktopHoldsAreNotBoundAgain)
{
    PortalDouble portal(behaviour([](Behaviour& b) {
        b.registry = false;
        b.bindsAtCreate = true;
    }));
    registerWithPortal();
    EXPECT_FALSE(portal.called("BindShortcuts"));
    EXPECT_EQ(activateAll(portal, { "slot2" }), std::vector<UInt32> { 1 });
}

TEST_F(WaylandSession, KeysTheDesktopLeftOutAreToldOnceAndTheOthersWork)
{
    ::testing::internal::CaptureStderr();
    PortalDouble portal(behaviour([](Behaviour& b) {
        b.leftOut = { "slot3" };
        b.noKey = { "slot4" };
    }));
    registerWithPortal();
    EXPECT_EQ(activateAll(portal, { "slot1", "slot2" }), (std::vector<UInt32> { 0, 1 }));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
        "orvomenu: Alt+3 is not available: the desktop did not bind it\n"
        "orvomenu: Alt+4 is not available: the desktop keeps it without a key (turned down, or in use there); "
        "choose one in its keyboard settings\n");
}

// Without a usable portal the keys fall back to X11 grabs (through Xwayland)
// and the app says so, once.
struct Refusal {
    const char* name;
    std::optional<Behaviour> portal; // nothing: no portal on the bus
    const char* told;
};

void PrintTo(const Refusal& refusal, std::ostream* os)
{
    *os << refusal.name;
}

class PortalRefusal : public WaylandSession, public ::testing::WithParamInterface<Refusal> { };

TEST_P(PortalRefusal, FallsBackToX11GrabsAndSaysSoOnce)
{
    orvo::test::XvfbDisplay x;
    std::optional<PortalDouble> portal;
    if (GetParam().portal) {
        portal.emplace(*GetParam().portal);
    }
    ::testing::internal::CaptureStderr();
    registerSlots();
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::X11; }));
    orvo::test::drainMainContext();
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::ranges::count(told, '\n'), 1) << told;
    EXPECT_NE(told.find(GetParam().told), std::string::npos) << told;
    EXPECT_NE(told.find("orvomenu --hotkey N"), std::string::npos) << told;

    ASSERT_TRUE(x.press("alt+2"));
    EXPECT_TRUE(waitFor([&] { return recorder_.ids == std::vector<UInt32> { 1 }; }));
}

INSTANTIATE_TEST_SUITE_P(Portals, PortalRefusal,
    ::testing::Values(Refusal { "NoPortal", std::nullopt, "offers no global shortcuts portal" },
        Refusal { "NoAppId", behaviour([](Behaviour& b) { b.createError = "An app id is required"; }),
            "An app id is required" },
        Refusal {
            "UserDeclined", behaviour([](Behaviour& b) { b.bindResponse = 1; }), "the user declined the shortcuts" },
        Refusal { "BoundNone", behaviour([](Behaviour& b) {
                     b.leftOut = { "slot1", "slot2", "slot3", "slot4", "slot5" };
                 }),
            "the desktop bound none of the shortcuts" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaylandSession, APortalThatGoesAwayAndComesBackIsFollowed)
{
    orvo::test::XvfbDisplay x;
    std::optional<PortalDouble> portal(std::in_place, Behaviour {});
    registerWithPortal();

    portal.reset();
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::X11; }));
    ASSERT_TRUE(x.press("alt+1"));
    EXPECT_TRUE(waitFor([&] { return recorder_.ids == std::vector<UInt32> { 0 }; }));

    portal.emplace(Behaviour {});
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));
    EXPECT_EQ(activateAll(*portal, { "slot3" }), std::vector<UInt32> { 2 });
    // The grabs were given back: another program can have the key now.
    EXPECT_TRUE(otherClientCanGrabAlt1(x.otherClient()));
}

} // namespace
