// SPDX-License-Identifier: GPL-3.0-or-later
// Hot keys through the real event-manager calls, against a private X server,
// with xdotool pressing keys as a user would.
#include "platform/linux/hotkeys/HotKeys.h"
#include "platform/EventManager.h"
#include "platform/common/HotKeyBackend.h"
#include "tests/linux/hotkeys/HotKeyRecorder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <glib.h>

#include <array>

using namespace orvo::platform;
using namespace orvo::platform::hotkeytest;
using orvo::test::waitFor;
using orvo::test::XvfbDisplay;

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

    // Presses each combination in turn, then waits until as many events as
    // expected have arrived. Presses that must reach nothing are followed by
    // a registered sentinel: events keep their order, so anything wrongly
    // delivered shows up before it.
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

    XvfbDisplay x;
    Recorder recorder;
};

TEST_F(HotKeys, AltDigitsReachTheHandlerAsTheirSlots)
{
    EXPECT_EQ(registerSlots(), (std::array<OSStatus, 5> { noErr, noErr, noErr, noErr, noErr }));
    EXPECT_EQ(pressAll({ "alt+1" }, 1), std::vector<UInt32> { 0 });
    EXPECT_EQ(pressAll({ "alt+5" }, 1), std::vector<UInt32> { 4 }) << "the 5 key is code 23, not 22";
    EXPECT_EQ(pressAll({ "alt+2", "alt+3", "alt+4", "alt+1" }, 4), (std::vector<UInt32> { 1, 2, 3, 0 }));
}

TEST_F(HotKeys, OnlyTheExactCombinationFires)
{
    registerSlots();
    for (const char* other : { "ctrl+1", "alt+shift+1", "alt+6", "super+1", "1", "ctrl+alt+1", "alt+0" }) {
        EXPECT_EQ(pressAll({ other, "alt+4" }, 1), std::vector<UInt32> { 3 }) << other;
    }
}

TEST_F(HotKeys, ModifierMasksMapToXModifiers)
{
    const std::vector<std::pair<UInt32, std::string>> cases = {
        { optionKey, "alt+7" },
        { cmdKey, "super+7" },
        { controlKey, "ctrl+7" },
        { shiftKey | optionKey, "alt+shift+7" },
        { controlKey | optionKey, "ctrl+alt+7" },
    };
    std::vector<std::string> presses;
    std::vector<UInt32> expected;
    for (UInt32 i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(registerKey(kVK_ANSI_7, cases[i].first, 10 + i), noErr) << cases[i].second;
        presses.push_back(cases[i].second);
        expected.push_back(10 + i);
    }
    EXPECT_EQ(pressAll(presses, expected.size()), expected);
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

TEST_F(HotKeys, KeyHeldByAnotherClientLeavesOnlyThatSlotDead)
{
    Display* other = x.otherClient();
    const KeyCode three = XKeysymToKeycode(other, XK_3);
    XGrabKey(other, three, Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XSync(other, False);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(registerSlots(), (std::array<OSStatus, 5> { noErr, noErr, eventHotKeyExistsErr, noErr, noErr }));
    EXPECT_EQ(pressAll({ "alt+3", "alt+1", "alt+2", "alt+4", "alt+5" }, 4), (std::vector<UInt32> { 0, 1, 3, 4 }));
    // The press went to the program that holds the key.
    XEvent event;
    EXPECT_TRUE(XCheckTypedEvent(other, KeyPress, &event));
    EXPECT_EQ(event.xkey.keycode, three);
    // Said once, naming the key, however often it is tried again.
    registerKey(kVK_ANSI_3, optionKey, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "orvomenu: Alt+3 is not available: another program holds it\n");
}

// The other client holds only the CapsLock variant: the registration fails
// and the variants already grabbed are given back, so the plain combination
// does not half-work.
TEST_F(HotKeys, PartlyHeldKeyIsGivenBackWhole)
{
    Display* other = x.otherClient();
    XGrabKey(other, XKeysymToKeycode(other, XK_3), Mod1Mask | LockMask, DefaultRootWindow(other), False, GrabModeAsync,
        GrabModeAsync);
    XSync(other, False);

    EXPECT_EQ(registerKey(kVK_ANSI_3, optionKey, 2), eventHotKeyExistsErr);
    EXPECT_EQ(registerKey(kVK_ANSI_1, optionKey, 0), noErr);
    EXPECT_EQ(pressAll({ "alt+3", "alt+1" }, 1), std::vector<UInt32> { 0 });
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

TEST_F(HotKeys, CombinationsThatCannotBeExpressedAreRefused)
{
    EXPECT_EQ(registerKey(0 /* the A key */, optionKey, 0), eventHotKeyInvalidErr);
    EXPECT_EQ(registerKey(kVK_ANSI_1, optionKey | (1u << 20), 0), eventHotKeyInvalidErr);
    // Refusals leave the keys free for a correct registration.
    EXPECT_EQ(registerKey(kVK_ANSI_1, optionKey, 0), noErr);
    EXPECT_EQ(pressAll({ "alt+1" }, 1), std::vector<UInt32> { 0 });
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

// Without an X server (unset DISPLAY as in a pure Wayland session, or one
// that cannot be reached) registrations fail quietly; events still flow.
class NoXServer : public ::testing::TestWithParam<const char*> { };

TEST_P(NoXServer, RegistrationFailsAndEventsStillFlow)
{
    useX11Session();
    if (GetParam()) {
        g_setenv("DISPLAY", GetParam(), TRUE);
    } else {
        g_unsetenv("DISPLAY");
    }
    Recorder recorder;
    for (const OSStatus status : registerSlots()) {
        EXPECT_EQ(status, eventHotKeyInvalidErr);
    }
    EXPECT_EQ(deliverHotKeyPressed(EventHotKeyID { signature, 3 }), noErr);
    EXPECT_EQ(recorder.ids, std::vector<UInt32> { 3 });
}

INSTANTIATE_TEST_SUITE_P(Displays, NoXServer, ::testing::Values(nullptr, "", ":4711"),
    [](const auto& info) { return std::to_string(info.index); });

} // namespace
