// SPDX-License-Identifier: GPL-3.0-or-later
// Hot keys through the real event-manager calls: in an X11 session against a
// private X server, with xdotool pressing keys as a user would; in a Wayland
// session against a stand-in for the GlobalShortcuts portal on a private bus
// (global_shortcuts_portal.py, which answers each request before replying).
#include "platform/linux/hotkeys/HotKeys.h"
#include "platform/EventManager.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <optional>

using namespace orvo::platform;
using orvo::test::waitFor;

namespace {

// Records the id of every hot-key event the application target receives.
class Recorder {
public:
    Recorder()
    {
        const EventTypeSpec type { kEventClassKeyboard, kEventHotKeyPressed };
        InstallEventHandler(GetApplicationEventTarget(), record, 1, &type, &ids, nullptr);
    }
    std::vector<UInt32> ids;

private:
    static OSStatus record(EventHandlerCallRef, EventRef event, void* ids)
    {
        EventHotKeyID id {};
        const OSStatus status
            = GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
        if (status == noErr) {
            static_cast<std::vector<UInt32>*>(ids)->push_back(id.id);
        }
        return status;
    }
};

OSStatus registerKey(UInt32 keyCode, UInt32 modifiers, UInt32 id)
{
    EventHotKeyRef ref = nullptr;
    return RegisterEventHotKey(
        keyCode, modifiers, EventHotKeyID { fourCharCode("ORVM"), id }, GetApplicationEventTarget(), 0, &ref);
}

// The five Alt+digit slots, registered as the hot-key manager does.
std::array<OSStatus, 5> registerSlots()
{
    const UInt32 keys[] = { kVK_ANSI_1, kVK_ANSI_2, kVK_ANSI_3, kVK_ANSI_4, kVK_ANSI_5 };
    std::array<OSStatus, 5> statuses {};
    for (UInt32 slot = 0; slot < statuses.size(); ++slot) {
        statuses[slot] = registerKey(keys[slot], optionKey, slot);
    }
    return statuses;
}

constexpr std::array<OSStatus, 5> allRegistered = { noErr, noErr, noErr, noErr, noErr };

// An X11 session, whatever session the tests were started from.
void useX11Session()
{
    g_unsetenv("WAYLAND_DISPLAY");
    g_setenv("XDG_SESSION_TYPE", "x11", TRUE);
}

class HotKeys : public ::testing::Test {
protected:
    HotKeys() { useX11Session(); }

    // Presses each combination in turn and waits until as many events as
    // expected have arrived. Events keep their order, so a press that wrongly
    // reached a handler shows up among the others.
    std::vector<UInt32> pressAll(const std::vector<std::string>& combinations, std::size_t expected)
    {
        recorder.ids.clear();
        for (const auto& combination : combinations) {
            EXPECT_TRUE(x.press(combination)) << combination;
        }
        waitFor([&] { return recorder.ids.size() >= expected; });
        orvo::test::drainMainContext();
        return recorder.ids;
    }

