// SPDX-License-Identifier: GPL-3.0-or-later
// GNOME custom shortcuts against GNOME's real schemas (gnome-settings-daemon-
// common, gsettings-desktop-schemas) on GSettings' memory backend, and the
// notification that asks for them against a stand-in notification server.
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"
#include "platform/linux/hotkeys/HotKeys.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace orvo::platform;
using orvo::test::waitFor;

namespace {

constexpr const char* customSchema = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const std::string base = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";

class GnomeShortcuts : public ::testing::Test {
protected:
    GnomeShortcuts()
    {
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        g_setenv("XDG_CONFIG_HOME", (home_.path() / "config").c_str(), TRUE);
        g_setenv("LANGUAGE", "C", TRUE);
    }
    void SetUp() override
    {
        ASSERT_TRUE(native::gnomeShortcutsSupported()) << "needs gnome-settings-daemon-common";
        mediaKeys_ = glib::adopt(g_settings_new("org.gnome.settings-daemon.plugins.media-keys"));
    }

    std::vector<std::string> list() const
    {
        glib::GUnique<char*> paths(g_settings_get_strv(mediaKeys_.get(), "custom-keybindings"));
        return std::vector<std::string>(paths.get(), paths.get() + g_strv_length(paths.get()));
    }
    void setList(const std::vector<std::string>& paths) const
    {
        std::vector<const char*> strings;
        for (const auto& path : paths) {
            strings.push_back(path.c_str());
        }
        strings.push_back(nullptr);
        g_settings_set_strv(mediaKeys_.get(), "custom-keybindings", strings.data());
    }
    // name, command, binding of the entry at path.
    std::vector<std::string> entry(const std::string& path) const
    {
        auto settings = glib::adopt(g_settings_new_with_path(customSchema, path.c_str()));
        std::vector<std::string> values;
        for (const char* key : { "name", "command", "binding" }) {
            glib::GUnique<char> value(g_settings_get_string(settings.get(), key));
            values.emplace_back(value.get());
        }
        return values;
    }
    void setEntry(const std::string& path, const std::vector<std::string>& values) const
    {
        auto settings = glib::adopt(g_settings_new_with_path(customSchema, path.c_str()));
        g_settings_set_string(settings.get(), "name", values[0].c_str());
        g_settings_set_string(settings.get(), "command", values[1].c_str());
        g_settings_set_string(settings.get(), "binding", values[2].c_str());
    }
    std::string settingsDocument() const
    {
        std::ifstream in(home_.path() / "config" / "orvomenu" / "defaults.json");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    orvo::test::TempDir home_;
    glib::GRef<GSettings> mediaKeys_;
};

TEST_F(GnomeShortcuts, OursAreAddedBesideTheUsersAndRemovedAlone)
{
    // The user's own: Alt+3 runs a terminal, and GNOME switches to
    // workspace 4 on Alt+4 (written as GTK does, with Mod1).
    const std::vector<std::string> terminal = { "Terminal", "kgx", "<Alt>3" };
    const std::vector<std::string> notes = { "Notes", "gnote", "<Super>n" };
    setEntry(base + "custom0/", terminal);
    setEntry(base + "custom1/", notes);
    setList({ base + "custom0/", base + "custom1/", "not a path" });
    auto wm = glib::adopt(g_settings_new("org.gnome.desktop.wm.keybindings"));
    const char* const workspace4[] = { "<Mod1>4", nullptr };
    g_settings_set_strv(wm.get(), "switch-to-workspace-4", workspace4);

    const auto leftAlone = native::setGnomeShortcuts(true, "/opt/orvo menu/orvomenu");
    EXPECT_EQ(leftAlone,
        (std::vector<std::string> { "Alt+3 is not available: GNOME uses it for the custom shortcut \"Terminal\"",
            "Alt+4 is not available: GNOME uses it for GNOME's shortcut \"Switch to workspace 4\"" }));
    const std::vector<std::string> withOurs = { base + "custom0/", base + "custom1/", "not a path",
        base + "orvomenu-alt-1/", base + "orvomenu-alt-2/", base + "orvomenu-alt-5/" };
    EXPECT_EQ(list(), withOurs);
    EXPECT_EQ(entry(base + "orvomenu-alt-1/"),
        (std::vector<std::string> {
            "OrvoMenu: play the channel on Alt+1", "'/opt/orvo menu/orvomenu' --hotkey 1", "<Alt>1" }));
    EXPECT_EQ(entry(base + "orvomenu-alt-5/")[2], "<Alt>5");
    EXPECT_EQ(entry(base + "orvomenu-alt-3/")[2], "") << "a taken key gets no entry of ours";
    EXPECT_EQ(entry(base + "custom0/"), terminal);

    // Again: nothing doubles.
    native::setGnomeShortcuts(true, "/usr/bin/orvomenu");
    EXPECT_EQ(list(), withOurs);
    EXPECT_EQ(entry(base + "orvomenu-alt-2/")[1], "/usr/bin/orvomenu --hotkey 2");

    // The user adds one after ours; switching off takes exactly ours away.
    setEntry(base + "custom2/", { "Mail", "mail", "<Alt>9" });
    auto grown = list();
    grown.push_back(base + "custom2/");
    setList(grown);
    native::setGnomeShortcuts(false, "/usr/bin/orvomenu");
    EXPECT_EQ(
        list(), (std::vector<std::string> { base + "custom0/", base + "custom1/", "not a path", base + "custom2/" }));
    EXPECT_EQ(entry(base + "orvomenu-alt-1/"), (std::vector<std::string> { "", "", "" }));
    EXPECT_EQ(entry(base + "custom0/"), terminal);
    EXPECT_EQ(entry(base + "custom1/"), notes);
    // A choice made is remembered, so the app does not ask again.
    EXPECT_NE(settingsDocument().find("\"gnomeShortcutsOffered\": true"), std::string::npos);
}

// A notification server that records what it is asked to show.
class NotificationServer {
public:
    NotificationServer()
    {
        static const char* xml = "<node><interface name='org.freedesktop.Notifications'>"
                                 "<method name='Notify'><arg type='s'/><arg type='u'/><arg type='s'/><arg type='s'/>"
                                 "<arg type='s'/><arg type='as'/><arg type='a{sv}'/><arg type='i'/>"
                                 "<arg type='u' direction='out'/></method>"
                                 "</interface></node>";
        info_.reset(g_dbus_node_info_new_for_xml(xml, nullptr));
        connection_ = glib::adopt(g_dbus_connection_new_for_address_sync(g_getenv("DBUS_SESSION_BUS_ADDRESS"),
            GDBusConnectionFlags(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
        static const GDBusInterfaceVTable vtable
            = { [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters,
                    GDBusMethodInvocation* invocation, gpointer data) {
                   auto* self = static_cast<NotificationServer*>(data);
                   auto list = glib::GUnique<GVariant>(g_variant_get_child_value(parameters, 5));
                   glib::GUnique<char*> actions(g_variant_dup_strv(list.get(), nullptr));
                   self->actions.push_back(
                       std::vector<std::string>(actions.get(), actions.get() + g_strv_length(actions.get())));
                   g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 7u));
               },
                  nullptr, nullptr, {} };
        g_dbus_connection_register_object(
            connection_.get(), "/org/freedesktop/Notifications", info_->interfaces[0], &vtable, this, nullptr, nullptr);
        g_bus_own_name_on_connection(
            connection_.get(), "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const char*, gpointer owned) { *static_cast<bool*>(owned) = true; }, nullptr, &owned_,
            nullptr);
        waitFor([&] { return owned_; });
    }

    // The user clicks a button: the action, then the notification closes.
    // Returns once the app's connection has dispatched both.
    void invoke(const char* action) const
    {
        GDBusConnection* app = native::sessionBus();
        bool closed = false;
        const guint subscription = g_dbus_connection_signal_subscribe(
            app, nullptr, "org.freedesktop.Notifications", "NotificationClosed", nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, gpointer seen) {
                *static_cast<bool*>(seen) = true;
            },
            &closed, nullptr);
        g_dbus_connection_emit_signal(connection_.get(), nullptr, "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "ActionInvoked", g_variant_new("(us)", 7u, action), nullptr);
        g_dbus_connection_emit_signal(connection_.get(), nullptr, "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "NotificationClosed", g_variant_new("(uu)", 7u, 2u), nullptr);
        waitFor([&] { return closed; });
        g_dbus_connection_signal_unsubscribe(app, subscription);
    }

    // Sends a notification of its own over the app's connection and waits
    // for it: whatever the app sent before has been seen by then.
    void roundTrip()
    {
        const auto before = actions.size();
        const char* const marker[] = { "marker", nullptr };
        g_dbus_connection_call(native::sessionBus(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "Notify",
            g_variant_new("(susss^asa{sv}i)", "", 0u, "", "", "", marker, nullptr, 0), nullptr, G_DBUS_CALL_FLAGS_NONE,
            -1, nullptr, nullptr, nullptr);
        waitFor([&] { return actions.size() > before; });
    }

    std::vector<std::vector<std::string>> actions; // of each notification shown

private:
    glib::GUnique<GDBusNodeInfo> info_;
    glib::GRef<GDBusConnection> connection_;
    bool owned_ = false;
};

class GnomeOffer : public GnomeShortcuts, public ::testing::WithParamInterface<const char*> {
protected:
    GnomeOffer() { g_setenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME", TRUE); }
    orvo::test::PrivateBus bus_;
    NotificationServer server_;
};

// The user is asked once; only the "add" answer adds shortcuts, and either
// answer is remembered.
TEST_P(GnomeOffer, AsksOnceAndFollowsTheAnswer)
{
    native::offerGnomeShortcuts();
    ASSERT_TRUE(waitFor([&] { return !server_.actions.empty(); }));
    EXPECT_EQ(server_.actions[0], (std::vector<std::string> { "add", "Add Shortcuts", "decline", "No Thanks" }));
    ASSERT_TRUE(waitFor([&] { return settingsDocument().find("gnomeShortcutsOffered") != std::string::npos; }));

    server_.invoke(GetParam());
    EXPECT_EQ(list().size(), std::string(GetParam()) == "add" ? 5u : 0u);
    // Once asked, never again.
    native::offerGnomeShortcuts();
    server_.roundTrip();
    EXPECT_EQ(server_.actions.size(), 2u) << "only the first question and the marker";
}

INSTANTIATE_TEST_SUITE_P(Answers, GnomeOffer, ::testing::Values("add", "decline"));

TEST_F(GnomeShortcuts, NoOfferOutsideGnomeOrAfterAChoice)
{
    orvo::test::PrivateBus bus;
    NotificationServer server;
    g_setenv("XDG_CURRENT_DESKTOP", "KDE", TRUE);
    native::offerGnomeShortcuts();
    native::setGnomeShortcuts(false, "orvomenu");
    g_setenv("XDG_CURRENT_DESKTOP", "GNOME", TRUE);
    native::offerGnomeShortcuts();
    server.roundTrip();
    EXPECT_EQ(server.actions, (std::vector<std::vector<std::string>> { { "marker" } }));
}

} // namespace
