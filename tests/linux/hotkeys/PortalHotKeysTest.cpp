// SPDX-License-Identifier: GPL-3.0-or-later
// Hot keys in a Wayland session, against a stand-in for the GlobalShortcuts
// portal on a private bus (global_shortcuts_portal.py, which answers each
// request before replying to it).
#include "platform/linux/hotkeys/HotKeys.h"
#include "tests/linux/hotkeys/HotKeyTestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <optional>

using namespace orvo::platform;
using namespace orvo::platform::hotkeytest;
using orvo::test::waitFor;

namespace {

const std::string allFive = " slot1=ALT+1 slot2=ALT+2 slot3=ALT+3 slot4=ALT+4 slot5=ALT+5";

class Portal : public DBusMock {
public:
    explicit Portal(const std::string& parameters = "{}")
        : DBusMock(
            "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", ORVO_PORTAL_TEMPLATE, parameters)
    {
    }

    // What the portal was asked, in order, with the shortcuts named.
    std::vector<std::string> calls() const
    {
        char** strings = nullptr;
        if (auto reply = mock("Calls")) {
            g_variant_get(reply.get(), "(^as)", &strings);
        }
        glib::GUnique<char*> owned(strings);
        return strings ? std::vector<std::string>(strings, strings + g_strv_length(strings))
                       : std::vector<std::string> {};
    }
};

class WaylandSession : public ::testing::Test {
protected:
    WaylandSession()
    {
        g_setenv("XDG_SESSION_TYPE", "wayland", TRUE);
        g_unsetenv("XDG_CURRENT_DESKTOP");
    }

    // Presses the shortcuts in the portal's session, then a sentinel
    // (signals keep their order); returns the slots that arrived before it.
    std::vector<UInt32> activate(const Portal& portal, const std::vector<std::string>& ids, const char* session = "")
    {
        recorder.ids.clear();
        for (const auto& id : ids) {
            portal.mock("Activate", g_variant_new("(ss)", id.c_str(), session));
        }
        portal.mock("Activate", g_variant_new("(ss)", "slot5", ""));
        if (!waitFor([&] { return std::ranges::count(recorder.ids, 4u) > 0; }) || recorder.ids.back() != 4) {
            ADD_FAILURE() << "the sentinel never arrived alone at the end";
            return {};
        }
        recorder.ids.pop_back();
        return recorder.ids;
    }

    orvo::test::PrivateBus bus;
    Recorder recorder;
};

TEST_F(WaylandSession, AltDigitsAreBoundThroughThePortalAndKeysLeftOutAreToldOnce)
{
    Portal portal(R"({"left_out": ["slot3"], "no_key": ["slot4"]})");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(registerSlots(), allRegistered);
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
        "orvomenu: Alt+3 is not available: the desktop did not bind it\n"
        "orvomenu: Alt+4 is not available: the desktop keeps it without a key (turned down, or in use there); "
        "choose one in its keyboard settings\n");
    // The app id comes before anything else; KDE Plasma 5.27 binds only
    // what CreateSession names.
    EXPECT_EQ(portal.calls(),
        (std::vector<std::string> {
            "Register org.orvomenu.OrvoMenu", "CreateSession" + allFive, "ListShortcuts", "BindShortcuts" + allFive }));

    EXPECT_EQ(activate(portal, { "slot1", "slot2" }), (std::vector<UInt32> { 0, 1 }));
    EXPECT_EQ(
        activate(portal, { "slot2" }, "/org/freedesktop/portal/desktop/session/1_99/other"), std::vector<UInt32> {})
        << "another program's session";
}

// As KDE Plasma 5.27 behind Debian 12's portal: CreateSession binds, and
// BindShortcuts would open System Settings at every start.
TEST_F(WaylandSession, ShortcutsTheDesktopHoldsAreNotBoundAgain)
{
    Portal portal(R"({"registry": false, "binds_at_create": true})");
    EXPECT_EQ(registerSlots(), allRegistered);
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));
    EXPECT_EQ(portal.calls(), (std::vector<std::string> { "CreateSession" + allFive, "ListShortcuts" }));
    EXPECT_EQ(activate(portal, { "slot2" }), std::vector<UInt32> { 1 });
}

// Without a usable portal the keys fall back to X11 grabs (through Xwayland)
// and the app says so, once.
struct Refusal {
    const char* name;
    const char* portal; // its parameters; null: no portal on the bus
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
    std::optional<Portal> portal;
    if (GetParam().portal) {
        portal.emplace(GetParam().portal);
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
    EXPECT_TRUE(waitFor([&] { return recorder.ids == std::vector<UInt32> { 1 }; }));
}

INSTANTIATE_TEST_SUITE_P(Portals, PortalRefusal,
    ::testing::Values(Refusal { "NoPortal", nullptr, "offers no global shortcuts portal" },
        Refusal { "NoAppId", R"({"create_error": "An app id is required"})", "An app id is required" },
        Refusal { "UserDeclined", R"({"bind_response": 1})", "the user declined the shortcuts" },
        Refusal { "BoundNone", R"({"left_out": ["slot1", "slot2", "slot3", "slot4", "slot5"]})",
            "the desktop bound none of the shortcuts" }),
    [](const auto& refusal) { return std::string(refusal.param.name); });

TEST_F(WaylandSession, APortalThatGoesAwayAndComesBackIsFollowed)
{
    orvo::test::XvfbDisplay x;
    std::optional<Portal> portal(std::in_place);
    EXPECT_EQ(registerSlots(), allRegistered);
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));

    portal.reset();
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::X11; }));
    ASSERT_TRUE(x.press("alt+1"));
    EXPECT_TRUE(waitFor([&] { return recorder.ids == std::vector<UInt32> { 0 }; }));

    portal.emplace();
    ASSERT_TRUE(waitFor([] { return native::hotKeyHolder() == native::HotKeyHolder::Portal; }));
    EXPECT_EQ(activate(*portal, { "slot3" }), std::vector<UInt32> { 2 });
    // The grabs were given back: another program can have the key now.
    Display* other = x.otherClient();
    const KeyCode one = XKeysymToKeycode(other, XK_1);
    XGrabKey(other, one, Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XSync(other, False);
    EXPECT_TRUE(x.press("alt+1"));
    XSync(other, False);
    XEvent event;
    EXPECT_TRUE(XCheckTypedEvent(other, KeyPress, &event)) << "the press went to the other program";
}

} // namespace
