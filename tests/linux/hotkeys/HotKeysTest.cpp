// SPDX-License-Identifier: GPL-3.0-or-later
// Hot keys through the real event-manager calls, against a private X server,
// with xdotool pressing keys as a user would.
#include "platform/linux/hotkeys/HotKeys.h"
#include "tests/linux/hotkeys/HotKeyTestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

using namespace orvo::platform;
using namespace orvo::platform::hotkeytest;
using orvo::test::waitFor;

namespace {

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
    struct Case {
        const char* toggle;
        unsigned locked;
    };
    // Each toggle adds to the locks already on: NumLock, then both, then CapsLock.
    for (const Case& step : { Case { "Num_Lock", numLock }, Case { "Caps_Lock", numLock | LockMask },
             Case { "Num_Lock", static_cast<unsigned>(LockMask) } }) {
        ASSERT_TRUE(x.press(step.toggle));
        ASSERT_EQ(x.lockedModifiers(), step.locked) << "the lock keys did not take";
        EXPECT_EQ(pressAll({ "alt+2" }, 1), std::vector<UInt32> { 1 }) << step.toggle;
    }
}

// Another program holds Alt+3, and only the CapsLock variant of Alt+4: both
// slots fail, the variants of Alt+4 already grabbed are given back (not half
// each), the other slots work, and each loss is said once.
TEST_F(HotKeys, KeysHeldByAnotherClientLeaveOnlyTheirSlotsDead)
{
    Display* other = x.otherClient();
    const KeyCode three = XKeysymToKeycode(other, XK_3);
    XGrabKey(other, three, Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XGrabKey(other, XKeysymToKeycode(other, XK_4), Mod1Mask | LockMask, DefaultRootWindow(other), False, GrabModeAsync,
        GrabModeAsync);
    XSync(other, False);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(
        registerSlots(), (std::array<OSStatus, 5> { noErr, noErr, eventHotKeyExistsErr, eventHotKeyExistsErr, noErr }));
    EXPECT_EQ(pressAll({ "alt+3", "alt+4", "alt+1", "alt+2", "alt+5" }, 3), (std::vector<UInt32> { 0, 1, 4 }));
    // The press went to the program that holds the key.
    XEvent event;
    EXPECT_TRUE(XCheckTypedEvent(other, KeyPress, &event));
    EXPECT_EQ(event.xkey.keycode, three);
    registerKey(kVK_ANSI_3, optionKey, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
        "orvomenu: Alt+3 is not available: another program holds it\n"
        "orvomenu: Alt+4 is not available: another program holds it\n");
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

TEST_F(HotKeys, ServerGoingAwayDoesNotEndTheProcess)
{
    registerSlots();
    x.stopServer();
    // Registrations fail quietly once the loss is noticed, on the main loop
    // or by the registration itself.
    EXPECT_TRUE(waitFor([] { return registerKey(kVK_ANSI_9, optionKey, 9) == eventHotKeyInvalidErr; }));
    orvo::test::drainMainContext();
    EXPECT_EQ(registerKey(kVK_ANSI_8, optionKey, 8), eventHotKeyInvalidErr);
}

// Without an X server (DISPLAY unset, as in a pure Wayland session, or one
// that cannot be reached) registrations fail quietly.
class NoXServer : public ::testing::TestWithParam<const char*> { };

TEST_P(NoXServer, RegistrationsFailQuietly)
{
    useX11Session();
    if (GetParam()) {
        g_setenv("DISPLAY", GetParam(), TRUE);
    } else {
        g_unsetenv("DISPLAY");
    }
    for (const OSStatus status : registerSlots()) {
        EXPECT_EQ(status, eventHotKeyInvalidErr);
    }
}

INSTANTIATE_TEST_SUITE_P(Displays, NoXServer, ::testing::Values(nullptr, "", ":4711"),
    [](const auto& display) { return std::to_string(display.index); });

} // namespace