    orvo::test::XvfbDisplay x;
    Recorder recorder;
};

// Alt+5 is key code 23, not 22. Option is Alt, Command is Super; only the
// exact combination fires, and combinations that cannot be expressed are
// refused without taking a key.
TEST_F(HotKeys, EachCombinationReachesItsOwnRegistrationOnly)
{
    EXPECT_EQ(registerKey(0 /* the A key */, optionKey, 0), eventHotKeyInvalidErr);
    EXPECT_EQ(registerKey(kVK_ANSI_1, optionKey | (1u << 20), 0), eventHotKeyInvalidErr);
    EXPECT_EQ(registerSlots(), allRegistered);
    // "orvomenu --hotkey N" arrives as any int32 a bus client sends.
    for (const int digit : { -1, 10, INT32_MAX, INT32_MIN }) {
        EXPECT_FALSE(native::pressHotKeyDigit(digit));
    }
    EXPECT_EQ(registerKey(kVK_ANSI_7, cmdKey, 10), noErr);
    EXPECT_EQ(registerKey(kVK_ANSI_7, controlKey | shiftKey, 11), noErr);
    EXPECT_EQ(pressAll({ "alt+1", "ctrl+1", "alt+5", "alt+shift+1", "super+7", "alt+6", "1", "ctrl+alt+1",
                           "ctrl+shift+7", "alt+0", "alt+7", "super+1", "alt+2", "alt+3", "alt+4" },
                  7),
        (std::vector<UInt32> { 0, 4, 10, 11, 1, 2, 3 }));
}

TEST_F(HotKeys, WorksWhateverLockKeysAreOn)
{
    registerSlots();
    const unsigned numLock = XkbKeysymToModifiers(x.otherClient(), XK_Num_Lock);
    ASSERT_NE(numLock, 0u);
    // Each toggle adds to the locks already on: NumLock, then both, then CapsLock.
    const std::pair<const char*, unsigned> steps[]
        = { { "Num_Lock", numLock }, { "Caps_Lock", numLock | LockMask }, { "Num_Lock", LockMask } };
    for (const auto& [toggle, locked] : steps) {
        ASSERT_TRUE(x.press(toggle));
        XkbStateRec state {};
        XkbGetState(x.otherClient(), XkbUseCoreKbd, &state);
        ASSERT_EQ(state.locked_mods, locked) << "the lock keys did not take";
        EXPECT_EQ(pressAll({ "alt+2" }, 1), std::vector<UInt32> { 1 }) << toggle;
    }
}

TEST_F(HotKeys, KeyboardRemapIsFollowed)
{
    registerSlots();
    Display* other = x.otherClient();
    const KeyCode oneKey = XKeysymToKeycode(other, XK_1);
    const KeyCode twoKey = XKeysymToKeycode(other, XK_2);
    ASSERT_EQ(twoKey, oneKey + 1);

    // The digits 1 and 2 trade keys, as after switching keyboard layouts.
    // Without following the change, the old grabs would turn Alt+1 into
    // slot 1 and Alt+2 into slot 0.
    int perCode = 0;
    KeySym* syms = XGetKeyboardMapping(other, oneKey, 2, &perCode);
    std::vector<KeySym> swapped(syms + perCode, syms + 2 * perCode);
    swapped.insert(swapped.end(), syms, syms + perCode);
    XFree(syms);
    const unsigned before = native::keyboardMappingChangesFollowed();
    XChangeKeyboardMapping(other, oneKey, perCode, swapped.data(), 2);
    XSync(other, False);
    ASSERT_TRUE(waitFor([&] { return native::keyboardMappingChangesFollowed() > before; }));
    ASSERT_EQ(XKeysymToKeycode(other, XK_1), twoKey);

    EXPECT_EQ(pressAll({ "alt+1", "alt+2", "alt+5" }, 3), (std::vector<UInt32> { 0, 1, 4 }));
}

const std::string allFive = " slot1=ALT+1 slot2=ALT+2 slot3=ALT+3 slot4=ALT+4 slot5=ALT+5";

class Portal : public orvo::test::DBusMock {
public:
    explicit Portal(const std::string& parameters = "{}")
        : DBusMock(
            "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", ORVO_PORTAL_TEMPLATE, parameters)
    {
        mock("Calls"); // answered once loaded: the template's other names are on the bus
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

    static bool heldBy(native::HotKeyHolder holder)
    {
        return waitFor([&] { return native::hotKeyHolder() == holder; });
    }

    orvo::test::PrivateBus bus;
    Recorder recorder;
};

// The app enters a scope of its own before it speaks to the portal, which
// binds the keys under the app's id; a key the desktop keeps without a
// trigger, or gives to another group (KDE) whatever the portal says, is told
// once, unless an older group of ours holds it, and then it moves over; KDE
// shows the group as the app; an activation in our session plays its slot,
// one in another program's does not; without the portal the keys fall back
// to X11 grabs (through Xwayland).
TEST_F(WaylandSession, BindsThroughThePortalAndFallsBackToX11Grabs)
{
    orvo::test::XvfbDisplay x;
    std::optional<Portal> portal(std::in_place,
        R"({"no_key": ["slot3", "slot4"], "systemd": true, "kde_held": {"slot2": "KWin", "slot3": "orvomenu"},
            "bind_response": 2})");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(registerSlots(), allRegistered);
    ASSERT_TRUE(heldBy(native::HotKeyHolder::Portal));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
        "orvomenu: Alt+2 is not available: the desktop's shortcut settings give it to \"KWin\"; choose another "
        "key for one of them there\norvomenu: Alt+4 is not available: the desktop keeps it without a key (turned "
        "down, or in use there); choose one in its keyboard settings\n");
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(portal->calls(),
        (std::vector<std::string> { "StartTransientUnit app-org.orvomenu.OrvoMenu-" + pid + ".scope pids=" + pid,
            "Register org.orvomenu.OrvoMenu", "CreateSession" + allFive, "ListShortcuts", "BindShortcuts" + allFive,
            "doRegister org.orvomenu.OrvoMenuorvomenu OrvoMenu", "setForeignShortcutKeys orvomenu slot3 []",
            "setForeignShortcutKeys org.orvomenu.OrvoMenuorvomenu slot3 [134217779]" }));
    EXPECT_EQ(activate(*portal, { "slot1", "slot2" }), (std::vector<UInt32> { 0, 1 }));
    EXPECT_EQ(
        activate(*portal, { "slot2" }, "/org/freedesktop/portal/desktop/session/1_99/other"), std::vector<UInt32> {})
        << "another program's session";

    portal.reset();
    ASSERT_TRUE(heldBy(native::HotKeyHolder::X11));
    ASSERT_TRUE(x.press("alt+1"));
    EXPECT_TRUE(waitFor([&] { return recorder.ids == std::vector<UInt32> { 0 }; }));
}

} // namespace
